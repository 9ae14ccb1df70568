"""Staging under Wine with the real platform seams: volumes and free space on a second
drive, the access-list step with the prefix's icacls, and stopping a running app
through the PowerShell stand-in.

What Wine cannot show: whether the access list really keeps non-administrators out
(Wine's icacls accepts the arguments but enforces nothing), and a truly small disk
(the q: drive is a host tmpfs, so "too little space" means asking for more than it has).
"""

import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

MB = 1048576


@pytest.fixture(scope="module")
def probe(wine, support_exe, tmp_path_factory):
    exe = support_exe("staging_probe.exe")
    log_dir = tmp_path_factory.mktemp("staging-log")

    def run(*args: str) -> dict:
        result = wine.run(exe, wine.windows_path(log_dir), *args)
        assert result.code == 0, (result.code, result.stderr)
        return json.loads(result.stdout)

    run.log = lambda: (log_dir / "installer.log").read_text(errors="replace")
    return run


@pytest.fixture(scope="module")
def q_drive(wine, tmp_path_factory):
    """Drive Q: on a host tmpfs (/dev/shm) when there is one, so it is a volume of its own."""
    shm = Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        pytest.skip("no writable tmpfs for a second drive")
    target = Path(tempfile_dir(shm))
    link = wine.prefix / "dosdevices" / "q:"
    link.symlink_to(target)
    yield target
    link.unlink()
    shutil.rmtree(target, ignore_errors=True)


def tempfile_dir(parent: Path) -> str:
    import tempfile

    return tempfile.mkdtemp(prefix="yoxa-q-", dir=parent)


def test_volume_of_a_missing_path_is_found_through_its_parents(probe, q_drive):
    volume = probe("volume", r"Q:\no\such\dir")
    assert volume["key"].upper() == "Q:\\"
    assert volume["free"] > 0


def test_unknown_drive_is_skipped_with_a_warning(probe):
    assert probe("volume", r"W:\nowhere") == {"key": r"W:\nowhere", "free": None}
    result = probe("disk", r"W:\nowhere\installer", "10", "package staging")
    assert result["ok"] is True
    assert r"Could not query disk space for 'W:\nowhere\installer' (package staging), skipping check" in probe.log()


def test_same_volume_sums_and_passes_within_free_space(probe, q_drive):
    free = probe("volume", "Q:\\")["free"]
    half = (free - 64 * MB) // 2  # leave room for whatever else writes to the tmpfs meanwhile
    result = probe("disk", r"Q:\base\installer", str(half), "package staging", r"Q:\local", str(half),
                   "Yoxa Quill install")
    assert result["ok"] is True, result
    assert "(package staging, Yoxa Quill install) has" in probe.log()


def test_short_volume_fails_while_the_system_drive_passes(probe, q_drive):
    free = probe("volume", "Q:\\")["free"]
    need = free + 1024 * MB
    result = probe("disk", r"C:\ProgramData", "1", "package staging", r"Q:\local", str(need), "Yoxa Quill install")
    assert result["ok"] is False
    assert result["message"] == "Not enough disk space to install the selected apps."
    detail = result["detail"]
    assert detail.startswith(f"Required: {need // MB} MB, Available: ")
    assert detail.upper().endswith(r"MB ON Q:\ (YOXA QUILL INSTALL).")


def test_staging_paths_create_the_directory(probe, wine, tmp_path):
    base = tmp_path / "base"
    result = probe("paths", wine.windows_path(base), "1.2.3", "msi")
    assert result["ok"] is True, result
    assert result["final"].endswith(r"\base\installer\installer-v1.2.3.msi")
    assert result["temp"] == result["final"] + ".tmp"
    assert (base / "installer").is_dir()

    refused = probe("paths", wine.windows_path(base), r"..\..\1", "msi")
    assert refused["ok"] is False
    assert refused["message"].startswith("Installer verification failed.")


def test_machine_staging_directory_is_restricted_with_icacls(probe, wine):
    base = wine.prefix / "drive_c" / "ProgramData" / "YoxaStagingTest"
    result = probe("acl", r"C:\ProgramData\YoxaStagingTest")
    assert result["ok"] is True, result
    assert (base / "installer").is_dir()
    assert r"Restricted ACLs on C:\ProgramData\YoxaStagingTest\installer" in probe.log()


@pytest.fixture
def running_app(wine, support_exe, tmp_path):
    """A copy of fake_shell.exe named like an app process, sleeping for 30 seconds."""
    exe = tmp_path / "YoxaStagingApp.exe"
    shutil.copyfile(support_exe("fake_shell.exe"), exe)
    process = subprocess.Popen([wine.wine, str(exe), "sleep 30"], env=wine.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # let Wine start it
    yield process
    if process.poll() is None:
        process.kill()
    process.wait(timeout=30)


def test_running_app_is_stopped_through_powershell(probe, powershell_standin, running_app):
    assert probe("stop", "YoxaStagingApp") == {"outcome": "stopped"}
    assert running_app.wait(timeout=15) is not None
    assert "Terminated running instance(s) of 'YoxaStagingApp' (stopped 1)" in probe.log()

    assert probe("stop", "YoxaStagingApp") == {"outcome": "not-running"}
    assert "'YoxaStagingApp' is not running; nothing to terminate" in probe.log()


def test_failing_powershell_is_only_a_warning(probe, powershell_standin):
    powershell_standin.fail("stderr Get-Process : access denied", "exit 1")
    assert probe("stop", "YoxaStagingApp") == {"outcome": "failed"}
    assert "Could not terminate 'YoxaStagingApp': Command Failed: exit code: 1: Get-Process : access denied" in probe.log()


# -- the stand-in itself -------------------------------------------------------------------

LEADING = ["-NoLogo", "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command"]
HASH_SCRIPT = ("Microsoft.PowerShell.Utility\\Get-FileHash -LiteralPath '{}' -Algorithm SHA256 | "
               "Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Hash")


def test_standin_hashes_a_file_with_a_quote_in_its_name(wine, powershell_standin, tmp_path):
    import hashlib

    data = os.urandom(200000)
    target = tmp_path / "it's.bin"
    target.write_bytes(data)
    quoted = wine.windows_path(target).replace("'", "''")
    result = wine.run(powershell_standin.path, *LEADING, HASH_SCRIPT.format(quoted))
    assert (result.code, result.stdout.strip()) == (0, hashlib.sha256(data).hexdigest().upper().encode())


@pytest.mark.parametrize(
    "directives, code, stderr",
    [
        ([], 1, b"Get-FileHash : Cannot find path"),
        (["exit 0x80070005"], 0x80070005, b""),
        (["stderr HRESULT 0x80073CF3"], 1, b"HRESULT 0x80073CF3"),
    ],
)
def test_standin_failures(wine, powershell_standin, directives, code, stderr):
    if directives:
        powershell_standin.fail(*directives)
    result = wine.run(powershell_standin.path, *LEADING, HASH_SCRIPT.format(r"C:\no\such.file"))
    assert result.code == code
    assert stderr in result.stderr


def test_standin_refuses_an_unknown_script(wine, powershell_standin):
    result = wine.run(powershell_standin.path, *LEADING, "Get-FileHash -Path x")
    assert result.code == 1
    assert b"powershell stand-in: unknown script: " in result.stderr
