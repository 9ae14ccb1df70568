"""EXE installation with the real visible-process seam under Wine: exe_install_probe
runs the engine's install_exe on test_installer.exe, which records its arguments and
ends with the exit code the test chooses.

No row of the compiled-in app table is an EXE app, so a whole `run` cannot reach this
installer; the pipeline's part (scope, cancelling the run) is covered by the unit tests.
What Wine cannot show: whether the installer's windows are visible (there is no desktop).
"""

import json
import subprocess
import time

import pytest

LOG_DIR = r"C:\ProgramData\Yoxa\YoxaOffice\logs dir"
INSTALLING = {"app": "notes", "detailCode": "INSTALLING", "indeterminate": False, "percent": 90,
              "type": "progress", "v": 1}


@pytest.fixture
def install(wine, support_exe, tmp_path):
    """install(exit_code, scope) -> (outcome line, arguments the installer got)."""
    probe = support_exe("exe_install_probe.exe")
    installer = support_exe("test_installer.exe")
    record = tmp_path / "arguments.txt"

    def run(exit_code: int, scope: str = "user"):
        record.unlink(missing_ok=True)
        result = wine.run(probe, wine.windows_path(installer), LOG_DIR, scope,
                          env={"YOXA_TEST_INSTALLER_RECORD": wine.windows_path(record),
                               "YOXA_TEST_INSTALLER_EXIT": str(exit_code)})
        assert result.code == 0, result.stderr.decode(errors="replace")
        recorded = record.read_text(encoding="utf-8").split("\n")[:-1] if record.exists() else None
        return json.loads(result.stdout), recorded

    return run


@pytest.mark.parametrize("exit_code,status,message,reboot", [
    (0, "succeeded", None, False),
    (3010, "succeeded", None, True),
    (1641, "succeeded", None, True),
    (2, "cancelled", None, False),
    (5, None, "Access denied. Please run the installer as an administrator.", False),
    (1603, None, "Installation failed. Please try the offline installer or contact support for assistance.", False),
])
def test_exit_codes_map_to_outcomes(install, exit_code, status, message, reboot):
    outcome, _ = install(exit_code)
    assert (outcome["status"], outcome["message"], outcome["reboot"]) == (status, message, reboot), outcome
    if message:
        assert outcome["detail"] == f"EXE installer failed with exit code: {exit_code}"
    assert outcome["events"] == [INSTALLING]


@pytest.mark.parametrize("scope,switch", [("user", "/currentuser"), ("machine", "/allusers")])
def test_the_installer_gets_the_scope_switch_and_each_argument_whole(install, scope, switch):
    outcome, recorded = install(0, scope)
    assert outcome["status"] == "succeeded", outcome
    assert recorded == [switch, "/S", "/NORESTART", "/LOG=" + LOG_DIR + r"\exe_installer.log"]


def test_a_package_that_cannot_start_fails_without_progress(wine, support_exe):
    result = wine.run(support_exe("exe_install_probe.exe"), r"C:\no\such\installer.exe", LOG_DIR, "user")
    outcome = json.loads(result.stdout)
    assert outcome["message"] == ("Installation failed. Please try the offline installer or contact support "
                                  "for assistance."), outcome
    assert outcome["events"] == []


def test_a_process_the_installer_leaves_running_holds_neither_our_output_nor_our_files(wine, support_exe, tmp_path):
    """The installer starts a copy of itself that inherits all it can and lives on for a
    minute. Only the null device may reach it: the probe's standard output must end as
    soon as the probe has written "done", and the file it held across the install must
    rename (a handle the copy kept would make that a sharing violation)."""
    linger_seconds = 60
    held = tmp_path / "quill-1.4.2.msi.tmp"
    command = [wine.wine, str(support_exe("inherit_probe.exe")), wine.windows_path(support_exe("test_installer.exe")),
               wine.windows_path(held), LOG_DIR]
    env = {**wine.env, "YOXA_TEST_INSTALLER_LINGER": str(linger_seconds),
           "YOXA_TEST_INSTALLER_RECORD": wine.windows_path(tmp_path / "arguments.txt")}
    started = time.monotonic()
    probe = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    try:
        output = probe.stdout.read()  # returns at the end of the stream: when no process holds it
        ended = time.monotonic() - started
        probe.wait(timeout=30)
    finally:
        probe.kill()
    lines = output.decode().splitlines()
    assert lines[-1] == '{"type":"done"}', output
    assert json.loads(lines[0]) == {"status": "succeeded", "rename": None}
    assert (tmp_path / "quill-1.4.2.msi.tmp.staged").exists()
    assert ended < linger_seconds / 2, f"the stream stayed open {ended:.1f}s: the lingering copy inherited it"
