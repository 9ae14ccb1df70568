"""hello, disk-free and check-updates on the real exe, against real MSI installs
and seeded app-package registry state."""

import json
import re
import subprocess

import pytest

from packages import FOLIO, QUILL, build_msi

REPOSITORY = (r"HKCU\Software\Classes\Local Settings\Software\Microsoft\Windows\CurrentVersion"
              r"\AppModel\Repository\Packages")
ABACUS_FAMILY = "YoxaCorporation.YoxaAbacus_v4x2s8k1qa0mt"
ALL_APPS = ["quill", "abacus", "lumen", "folio"]


def events(stdout: bytes):
    lines = stdout.decode("utf-8").split("\n")
    assert lines[-1] == "", "every event ends with one line feed"
    parsed = []
    for line in lines[:-1]:
        event = json.loads(line)
        assert event["v"] == 1
        assert list(event) == sorted(event), line
        assert line == json.dumps(event, separators=(",", ":"), ensure_ascii=False, sort_keys=True)
        parsed.append(event)
    return parsed


def apps_by_id(event):
    return {app["id"]: app for app in event["apps"]}


def wine_command(wine, *args):
    completed = subprocess.run([wine.wine, *args], env=wine.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180)
    return completed.returncode


@pytest.fixture(scope="module")
def msi_packages(tmp_path_factory):
    out = tmp_path_factory.mktemp("msi")
    return {"quill": build_msi(QUILL, "1.4.2", out / "quill"), "folio": build_msi(FOLIO, "2.0.7", out / "folio")}


@pytest.fixture
def installed(wine, msi_packages):
    """Installs the packages machine-wide with Wine's msiexec; removes them afterwards."""
    for package in msi_packages.values():
        assert wine_command(wine, "msiexec", "/i", wine.windows_path(package.path), "/qn", "ALLUSERS=1") == 0
    yield msi_packages
    for package in msi_packages.values():
        wine_command(wine, "msiexec", "/x", package.product_code, "/qn")


@pytest.fixture
def seeded_msix(wine, tmp_path):
    """Registers abacus in the current user's package repository, as a deployment would."""
    payload = tmp_path / "abacus-payload"
    payload.mkdir()
    key = rf"{REPOSITORY}\YoxaCorporation.YoxaAbacus_2.3.4.0_x64__v4x2s8k1qa0mt"

    def seed(root_folder):
        assert wine_command(wine, "reg", "add", key, "/v", "PackageRootFolder", "/d", root_folder, "/f") == 0

    seed(wine.windows_path(payload))
    yield seed
    wine_command(wine, "reg", "delete", key, "/f")


def test_hello_on_a_clean_machine(engine):
    code, out, err = engine("hello", "ignored", "--words")
    assert code == 0
    hello, done = events(out)
    assert hello["type"] == "hello"
    assert done == {"action": "hello", "exitCode": 0, "results": [], "type": "done", "v": 1}
    assert [app["id"] for app in hello["apps"]] == ALL_APPS
    assert hello["capabilities"] == ["install", "update", "uninstall", "check-updates", "export-logs"]
    assert hello["mode"] == "online" and hello["platform"] == "windows" and hello["installScope"] == "user"
    assert hello["engineVersion"] == "0.0.0" and hello["protocolVersion"] == 1
    assert hello["defaultInstallDir"] == "C:\\Program Files"
    assert "installerRetired" not in hello
    quill = apps_by_id(hello)["quill"]
    assert quill == {
        "id": "quill", "displayName": "Yoxa Quill", "descriptionCode": "app.quill.desc",
        "installedVersion": None, "latestVersion": None, "updateAvailable": False, "sizeBytes": 629145600,
        "source": None, "webUrl": quill["webUrl"], "installedPath": None,
    }
    assert quill["webUrl"].startswith("https://")


def test_hello_starts_none_of_the_libraries_it_does_not_use(engine):
    # hello is the launcher's first wait: the network, trust and shell libraries (and what they
    # pull in) load only when a command calls them.
    code, _, err = engine("hello", env={"WINEDEBUG": "+pid,+loaddll"})
    assert code == 0
    trace = err.decode(errors="replace")
    # Only the engine's own process: the log header's command interpreter loads its own set.
    engine_pid = re.search(r'^([0-9a-f]+):\S+ Loaded L"[^"]*YoxaOfficeInstaller[^"]*\.exe"', trace, re.M).group(1)
    loaded = {name.lower() for name in
              re.findall(rf'^{engine_pid}:\S+ Loaded L"[^"]*\\\\([^"\\\\]+)\.dll"', trace, re.M)}
    assert loaded, trace
    assert not loaded & {"winhttp", "wintrust", "crypt32", "shell32", "ole32", "userenv", "wtsapi32", "user32"}


def test_hello_reports_real_msi_installs_until_they_are_removed(engine, wine, installed):
    _, out, _ = engine("hello")
    apps = apps_by_id(events(out)[0])
    for app_id, package in installed.items():
        app = apps[app_id]
        assert app["installedVersion"] == package.version
        assert app["source"] == "msi"
        assert app["installedPath"] == f"C:\\Program Files\\{package.app.product_name}\\{package.app.process}.exe"
    assert apps["abacus"]["installedVersion"] is None

    for package in installed.values():
        assert wine_command(wine, "msiexec", "/x", package.product_code, "/qn") == 0
    _, out, _ = engine("hello")
    apps = apps_by_id(events(out)[0])
    assert all(apps[app_id]["installedVersion"] is None and apps[app_id]["source"] is None for app_id in installed)


def test_hello_reads_msix_apps_from_the_package_repository(engine, wine, seeded_msix):
    _, out, _ = engine("hello")
    abacus = apps_by_id(events(out)[0])["abacus"]
    assert abacus["installedVersion"] == "2.3.4.0"
    assert abacus["source"] == "msix"
    assert abacus["installedPath"] == f"shell:AppsFolder\\{ABACUS_FAMILY}!App"

    # A repository entry whose payload folder is gone is a leftover, not an install.
    seeded_msix("C:\\Program Files\\WindowsApps\\gone")
    _, out, _ = engine("hello")
    abacus = apps_by_id(events(out)[0])["abacus"]
    assert abacus["installedVersion"] is None and abacus["installedPath"] is None


@pytest.mark.parametrize("args, env, expected_path, has_space", [
    ((), {}, "C:\\", True),
    (("--path", "C:\\no\\such\\folder"), {}, "C:\\no\\such\\folder", True),
    (("--path", "Q:\\missing-drive"), {}, "Q:\\missing-drive", False),
    # Wine sets SystemDrive itself, so the fallback is seen as C: here.
    (("--path", ""), {}, "C:\\", True),
])
def test_disk_free(engine, args, env, expected_path, has_space):
    code, out, _ = engine("disk-free", *args, env=env)
    assert code == 0
    result, done = events(out)
    assert result["type"] == "disk-free-result" and result["path"] == expected_path
    assert (isinstance(result["freeBytes"], int) and result["freeBytes"] > 0) if has_space else result["freeBytes"] is None
    assert done["action"] == "disk-free" and done["exitCode"] == 0


def test_check_updates_reports_the_installed_state_first(engine, installed):
    code, out, _ = engine("check-updates", "--apps", "folio, quill")
    first, second, done = events(out)
    assert [app["id"] for app in first["apps"]] == ["folio", "quill"]
    folio = apps_by_id(first)["folio"]
    assert folio["installedVersion"] == "2.0.7" and folio["source"] == "msi" and folio["latestVersion"] is None
    assert folio["installedPath"].endswith("\\YoxaFolio.exe")
    # No package metadata is fetched yet: every latest-version lookup fails as if offline.
    assert second["type"] == "update-check-result"
    assert all(app["latestVersion"] is None and app["sizeBytes"] is None for app in second["apps"])
    assert code == 5 and done["exitCode"] == 5 and done["action"] == "check-updates"


def test_check_updates_rejects_an_unknown_app_before_any_event(engine):
    code, out, err = engine("check-updates", "--apps", "quill,Folio")
    assert code == 3 and out == b""
    assert err == b"Invalid app id 'Folio'. Expected one of: quill, abacus, lumen, folio\n"
