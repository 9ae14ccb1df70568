"""Offline installs on the real exe under Wine, with the network down (the system
proxy points at a closed port, so every connection is refused): the self-extracting
exe written by tools/build_offline_bundle.py and then Authenticode-signed, the
external bundle named by bundle_source.txt, and a packages directory beside the
engine. Each offline engine is a copy of the Windows build in a folder of its own,
so what lies beside it is the test's choice.

What Wine cannot show here: per-user MSI registration (Wine's msiexec registers
machine-wide) and MSIX installs; the MSIX framework seam is covered by unit tests.
"""

import dataclasses
import hashlib
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import codesign  # tests/servers, on the path through conftest.py
from cdn import REPO_ROOT
from install_fixtures import PrefixFolders, build_app_msi, check_event_stream, of_type, results_by_app, uninstall
from packages import QUILL

pytestmark = pytest.mark.usefixtures("powershell_standin", "windows_10")

RUN_TIMEOUT = 300
TOOL = REPO_ROOT / "tools" / "build_offline_bundle.py"
CLOSED_PORT_PROXY = "127.0.0.1:9"
QUILL_VERSION = "1.4.2"


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    codesign.osslsigncode()
    return codesign.generate(tmp_path_factory.mktemp("offline-pki"))


@pytest.fixture(scope="module")
def quill(pki, tmp_path_factory):
    built = build_app_msi(QUILL, QUILL_VERSION, tmp_path_factory.mktemp("offline-quill"))
    signed = codesign.sign(built.path, pki.yoxa, built.path.with_name("quill-signed.msi"))
    return dataclasses.replace(built, path=signed)


@pytest.fixture(scope="module")
def unsigned_quill(tmp_path_factory):
    return build_app_msi(QUILL, QUILL_VERSION, tmp_path_factory.mktemp("offline-unsigned-quill"))


@pytest.fixture(scope="module")
def folders(wine) -> PrefixFolders:
    return PrefixFolders(wine.temp_dir().parent)


@pytest.fixture
def offline(wine, system_proxy, quill, folders, tmp_path):
    """The network down and a clean machine around the test; yields the folder the
    test's engine copy goes into."""
    system_proxy.set(CLOSED_PORT_PROXY)
    shutil.rmtree(folders.user_base, ignore_errors=True)
    yield tmp_path
    uninstall(wine, [quill])
    if not os.environ.get("YOXA_E2E_KEEP_PREFIX"):
        shutil.rmtree(folders.user_base, ignore_errors=True)


def bundle_tool(*args: str) -> subprocess.CompletedProcess:
    done = subprocess.run(["/usr/bin/python3", str(TOOL), *args], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def build_sfx(source_exe: Path, quill, out: Path, signer=None) -> Path:
    bundle_tool("--engine", str(source_exe), "--package", f"quill={quill.path}", "--version",
                f"quill={QUILL_VERSION}", "--sfx", str(out))
    if signer is not None:
        codesign.sign(out, signer)
    return out


def hello(wine, exe: Path) -> dict:
    code, out, err = wine.run(exe, "hello", timeout=120)
    assert code == 0, err.decode(errors="replace")
    return check_event_stream(out, 0)[0]


def install_quill(wine, exe: Path, scope: str = "user"):
    code, out, err = wine.run(exe, "run", "--action", "install", "--apps", "quill", "--scope", scope,
                              timeout=RUN_TIMEOUT)
    assert out, err.decode(errors="replace")
    events = check_event_stream(out, code)
    return code, events, results_by_app(events)["quill"]


def assert_offline_hello(event: dict) -> None:
    assert event["mode"] == "offline"
    assert event["capabilities"][:6] == ["install", "update", "uninstall", "check-updates", "export-logs", "offline"]
    assert "installerRetired" not in event


def test_signed_sfx_installs_quill_offline(wine, windows_build, quill, pki, folders, offline):
    exe = build_sfx(windows_build / "YoxaOfficeInstaller.exe", quill, offline / "YoxaOfficeInstaller.exe", pki.yoxa)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(pki.ca_pem), "-in", str(exe)],
                              capture_output=True, text=True, timeout=120)
    assert verified.returncode == 0, verified.stdout + verified.stderr

    assert_offline_hello(hello(wine, exe))

    code, out, _ = wine.run(exe, "check-updates", "--apps", "quill", timeout=120)
    second = of_type(check_event_stream(out, code), "update-check-result")[1]
    assert code == 0
    assert second["apps"][0]["latestVersion"] == QUILL_VERSION
    assert second["apps"][0]["sizeBytes"] == quill.path.stat().st_size

    code, events, result = install_quill(wine, exe)
    assert (code, result["status"]) == (0, "installed"), events
    log = folders.log_text(folders.worker_logs)
    assert "embedded SFX packages found in engine exe; using SFX provider" in log
    assert "Yoxa Quill: staged embedded package -> " in log
    assert "carries the suite's signature" in log  # every Wine process is elevated
    assert (folders.staging / "installer-voffline.msi").read_bytes() == quill.path.read_bytes()


def test_external_bundle_installs_quill_offline(wine, windows_build, quill, folders, offline):
    exe = offline / "YoxaOfficeInstaller.exe"
    shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", exe)
    bundle = offline / "media" / "suite.bundle"
    bundle_tool("--package", f"quill={quill.path}", "--version", f"quill={QUILL_VERSION}", "--bundle", str(bundle),
                "--bundle-source", str(offline), "--bundle-location", wine.windows_path(bundle))

    assert_offline_hello(hello(wine, exe))
    code, events, result = install_quill(wine, exe)
    assert (code, result["status"]) == (0, "installed"), events
    assert f"reading offline packages from bundle {wine.windows_path(bundle)}" in folders.log_text(folders.worker_logs)


def write_packages_dir(root: Path, quill, sha256: str) -> Path:
    packages = root / "packages"
    packages.mkdir()
    shutil.copyfile(quill.path, packages / "QUILL.MSI")
    (packages / "packages.json").write_text(json.dumps(
        {"quill": {"version": QUILL_VERSION, "destination": "QUILL.MSI", "sha256": sha256}}))
    return packages


def test_packages_directory_with_upper_case_extension(wine, windows_build, quill, folders, offline):
    exe = offline / "bin" / "YoxaOfficeInstaller.exe"
    exe.parent.mkdir()
    shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", exe)
    # The parent of the engine's folder is the second place looked at.
    write_packages_dir(offline, quill, hashlib.sha256(quill.path.read_bytes()).hexdigest())

    assert_offline_hello(hello(wine, exe))
    code, events, result = install_quill(wine, exe)
    assert (code, result["status"]) == (0, "installed"), events
    log = folders.log_text(folders.worker_logs)
    assert "offline packages found at " in log and "using bundled provider" in log
    assert "Yoxa Quill: staged bundled package -> " in log


def test_wrong_sha256_fails_verification(wine, windows_build, quill, offline):
    exe = offline / "YoxaOfficeInstaller.exe"
    shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", exe)
    write_packages_dir(offline, quill, "0" * 64)

    code, events, result = install_quill(wine, exe)
    assert (code, result["status"], result["errorCode"]) == (2, "failed", "VERIFY_FAILED"), events


def test_a_malformed_entry_for_another_app_keeps_quills_checksum(wine, windows_build, quill, folders, offline):
    exe = offline / "YoxaOfficeInstaller.exe"
    shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", exe)
    packages = write_packages_dir(offline, quill, "0" * 64)
    manifest = json.loads((packages / "packages.json").read_text())
    manifest["folio"] = {"version": 4, "size": "large"}
    (packages / "packages.json").write_text(json.dumps(manifest))

    code, events, result = install_quill(wine, exe)
    assert (code, result["status"], result["errorCode"]) == (2, "failed", "VERIFY_FAILED"), events
    assert "offline manifest entry folio is malformed and ignored" in folders.log_text(folders.worker_logs)


def test_offline_build_past_its_offline_expiry_refuses(wine, windows_build, quill, offline):
    exe = build_sfx(windows_build / "YoxaOfficeInstaller-expired.exe", quill, offline / "YoxaOfficeInstaller.exe")
    event = hello(wine, exe)
    assert event["mode"] == "offline"
    assert event["installerRetired"]["expiresOn"] == "2021-06-30"
    code, events, result = install_quill(wine, exe)
    assert (code, result["status"], result["errorCode"]) == (2, "failed", "NOT_COMPATIBLE"), events


def test_truncated_sfx_is_refused_without_a_crash(wine, windows_build, quill, folders, offline):
    whole = build_sfx(windows_build / "YoxaOfficeInstaller.exe", quill, offline / "whole.exe").read_bytes()
    engine_size = (windows_build / "YoxaOfficeInstaller.exe").stat().st_size

    # The trailer cut off: no payloads, an online engine.
    cut_end = offline / "cut-end" / "YoxaOfficeInstaller.exe"
    cut_end.parent.mkdir()
    cut_end.write_bytes(whole[:-40])
    assert hello(wine, cut_end)["mode"] == "online"

    # The package cut short under an intact trailer: its segments leave the file.
    cut_middle = offline / "cut-middle" / "YoxaOfficeInstaller.exe"
    cut_middle.parent.mkdir()
    cut_middle.write_bytes(whole[:engine_size + 100] + whole[-88:])
    launcher_log_at = folders.log_size(folders.launcher_logs)
    assert hello(wine, cut_middle)["mode"] == "online"
    assert "claims segments outside the file" in folders.log_text(folders.launcher_logs, launcher_log_at)

    # A run from it is an online run that cannot reach the CDN, and still ends with done.
    code, events, result = install_quill(wine, cut_middle)
    assert code in (2, 5) and result["status"] == "failed", events


# -- what an elevated run trusts -------------------------------------------------------------
# Every Wine process is elevated; YoxaOfficeInstaller-unelevated.exe is the unelevated side.

def engine_copy(windows_build: Path, variant: str, folder: Path) -> Path:
    source = windows_build / variant
    if not source.exists():
        pytest.fail(f"{variant} is built by the windows-test preset")
    folder.mkdir(parents=True, exist_ok=True)
    exe = folder / "YoxaOfficeInstaller.exe"
    shutil.copyfile(source, exe)
    return exe


def test_unsigned_package_beside_the_engine_is_refused_elevated_and_installs_unelevated(
        wine, windows_build, unsigned_quill, quill, folders, offline):
    digest = hashlib.sha256(unsigned_quill.path.read_bytes()).hexdigest()

    # Elevated, machine scope: a checksum from the same folder vouches for nothing.
    elevated = engine_copy(windows_build, "YoxaOfficeInstaller.exe", offline / "elevated")
    write_packages_dir(elevated.parent, unsigned_quill, digest)
    code, events, result = install_quill(wine, elevated, "machine")
    assert (result["status"], result["errorCode"]) == ("failed", "VERIFY_FAILED"), events
    assert code == 2 and of_type(events, "done")
    machine_base = wine.prefix / "drive_c" / "ProgramData" / "Yoxa" / "YoxaOffice"
    # Unsigned, so the catalogs are asked, which Wine cannot do: the detail is its OS error 120.
    assert "Signature verification failed: " in folders.log_text(machine_base / "logs")
    shutil.rmtree(machine_base, ignore_errors=True)

    # Unelevated, user scope: the user can only harm themselves, the manifest's checksum suffices.
    unelevated = engine_copy(windows_build, "YoxaOfficeInstaller-unelevated.exe", offline / "unelevated")
    write_packages_dir(unelevated.parent, unsigned_quill, digest)
    code, events, result = install_quill(wine, unelevated)
    assert (code, result["status"]) == (0, "installed"), events
    uninstall(wine, [unsigned_quill])


def test_tampered_payload_in_a_signed_sfx_is_refused(wine, windows_build, quill, pki, folders, offline):
    exe = build_sfx(windows_build / "YoxaOfficeInstaller.exe", quill, offline / "YoxaOfficeInstaller.exe", pki.yoxa)
    data = bytearray(exe.read_bytes())
    engine_size = (windows_build / "YoxaOfficeInstaller.exe").stat().st_size
    data[engine_size + 4096] ^= 0x5A  # inside quill's package, covered by the engine's signature
    exe.write_bytes(bytes(data))

    code, events, result = install_quill(wine, exe)
    assert (code, result["status"], result["errorCode"]) == (2, "failed", "VERIFY_FAILED"), events
    assert of_type(events, "done")
    log = folders.log_text(folders.worker_logs)
    assert "Signature verification failed: OS Error: " in log  # the image's hash no longer matches
    assert "carries the suite's signature" not in log

