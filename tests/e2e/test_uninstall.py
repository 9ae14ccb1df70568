"""`run --action uninstall` on the real exe under Wine: MSI apps installed from the test
CDN are removed through Wine's msiexec, and an app registered with an NSIS-style
uninstaller (tests/support/test_uninstaller.cpp) through its UninstallString, confirmed
by the engine's re-detect poll of the registry and followed by the clean-up of the
uninstaller's folder.

What Wine cannot show here:
  - per-user MSI installs: Wine's msiexec registers every package machine-wide, so an MSI
    app in a user-scope run goes through the elevated worker's machine-wide branch; the
    per-user MSI branch and the unelevated "nothing to remove" answer are unit-tested;
  - the UAC prompt and its refusal (UNINSTALL_AUTH_CANCELLED): every Wine process is
    elevated; unit tests cover the declined start;
  - an elevated worker running as another account than the launcher (the pre-check
    mismatch): unit-tested with a scripted USERNAME;
  - MSIX removal: covered by unit tests with scripted PowerShell answers for now;
  - the hour after which a hung uninstaller is ended: unit-tested with a scripted runner, and
    the real runner natively with a one-second limit;
  - an uninstall entry that cannot be read: Wine's registry lets the elevated engine read
    every key, so the read error that must not pass for "gone" is unit-tested;
  - a junction on the stub's path: unit-tested natively with symbolic links;
  - a second product left under the upgrade code after msiexec /x exits 0: Wine's msiexec
    deletes the upgrade code's whole key with its product (measured: a value planted beside
    the product's goes too), so the check after msiexec is unit-tested.
"""

import os
import shutil
from pathlib import Path
from typing import Optional

import pytest

from install_fixtures import (EngineProcess, PrefixFolders, SignedPackages, check_event_stream, of_type, publish,
                              uninstall, wine_quiet)

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10")

RUN_TIMEOUT = 300
UNINSTALL_ROOT = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
NSIS_DIR = r"C:\Program Files\Yoxa Quill NSIS"
TEST_KEYS = ("YoxaQuillNsis", "YoxaQuillStays")
PUBLIC = r"C:\users\Public"


def app_result(app: str, status: str, error_code=None) -> dict:
    return {"app": app, "errorCode": error_code, "installedPath": None, "installedVersion": None,
            "status": status, "type": "app-result", "v": 1}


def drive_c(wine, windows_dir: str) -> Path:
    """The host path of a C:\\ folder of the prefix."""
    return wine.prefix / "drive_c" / Path(*windows_dir[3:].split("\\"))


def registered(wine, hive: str, key: str) -> bool:
    return wine_quiet(wine, "reg", "query", rf"{hive}\{UNINSTALL_ROOT}\{key}") == 0


# -- fixtures -------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def signed(tmp_path_factory) -> SignedPackages:
    return SignedPackages(tmp_path_factory.mktemp("uninstall-packages"), large_bytes=0)


@pytest.fixture(scope="module")
def folders(wine) -> PrefixFolders:
    return PrefixFolders(wine.temp_dir().parent)


@pytest.fixture
def nsis_dir(wine) -> Path:
    return wine.prefix / "drive_c" / "Program Files" / "Yoxa Quill NSIS"


@pytest.fixture
def clean_machine(wine, signed, folders, nsis_dir):
    """No suite app, no test uninstall entry and no worker log, before and after."""

    def clean():
        uninstall(wine, signed.all)
        for hive in ("HKCU", "HKLM"):
            for key in TEST_KEYS:
                wine_quiet(wine, "reg", "delete", rf"{hive}\{UNINSTALL_ROOT}\{key}", "/f")
        shutil.rmtree(nsis_dir, ignore_errors=True)
        (wine.temp_dir() / "yoxa-test-uninstaller.args").unlink(missing_ok=True)
        for planted in ("msiexec.exe", "evil.exe"):
            (drive_c(wine, PUBLIC) / planted).unlink(missing_ok=True)
        if not os.environ.get("YOXA_E2E_KEEP_PREFIX"):
            shutil.rmtree(folders.user_base, ignore_errors=True)

    clean()
    yield
    clean()


@pytest.fixture
def register_nsis(wine, support_exe, nsis_dir):
    """Puts the test uninstaller alone in its folder and registers it as quill's:
    register_nsis(hive, key, *options)."""

    made = []

    def register(hive: str, key: str, *options: str, folder: str = NSIS_DIR) -> Path:
        host_dir = drive_c(wine, folder)
        host_dir.mkdir(parents=True, exist_ok=True)
        made.append(host_dir)
        stub = host_dir / "uninst.exe"
        shutil.copy(support_exe("test_uninstaller.exe"), stub)
        registered_ok = wine.run(stub, "--register", "--hive", hive.lower(), "--key", key, "--name", "Yoxa Quill",
                                 "--program", folder + r"\uninst.exe", *options)
        assert registered_ok.code == 0, registered_ok
        return host_dir

    yield register
    for host_dir in made:
        if host_dir != nsis_dir:
            shutil.rmtree(host_dir, ignore_errors=True)


def unelevated_engine(windows_build) -> Path:
    """Every Wine process is elevated, and an elevated engine leaves HKEY_CURRENT_USER's
    uninstall entries to their user: per-user removals run on the unelevated variant."""
    exe = windows_build / "YoxaOfficeInstaller-unelevated.exe"
    if not exe.exists():
        pytest.fail(f"{exe.name} is built by the windows-test preset")
    return exe


@pytest.fixture
def run_uninstall(wine, windows_build):
    def run(apps: str, exe: Optional[Path] = None):
        exe = exe or windows_build / "YoxaOfficeInstaller.exe"
        code, out, err = wine.run(exe, "run", "--action", "uninstall", "--apps", apps, timeout=RUN_TIMEOUT)
        assert out, err.decode(errors="replace")
        return code, check_event_stream(out, code)

    return run


@pytest.fixture
def register_command(wine, support_exe):
    """Registers quill's entry with an UninstallString given as it is ("<NUL>": a NUL):
    register_command(hive, key, command, *options)."""

    def register(hive: str, key: str, command: str, *options: str) -> None:
        registered_ok = wine.run(support_exe("test_uninstaller.exe"), "--register", "--hive", hive.lower(),
                                 "--key", key, "--name", "Yoxa Quill", "--command", command, *options)
        assert registered_ok.code == 0, registered_ok

    return register


@pytest.fixture
def planted(wine, support_exe):
    """Copies the test uninstaller to the Public profile folder under a name of the test's choosing."""

    def plant(name: str) -> str:
        target = drive_c(wine, PUBLIC)
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy(support_exe("test_uninstaller.exe"), target / name)
        return PUBLIC + "\\" + name

    return plant


def uninstaller_ran(wine) -> bool:
    return (wine.temp_dir() / "yoxa-test-uninstaller.args").exists()


def uninstaller_arguments(wine) -> str:
    return (wine.temp_dir() / "yoxa-test-uninstaller.args").read_text(encoding="utf-8", errors="replace")


# -- MSI apps -------------------------------------------------------------------------------

def test_installed_msi_apps_are_removed_by_msiexec_and_then_absent(wine, engine, cdn, signed, folders, run_uninstall,
                                                                  clean_machine):
    publish(cdn, signed.quill)
    publish(cdn, signed.folio)
    code, out, _ = engine("run", "--action", "install", "--apps", "quill,folio", timeout=RUN_TIMEOUT)
    assert code == 0, out

    code, events = run_uninstall("folio,quill")
    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled"), app_result("folio", "uninstalled")]
    assert [(s["app"], s["stage"], s["index"], s["total"]) for s in of_type(events, "stage")] == [
        ("quill", "uninstall", 0, 2), ("folio", "uninstall", 1, 2)]
    assert [e["detailCode"] for e in of_type(events, "progress")] == ["UNINSTALLING", "UNINSTALLING"]
    assert events[-1]["action"] == "uninstall" and events[-1]["exitCode"] == 0
    for package in (signed.quill, signed.folio):
        assert not registered(wine, "HKLM", package.product_code)
    worker_log = folders.log_text(folders.worker_logs)
    assert f"Uninstalling Yoxa Quill (GUID {signed.quill.product_code}); log: " in worker_log
    assert "msiexec /x for Yoxa Folio finished with status: 0" in worker_log
    assert (folders.worker_logs / "uninstall-quill.log").exists()  # msiexec's own verbose log

    hello = check_event_stream(engine("hello", timeout=120).stdout)
    installed = {app["id"]: app["installedVersion"] for app in hello[0]["apps"]}
    assert installed["quill"] is None and installed["folio"] is None

    code, events = run_uninstall("quill,folio")
    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "already_absent"),
                                             app_result("folio", "already_absent")]


# -- registered uninstallers ------------------------------------------------------------------

def test_nsis_uninstaller_is_confirmed_by_the_registry_and_its_folder_cleaned_up(wine, windows_build, folders,
                                                                                 nsis_dir, register_nsis,
                                                                                 run_uninstall, clean_machine):
    # The uninstaller returns at once; a detached copy drops the entry 3 s later.
    register_nsis("HKCU", "YoxaQuillNsis", "--delay-ms", "3000")
    launcher_log_at = folders.log_size(folders.launcher_logs)

    code, events = run_uninstall("quill", unelevated_engine(windows_build))

    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled")]
    assert not registered(wine, "HKCU", "YoxaQuillNsis")
    assert not nsis_dir.exists()
    assert nsis_dir.parent.exists()
    arguments = uninstaller_arguments(wine).splitlines()
    assert arguments[-3:] == ["/S", "_?=" + NSIS_DIR, "--"], arguments
    assert "uninstall pre-check: Yoxa Quill -> PerUser" in folders.log_text(folders.launcher_logs, launcher_log_at)
    worker_log = folders.log_text(folders.user_logs)
    assert "Yoxa Quill: confirmed removed after UninstallString" in worker_log
    assert f"Yoxa Quill: removed the leftover uninstaller and '{NSIS_DIR}'" in worker_log
    transcript = (folders.user_logs / "uninstall-quill.log").read_text(encoding="utf-8")
    assert "=== Yoxa installer: uninstaller runner ===\ncommand: " + NSIS_DIR + r"\uninst.exe" in transcript
    assert "exit: Some(0)\n--- stdout ---\ntest uninstaller: removing the app\n" in transcript
    assert "--- stderr ---\ntest uninstaller: a note on stderr\n" in transcript


def test_an_elevated_engine_never_runs_a_per_user_uninstall_entry(wine, windows_build, folders, nsis_dir,
                                                                   register_nsis, run_uninstall, clean_machine):
    # HKEY_CURRENT_USER is written by the user's unelevated programs: an elevated engine that
    # ran its command would run whatever the user put there with administrator rights.
    register_nsis("HKCU", "YoxaQuillNsis")

    code, events = run_uninstall("quill")

    assert code == 2, events
    assert of_type(events, "app-result") == [app_result("quill", "failed", "UNINSTALL_FAILED")]
    assert of_type(events, "done")
    assert registered(wine, "HKCU", "YoxaQuillNsis")
    assert (nsis_dir / "uninst.exe").exists()
    assert not (wine.temp_dir() / "yoxa-test-uninstaller.args").exists()  # never started
    assert ("Yoxa Quill is registered under HKEY_CURRENT_USER (user '" in folders.log_text(folders.worker_logs))


def test_uninstaller_directly_below_the_drive_root_is_left_alone(wine, windows_build, folders, register_nsis,
                                                                  run_uninstall, clean_machine):
    folder = register_nsis("HKCU", "YoxaQuillNsis", folder=r"C:\YoxaQuillStub")

    code, events = run_uninstall("quill", unelevated_engine(windows_build))

    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled")]
    assert (folder / "uninst.exe").exists()
    assert "Yoxa Quill: refusing to clean up 'C:\\YoxaQuillStub' \u2014 too close to the drive root" in \
        folders.log_text(folders.user_logs)


def test_uninstaller_that_leaves_its_entry_fails_after_thirty_lookups(wine, folders, nsis_dir, register_nsis,
                                                                      run_uninstall, clean_machine):
    register_nsis("HKLM", "YoxaQuillStays", "--keep-entry")
    launcher_log_at = folders.log_size(folders.launcher_logs)

    code, events = run_uninstall("quill")

    assert code == 2, events
    assert of_type(events, "app-result") == [app_result("quill", "failed", "UNINSTALL_FAILED")]
    assert registered(wine, "HKLM", "YoxaQuillStays")
    assert (nsis_dir / "uninst.exe").exists()  # never cleaned up without a confirmed removal
    worker_log = folders.log_text(folders.worker_logs)
    assert "Yoxa Quill still present in All hive(s) 30s after running UninstallString (exit Some(0)); see " in worker_log
    # Found only machine-wide: the run would ask for elevation, but Wine's launcher already has it.
    launcher_log = folders.log_text(folders.launcher_logs, launcher_log_at)
    assert "uninstall pre-check: Yoxa Quill -> MachineWide" in launcher_log
    assert ("run action=uninstall scope=user needs_elevation=false (machine_only_in_selection=false "
            "uninstall_needs_admin=true)") in launcher_log


def test_an_entry_naming_msiexec_anywhere_runs_the_systems_msiexec(wine, windows_build, folders, register_command, planted,
                                                                   run_uninstall, clean_machine):
    # A planted msiexec.exe would receive msiexec's switches and dodge the stub clean-up.
    fake = planted("msiexec.exe")
    register_command("HKCU", "YoxaQuillNsis", fake + " /x {00000000-0000-0000-0000-00000000D1E5}")

    code, events = run_uninstall("quill", unelevated_engine(windows_build))

    assert not uninstaller_ran(wine), uninstaller_arguments(wine)
    # Wine's msiexec knows no such product, so the entry stays and the poll says so.
    assert code == 2, events
    assert of_type(events, "app-result") == [app_result("quill", "failed", "UNINSTALL_FAILED")]
    worker_log = folders.log_text(folders.user_logs)
    assert f"Yoxa Quill: UninstallString names msiexec as '{fake}'; running C:\\windows\\system32\\msiexec.exe" \
        in worker_log, worker_log
    assert "Yoxa Quill still present in User hive(s) 30s after running UninstallString" in worker_log


@pytest.mark.parametrize("command", [r"{evil}<NUL>\msiexec.exe /X{{00000000-0000-0000-0000-00000000D1E5}}",
                                     r'"{evil}" <NUL> --hive hkcu --key YoxaQuillNsis'])
def test_an_entry_with_a_nul_inside_is_refused(wine, windows_build, folders, register_command, planted, run_uninstall, clean_machine,
                                               command):
    evil = planted("evil.exe")
    register_command("HKCU", "YoxaQuillNsis", command.format(evil=evil))

    code, events = run_uninstall("quill", unelevated_engine(windows_build))

    assert code == 2, events
    assert of_type(events, "app-result") == [app_result("quill", "failed", "UNINSTALL_FAILED")]
    assert not uninstaller_ran(wine), uninstaller_arguments(wine)
    assert registered(wine, "HKCU", "YoxaQuillNsis")
    assert ("Yoxa Quill has an UninstallString with a NUL character inside; refusing to run it: " in
            folders.log_text(folders.user_logs))


@pytest.mark.parametrize("location", ["C:\\", r"C:\windows"])
def test_a_drive_root_or_system_folder_is_never_the_in_place_directory(wine, windows_build, folders, register_nsis, run_uninstall,
                                                                      clean_machine, location):
    register_nsis("HKCU", "YoxaQuillNsis", "--install-location", location)

    code, events = run_uninstall("quill", unelevated_engine(windows_build))

    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled")]
    arguments = uninstaller_arguments(wine).splitlines()
    assert arguments[-2:] == ["/S", "--"], arguments
    assert not any(a.startswith("_?=") for a in arguments), arguments
    assert "Yoxa Quill: not passing _?=" in folders.log_text(folders.user_logs)


def test_a_flood_of_uninstaller_output_is_cut_at_a_megabyte(wine, windows_build, folders, register_nsis, run_uninstall,
                                                            clean_machine):
    register_nsis("HKCU", "YoxaQuillNsis", "--spam-bytes", "3000000")

    code, events = run_uninstall("quill", unelevated_engine(windows_build))

    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled")]
    transcript = (folders.user_logs / "uninstall-quill.log").read_text(encoding="utf-8")
    assert 1024 * 1024 <= len(transcript) < 1024 * 1024 + 4096, len(transcript)
    assert "--- stderr ---\ntest uninstaller: a note on stderr\n" in transcript
    assert ("Yoxa Quill: the uninstaller wrote more than 1048576 bytes to a stream; the transcript keeps the first "
            "1048576") in folders.log_text(folders.user_logs)


# -- cancel -----------------------------------------------------------------------------------

def test_cancel_during_the_first_app_reports_the_rest_cancelled(wine, windows_build, folders, register_nsis,
                                                               clean_machine):
    register_nsis("HKCU", "YoxaQuillNsis", "--delay-ms", "6000")
    run = EngineProcess(wine, unelevated_engine(windows_build), "run", "--action", "uninstall", "--apps",
                        "quill,folio")
    try:
        run.wait_for(lambda e: e.get("type") == "stage" and e.get("app") == "quill", what="quill's uninstall stage")
        run.send('{"type":"cancel"}')
        code, out, _ = run.finish(timeout=RUN_TIMEOUT)
    finally:
        if run.running:
            run.stop()

    events = check_event_stream(out, code)
    assert code == 1, events  # one success, the rest cancelled
    # The removal under way is finished, never cut off.
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled"), app_result("folio", "cancelled")]
    assert not of_type(events, "stage", "folio")
    assert not registered(wine, "HKCU", "YoxaQuillNsis")


def test_a_cancel_while_the_uninstaller_works_is_logged_and_honoured_after_it(wine, windows_build, folders,
                                                                            register_nsis, clean_machine):
    register_nsis("HKCU", "YoxaQuillNsis", "--sleep-ms", "5000")
    run = EngineProcess(wine, unelevated_engine(windows_build), "run", "--action", "uninstall", "--apps",
                        "quill,folio")
    try:
        run.wait_for(lambda e: e.get("type") == "stage" and e.get("app") == "quill", what="quill's uninstall stage")
        run.send('{"type":"cancel"}')
        code, out, _ = run.finish(timeout=RUN_TIMEOUT)
    finally:
        if run.running:
            run.stop()

    events = check_event_stream(out, code)
    assert code == 1, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled"), app_result("folio", "cancelled")]
    assert "Yoxa Quill: cancel received; the removal under way is finished first" in \
        folders.log_text(folders.user_logs)


# -- an expired installer ---------------------------------------------------------------------

def test_expired_installer_still_uninstalls(wine, windows_build, register_nsis, clean_machine):
    expired = windows_build / "YoxaOfficeInstaller-expired.exe"
    if not expired.is_file():
        pytest.skip(f"{expired.name} is not in {windows_build}: build the windows-test preset")
    # The expired variant is elevated, like every Wine process: a machine-wide entry is its to remove.
    register_nsis("HKLM", "YoxaQuillNsis")

    code, out, _ = wine.run(expired, "run", "--action", "uninstall", "--apps", "quill,folio", timeout=RUN_TIMEOUT)

    events = check_event_stream(out, code)
    assert code == 0, events
    assert of_type(events, "app-result") == [app_result("quill", "uninstalled"), app_result("folio", "already_absent")]
    assert not registered(wine, "HKLM", "YoxaQuillNsis")
