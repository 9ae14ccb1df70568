"""MSIX installs on the real exe under Wine: abacus (.msix) and lumen (.msixbundle) from the
loopback CDN with the framework packages their meta.json lists, verified by the engine
(Authenticode through WinVerifyTrust with the test subject interface package, SHA-256 through
the PowerShell stand-in) and deployed by the stand-in's Add-AppxPackage, which checks the
packages' declared frameworks as Windows does and records the deployment where detection
reads it.

What Wine cannot show here, and where it is covered:
  - Windows' own deployment (the stand-in plays it; tests/e2e/test_msix_support.py checks the
    stand-in against the behaviour these tests rely on);
  - package content digests and untrusted roots (WinVerifyTrust under Wine checks neither):
    the unit tests' fake trust verifier;
  - an unelevated user-scope install (every Wine process is elevated, so the sideloading
    policy and the certificate script always run here): the unit tests of the MSIX installer.
"""

import shutil

import pytest

import codesign  # tests/servers, on the path through conftest.py
import msix_packages
from cdn import sha256_hex
from install_fixtures import PrefixFolders, check_event_stream, of_type, wine_quiet
from msix_fixtures import AppxPrefix

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10", "msix_sip")

RUN_TIMEOUT = 300
VCLIBS = msix_packages.FRAMEWORK_BY_ID["Microsoft.VCLibs.140.00"]
UWP_DESKTOP = msix_packages.FRAMEWORK_BY_ID["Microsoft.VCLibs.140.00.UWPDesktop"]
APP_RUNTIME = msix_packages.FRAMEWORK_BY_ID["Microsoft.WindowsAppRuntime.1.8"]
RUNTIME_MISSING = ("App package is missing a required Windows runtime component. "
                   "Please contact support for assistance.")
SIDELOADING_KEY = r"HKLM\SOFTWARE\Policies\Microsoft\Windows\Appx"
UNUSABLE_RECORD = "is not a plain file name; skipping"


class Packages:
    """abacus 2.0.0.0 needs VCLibs and the Windows App Runtime; lumen 3.1.0.0 needs VCLibs."""

    def __init__(self, root):
        self.pki = codesign.generate(root / "pki")
        self.apps = msix_packages.msix_apps()
        needs = lambda *frameworks: [(f.identity, f.min_version) for f in frameworks]  # noqa: E731
        self.abacus = msix_packages.build_app(self.apps["abacus"], "2.0.0.0", root / "abacus", self.pki.yoxa,
                                              needs(VCLIBS, APP_RUNTIME))
        self.lumen = msix_packages.build_app(self.apps["lumen"], "3.1.0.0", root / "lumen", self.pki.yoxa,
                                             needs(VCLIBS))
        self.frameworks = {f.identity: msix_packages.build_framework(f, f.min_version, root / "fw", self.pki.yoxa)
                           for f in msix_packages.FRAMEWORKS}


@pytest.fixture(scope="module")
def packages(tmp_path_factory) -> Packages:
    codesign.osslsigncode()
    return Packages(tmp_path_factory.mktemp("msix-install"))


@pytest.fixture(scope="module")
def folders(wine) -> PrefixFolders:
    return PrefixFolders(wine.temp_dir().parent)


@pytest.fixture
def appx(wine, powershell_standin, packages, folders):
    """No MSIX package deployed and nothing staged or logged in either scope, before and after."""
    prefix = AppxPrefix(wine, powershell_standin, msix_packages.publisher_map(list(packages.apps.values())))
    bases = (folders.user_base, machine_base(wine))

    def clean():
        prefix.reset()
        for base in bases:
            shutil.rmtree(base, ignore_errors=True)

    clean()
    yield prefix
    clean()


def machine_base(wine):
    """config_base_dir for machine scope: %ProgramData%\\Yoxa\\YoxaOffice."""
    return wine.prefix / "drive_c" / "ProgramData" / "Yoxa" / "YoxaOffice"


def dependency(framework: msix_packages.Framework, built: msix_packages.BuiltMsix, **overrides) -> dict:
    record = {"identity": framework.identity, "token": framework.token, "arch": "x64", "kind": "framework",
              "minVersion": framework.min_version, "version": built.identity.version,
              "destination": framework.file_name, "size": built.path.stat().st_size,
              "checksum": sha256_hex(built.path.read_bytes()), "checksumAlgorithm": "sha256"}
    record.update(overrides)
    return record


def publish(cdn, packages: Packages, app_id: str, frameworks=(), extra_records=()):
    """The app's package and the listed frameworks in its CDN directory, with dependency records."""
    built = getattr(packages, app_id)
    files = {built.path.name: built.path}
    records = []
    for framework in frameworks:
        framework_package = packages.frameworks[framework.identity]
        files[framework.file_name] = framework_package.path
        records.append(dependency(framework, framework_package))
    return cdn.publish(app_id, built.app.fmt, built.identity.version, files=files,
                       meta={"dependencies": records + list(extra_records)})


def run_install_scope(engine, apps: str, scope: str):
    code, out, err = engine("run", "--action", "install", "--apps", apps, "--scope", scope, timeout=RUN_TIMEOUT)
    assert out, err.decode(errors="replace")
    return code, check_event_stream(out, code)


def run_install(engine, apps: str):
    return run_install_scope(engine, apps, "user")


def downloaded(cdn):
    return [r["request"].split()[1].rsplit("/", 1)[-1] for r in cdn.requests() if r["status"] == 200]


def results(events):
    return {r["app"]: (r["status"], r["errorCode"], r["installedPath"], r["installedVersion"])
            for r in of_type(events, "app-result")}


def test_install_passes_only_the_needed_framework_and_hello_sees_both_apps(wine, engine, cdn, packages, appx,
                                                                         folders):
    # The Windows App Runtime is already there; VCLibs is not.
    appx.install(packages.frameworks[APP_RUNTIME.identity].path)
    publish(cdn, packages, "abacus", [VCLIBS, APP_RUNTIME])
    publish(cdn, packages, "lumen", [VCLIBS])

    code, events = run_install(engine, "abacus,lumen")

    abacus, lumen = packages.apps["abacus"], packages.apps["lumen"]
    assert code == 0, folders.log_text(folders.worker_logs)[-4000:]
    assert results(events) == {"abacus": ("installed", None, abacus.apps_folder_path, "2.0.0.0"),
                               "lumen": ("installed", None, lumen.apps_folder_path, "3.1.0.0")}
    requests = appx.requests("Add-AppxPackage")
    assert [r["path"].rsplit("\\", 1)[-1] for r in requests] == ["installer-v2.0.0.0.msix",
                                                                 "installer-v3.1.0.0.msixbundle"]
    # abacus got VCLibs from the staging directory; lumen found it installed by then.
    staging = "C:\\" + str(folders.staging.relative_to(wine.prefix / "drive_c")).replace("/", "\\")
    # Dependencies are staged in a folder of their own, apart from the packages.
    staged_vclibs = f"{staging}\\dependencies\\{VCLIBS.file_name}"
    assert [d.lower() for d in requests[0]["dependencies"]] == [staged_vclibs.lower()]
    assert requests[1]["dependencies"] == []
    assert downloaded(cdn).count(VCLIBS.file_name) == 1
    assert APP_RUNTIME.file_name not in downloaded(cdn)
    assert appx.installed_versions(VCLIBS.identity) == VCLIBS.min_version

    code, out, _ = engine("hello", timeout=120)
    apps = {a["id"]: a for a in check_event_stream(out, code)[0]["apps"]}
    for app_id, version in (("abacus", "2.0.0.0"), ("lumen", "3.1.0.0")):
        app = packages.apps[app_id]
        assert (apps[app_id]["source"], apps[app_id]["installedVersion"], apps[app_id]["installedPath"]) == (
            "msix", version, app.apps_folder_path)
    assert apps["quill"]["source"] is None


def test_missing_runtime_component_maps_to_its_message(engine, cdn, packages, appx, powershell_standin, folders):
    publish(cdn, packages, "lumen", [VCLIBS])
    powershell_standin.fail("only add-appx",
                            "stderr Add-AppxPackage : Deployment failed with HRESULT: 0x80073CF3, Package failed "
                            "updates, dependency or conflict validation.", "exit 1")

    code, events = run_install(engine, "lumen")

    assert code == 2
    assert results(events) == {"lumen": ("failed", "INSTALL_FAILED", None, None)}
    log = folders.log_text(folders.worker_logs)
    assert "MSIX installation failed: " in log and RUNTIME_MISSING in log
    assert "Missing framework" not in log


def test_framework_windows_asks_for_is_named_in_the_failure(engine, cdn, packages, appx, folders):
    # meta.json lists nothing, so Windows (the stand-in) finds VCLibs missing and names it.
    publish(cdn, packages, "lumen")

    code, events = run_install(engine, "lumen")

    assert code == 2
    assert results(events) == {"lumen": ("failed", "UNKNOWN", None, None)}
    log = folders.log_text(folders.worker_logs)
    assert f"Missing framework dependency: {VCLIBS.identity}" in log
    # The composed message is the missing-runtime one, never the untrusted-certificate one.
    assert f"{RUNTIME_MISSING} Missing framework: {VCLIBS.identity}" in log
    assert "certificate is not trusted" not in log


def test_dependency_with_a_path_in_its_destination_is_skipped(wine, engine, cdn, packages, appx, folders):
    evil = dependency(UWP_DESKTOP, packages.frameworks[UWP_DESKTOP.identity], destination="..\\evil.appx")
    publish(cdn, packages, "abacus", [VCLIBS, APP_RUNTIME], extra_records=[evil])

    code, events = run_install(engine, "abacus")

    assert code == 0, folders.log_text(folders.worker_logs)[-4000:]
    assert results(events)["abacus"][0] == "installed"
    assert UNUSABLE_RECORD in folders.log_text(folders.worker_logs)
    assert not [r for r in cdn.requests() if "evil" in r["request"]]
    assert not list(folders.user_base.rglob("evil.appx"))
    [request] = appx.requests("Add-AppxPackage")
    assert sorted(d.rsplit("\\", 1)[-1] for d in request["dependencies"]) == sorted(
        [VCLIBS.file_name, APP_RUNTIME.file_name])


def update_check(engine, *args):
    code, out, _ = engine("check-updates", *args, timeout=120)
    first, second, done = check_event_stream(out, code)
    return second


def test_check_updates_reports_missing_frameworks(engine, cdn, packages, appx, powershell_standin):
    assert update_check(engine, "--apps", "abacus")["missingFrameworks"] == ["vclibs", "winappruntime"]

    # Both VCLibs rows present: only the Windows App Runtime is missing.
    for framework in (VCLIBS, UWP_DESKTOP):
        appx.install(packages.frameworks[framework.identity].path)
    assert update_check(engine, "--apps", "lumen,quill")["missingFrameworks"] == ["winappruntime"]

    # No MSIX app selected: no framework check at all.
    assert "missingFrameworks" not in update_check(engine, "--apps", "quill")

    # A failing framework check reports nothing missing.
    powershell_standin.fail("only framework-query", "stderr Get-AppxPackage : access denied", "exit 1")
    assert update_check(engine, "--apps", "abacus")["missingFrameworks"] == []


def test_machine_scope_provisions_with_both_frameworks_and_trusts_the_signing_root(wine, engine, cdn, packages, appx,
                                                                                     folders):
    publish(cdn, packages, "abacus", [VCLIBS, APP_RUNTIME])
    machine_logs = machine_base(wine) / "logs"

    code, events = run_install_scope(engine, "abacus", "machine")

    assert code == 0, folders.log_text(machine_logs)[-4000:]
    assert results(events)["abacus"] == ("installed", None, packages.apps["abacus"].apps_folder_path, "2.0.0.0")
    [request] = appx.requests("Add-AppxProvisionedPackage")
    assert sorted(d.rsplit("\\", 1)[-1] for d in request["dependencies"]) == sorted(
        [VCLIBS.file_name, APP_RUNTIME.file_name])
    assert not appx.requests("Add-AppxPackage")
    # Every Wine process is elevated, so the signing root is put in the machine's Root store first.
    assert [r["path"] for r in appx.requests("certificate-chain")] == [request["path"]]
    assert appx.installed_versions("YoxaCorporation.YoxaAbacus", all_users=True) == "2.0.0.0"
    for value in ("AllowAllTrustedApps", "AllowDevelopmentWithoutDevLicense"):
        assert wine_quiet(wine, "reg", "query", SIDELOADING_KEY, "/v", value) == 0, value


def test_uninstall_removes_the_user_registration_and_hello_sees_it_gone(engine, cdn, packages, appx, folders):
    publish(cdn, packages, "abacus", [VCLIBS, APP_RUNTIME])
    assert run_install(engine, "abacus")[0] == 0, folders.log_text(folders.worker_logs)[-4000:]
    abacus = packages.apps["abacus"]

    code, out, err = engine("run", "--action", "uninstall", "--apps", "abacus", "--scope", "user",
                            timeout=RUN_TIMEOUT)

    assert out, err.decode(errors="replace")
    assert code == 0, folders.log_text(folders.worker_logs)[-4000:]
    assert results(check_event_stream(out, code)) == {"abacus": ("uninstalled", None, None, None)}
    assert [r["path"] for r in appx.requests("Remove-AppxPackage")] == [abacus.family_name]
    assert appx.installed_versions(abacus.package_name) is None
    code, out, _ = engine("hello", timeout=120)
    apps = {a["id"]: a for a in check_event_stream(out, code)[0]["apps"]}
    assert (apps["abacus"]["source"], apps["abacus"]["installedVersion"]) == (None, None)


# -- offline packages and the trusted root store ------------------------------------------------

def offline_engine(windows_build, folder, package) -> "Path":
    """A copy of the engine with a packages folder beside it holding abacus's package."""
    (folder / "packages").mkdir(parents=True)
    exe = folder / "YoxaOfficeInstaller.exe"
    shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", exe)
    shutil.copyfile(package, folder / "packages" / "abacus.msix")
    return exe


def test_offline_msix_signed_by_another_root_never_reaches_the_root_store(wine, windows_build, packages, appx,
                                                                          folders, tmp_path):
    # Every Wine process is elevated: the certificate step would run for any package that got this far.
    other_pki = codesign.generate(tmp_path / "other-pki")
    foreign = msix_packages.build_app(packages.apps["abacus"], "2.0.0.0", tmp_path / "foreign", other_pki.other_case,
                                      [])
    exe = offline_engine(windows_build, tmp_path / "foreign-engine", foreign.path)
    code, out, _ = wine.run(exe, "run", "--action", "install", "--apps", "abacus", timeout=RUN_TIMEOUT)
    events = check_event_stream(out, code)
    assert results(events)["abacus"][:2] == ("failed", "VERIFY_FAILED"), events
    assert not appx.requests("certificate-chain")
    assert not appx.requests("Add-AppxPackage")

    # The suite's own signature: verified in this run, so its chain may be trusted.
    ours = msix_packages.build_app(packages.apps["abacus"], "2.0.0.0", tmp_path / "ours", packages.pki.yoxa, [])
    exe = offline_engine(windows_build, tmp_path / "our-engine", ours.path)
    code, out, _ = wine.run(exe, "run", "--action", "install", "--apps", "abacus", timeout=RUN_TIMEOUT)
    events = check_event_stream(out, code)
    assert results(events)["abacus"][:2] == ("installed", None), folders.log_text(folders.user_logs)[-4000:]
    [request] = appx.requests("Add-AppxPackage")
    assert [r["path"] for r in appx.requests("certificate-chain")] == [request["path"]]

