"""The headless run on the real exe under Wine, read the way a device-management tool
reads it: only the process exit code and the run record under
HKLM\\SOFTWARE\\Yoxa\\OfficeSuiteInstaller (with its LastRunApps subkey), plus the log
folder an administrator names with --log.

What Wine cannot show here: every Wine process is elevated and none is LocalSystem,
and WTSEnumerateSessionsW lists no session. A declined UAC prompt, the record write
that fails without administrator rights, and the LocalSystem relaunch into a user's
session (session walk, service accounts, token duplication, environment block) are
unit-tested at the seam (tests/unit/silent_run_test.cpp, session_relaunch_test.cpp).
The UAC re-spawn itself runs here through YoxaOfficeInstaller-unelevated.exe.
"""

import hashlib
import json
import shutil
import subprocess

import pytest

from cdn import REPO_ROOT
from install_fixtures import publish, wine_quiet
from test_install_run import RUN_TIMEOUT, clean_machine, folders, machine_base, signed  # noqa: F401
from test_offline_install import offline, pki, quill, write_packages_dir  # noqa: F401

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10")

RECORD_KEY = r"HKLM\SOFTWARE\Yoxa\OfficeSuiteInstaller"


def run_record(wine) -> dict:
    """The run record as reg.exe lists it: {value: data} with the apps under "apps";
    empty when the key is absent."""
    listing = wine.root / "run-record.txt"
    with listing.open("wb") as out:  # a file, never a pipe a Wine service could keep open
        found = subprocess.run([wine.wine, "reg", "query", RECORD_KEY, "/s"], env=wine.env,
                               stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, timeout=60)
    if found.returncode != 0:
        return {}
    record, current = {"apps": {}}, None
    for line in listing.read_text(errors="replace").splitlines():
        if line.startswith("HKEY_"):
            current = record["apps"] if line.rstrip().endswith("LastRunApps") else record
            continue
        parts = line.split()
        if len(parts) >= 2 and parts[1].startswith("REG_") and current is not None:
            data = parts[2] if len(parts) > 2 else ""
            current[parts[0]] = int(data, 16) if parts[1] == "REG_DWORD" else data
    return record


@pytest.fixture
def no_record(wine):
    wine_quiet(wine, "reg", "delete", RECORD_KEY, "/f")
    yield
    wine_quiet(wine, "reg", "delete", RECORD_KEY, "/f")


@pytest.fixture
def log_dir(wine, tmp_path):
    """A --log folder that does not exist yet: (host path, the engine's path)."""
    host = tmp_path / "silent logs"
    return host, wine.windows_path(host)


def silent(wine, exe, *args):
    code, out, err = wine.run(exe, "--silent", *args, timeout=RUN_TIMEOUT)
    assert out == b"", out  # nobody reads events in a headless run
    return code, err.decode(errors="replace")


def log_text(host_dir) -> str:
    return (host_dir / "installer.log").read_text(encoding="utf-8", errors="replace")


def test_silent_install_from_the_cdn_records_its_outcome_and_logs_where_asked(
        wine, windows_build, cdn, signed, clean_machine, no_record, log_dir):
    publish(cdn, signed.quill)
    host, path = log_dir

    code, _ = silent(wine, windows_build / "YoxaOfficeInstaller.exe", "--apps", "quill", "--log", path)

    assert code == 0
    assert run_record(wine) == {"LastRunMode": "install", "LastRunExitCode": 0, "RebootRequired": 0,
                                "apps": {"quill": "installed"}}
    log = log_text(host)
    assert "Running silent install in-process (elevated=true, scope=User)" in log
    assert "--- Silent install starting (pid=" in log
    assert "Silent install: 1 succeeded, 0 failed (of 1)" in log
    assert "--- Silent install summary: exit_code=0 (reboot_required=false) ---" in log
    assert (host / "msiexec.log").exists()


def test_a_failing_app_gives_partial_success_and_its_status(wine, windows_build, cdn, signed, clean_machine,
                                                            no_record, log_dir):
    publish(cdn, signed.folio)
    cdn.publish("quill", "msi", "1.4.2", files={"quill-1.4.2.msi": signed.quill.path}, meta={"sha256": "ab" * 32})

    code, _ = silent(wine, windows_build / "YoxaOfficeInstaller.exe", "/S", "--apps", "quill,folio",
                     "--log", log_dir[1])

    assert code == 1
    record = run_record(wine)
    assert (record["LastRunExitCode"], record["apps"]) == (1, {"quill": "failed", "folio": "installed"})


@pytest.mark.parametrize("variant", ["YoxaOfficeInstaller.exe", "YoxaOfficeInstaller-unelevated.exe"])
def test_machine_scope_installs_for_all_users_in_process_or_through_the_elevated_copy(
        wine, windows_build, cdn, signed, clean_machine, no_record, log_dir, variant):
    publish(cdn, signed.quill)
    host, path = log_dir

    code, _ = silent(wine, windows_build / variant, "--apps", "quill", "--scope", "machine", "--log", path)

    assert code == 0
    assert run_record(wine)["apps"] == {"quill": "installed"}
    log = log_text(host)
    if variant == "YoxaOfficeInstaller.exe":
        assert "Running silent install in-process (elevated=true, scope=Machine)" in log
    else:
        # The dispatching process and the elevated copy share the named log folder.
        assert "Re-spawning via UAC for silent install (scope=Machine)" in log
        assert log.count("--- Silent install starting (pid=") == 1
    assert "Silent install scope: Machine" in log
    assert "(scope=true, ALLUSERS=1)" in log


def test_offline_packages_directory_serves_a_silent_run_with_the_network_down(
        wine, windows_build, quill, offline, no_record, log_dir):
    exe = offline / "YoxaOfficeInstaller.exe"
    shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", exe)
    write_packages_dir(offline, quill, hashlib.sha256(quill.path.read_bytes()).hexdigest())
    host, path = log_dir

    code, _ = silent(wine, exe, "--apps", "quill", "--log", path)

    assert code == 0
    assert run_record(wine)["apps"] == {"quill": "installed"}
    assert "using bundled provider" in log_text(host)


def test_expired_build_refuses_with_exit_two_and_writes_no_record(wine, windows_build, cdn, no_record, log_dir):
    expired = windows_build / "YoxaOfficeInstaller-expired.exe"
    config = json.loads((REPO_ROOT / "config" / "installer_config.expired.json").read_text())
    message = (f"This installer expired on {config['expiresOn']['online']}. "
               f"Download a current installer from {config['downloadPageUrl']}.")

    code, err = silent(wine, expired, "--apps", "quill", "--log", log_dir[1])

    assert code == 2
    assert message + "\n" in err
    assert run_record(wine) == {}
    assert cdn.requests() == []


def test_a_log_folder_that_cannot_be_made_fails_before_any_work(wine, windows_build, no_record, tmp_path):
    blocker = tmp_path / "a file"
    blocker.write_text("")
    path = wine.windows_path(blocker) + "\\logs"

    code, err = silent(wine, windows_build / "YoxaOfficeInstaller.exe", "--apps", "quill", "--log", path)

    assert code == 2
    assert f"Silent install: failed to initialize logger at {path}: " in err
    assert run_record(wine) == {}


def test_a_relative_log_folder_is_the_one_below_where_the_run_started(wine, windows_build, clean_machine, no_record,
                                                                      tmp_path):
    # The engine moves to the system directory at entry; the folder is the caller's.
    code, out, err = wine.run(windows_build / "YoxaOfficeInstaller.exe", "--silent", "--uninstall", "--apps", "quill",
                              "--log", "relative logs", timeout=RUN_TIMEOUT, cwd=tmp_path)
    assert code == 0, err.decode(errors="replace")
    log = log_text(tmp_path / "relative logs")
    assert f"Log dir: {wine.windows_path(tmp_path)}\\relative logs" in log, log
    assert run_record(wine)["apps"] == {"quill": "already_absent"}


def test_silent_uninstall_removes_quill(wine, windows_build, cdn, signed, clean_machine, no_record, log_dir):
    publish(cdn, signed.quill)
    exe = windows_build / "YoxaOfficeInstaller.exe"
    assert silent(wine, exe, "--apps", "quill", "--log", log_dir[1])[0] == 0

    code, _ = silent(wine, exe, "--uninstall", "--apps", "quill", "--log", log_dir[1])

    assert code == 0
    record = run_record(wine)
    assert (record["LastRunMode"], record["apps"]) == ("uninstall", {"quill": "uninstalled"})
    assert wine_quiet(wine, "reg", "query", rf"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
                                            rf"\{signed.quill.product_code}") != 0

    # Nothing left to remove: still a success for a management tool.
    code, _ = silent(wine, exe, "--uninstall", "--apps", "quill", "--log", log_dir[1])
    assert code == 0
    assert run_record(wine)["apps"] == {"quill": "already_absent"}
