"""check-updates on the real exe against the loopback CDN (nginx), with real MSI
installs, the network down, a vanished CDN tree and the system proxy."""

import json
import subprocess

import pytest

from packages import QUILL, build_msi

pytestmark = pytest.mark.usefixtures("trusted_ca")


def events(stdout: bytes):
    return [json.loads(line) for line in stdout.decode("utf-8").splitlines()]


def by_id(event):
    return {app["id"]: app for app in event["apps"]}


def check_updates(engine, *args):
    code, out, err = engine("check-updates", *args, timeout=120)
    first, second, done = events(out)
    assert first["type"] == second["type"] == "update-check-result"
    assert done["type"] == "done" and done["action"] == "check-updates" and done["exitCode"] == code
    return code, first, second


@pytest.fixture(scope="module")
def quill_msi(tmp_path_factory):
    return build_msi(QUILL, "1.4.2", tmp_path_factory.mktemp("quill-msi"))


@pytest.fixture
def quill_installed(wine, quill_msi):
    run = lambda *a: subprocess.run([wine.wine, *a], env=wine.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180).returncode
    assert run("msiexec", "/i", wine.windows_path(quill_msi.path), "/qn", "ALLUSERS=1") == 0
    yield quill_msi
    run("msiexec", "/x", quill_msi.product_code, "/qn")


def test_latest_versions_sizes_and_release_notes(engine, cdn, quill_installed):
    quill = cdn.publish("quill", "msi", "1.10.0", files={"quill-1.10.0.msi": b"q" * 4096},
                        release_notes={"product": "quill", "releases": [
                            {"version": "1.10.0", "date": "2026-11-30", "notes": ["Faster start-up", "Fixes"]},
                            {"version": "1.9.0", "notes": []}]})
    cdn.publish("folio", "msi", "3.0", meta={"size": None}, release_notes="{not json")
    # abacus is published only under the architecture it was not declared with.
    cdn.publish("abacus", "msix", "2.0.0.0", files={"abacus.msix": b"a" * 10}, arch="universal")

    code, first, second = check_updates(engine)
    assert code == 0
    assert by_id(first)["quill"]["installedVersion"] == "1.4.2"
    apps = by_id(second)
    assert apps["quill"] == {
        "id": "quill", "latestVersion": "1.10.0", "updateAvailable": True, "sizeBytes": quill.size,
        "releaseNotes": [{"version": "1.10.0", "date": "2026-11-30", "notes": ["Faster start-up", "Fixes"]},
                         {"version": "1.9.0", "date": None, "notes": []}],
    }
    assert apps["folio"] == {"id": "folio", "latestVersion": "3.0", "updateAvailable": False, "sizeBytes": None}
    assert apps["abacus"]["latestVersion"] == "2.0.0.0" and apps["abacus"]["sizeBytes"] == 10
    assert apps["lumen"]["latestVersion"] is None  # 404: not available, not a failure
    assert "installerRetired" not in second

    requests = cdn.requests()
    metas = [r for r in requests if r["request"].split()[1].endswith("/meta.json")]
    assert metas and all(r["cache_control"] == "no-cache" for r in metas)
    assert all(r["user_agent"] == "installer-common/0.0.0" for r in requests)


def test_network_down_still_answers_twice_and_exits_5(engine, cdn):
    cdn.stop()
    try:
        code, first, second = check_updates(engine, "--apps", "quill,lumen")
    finally:
        cdn.start()
    assert code == 5
    assert [app["id"] for app in first["apps"]] == ["quill", "lumen"]
    assert all(app["latestVersion"] is None and app["sizeBytes"] is None for app in second["apps"])
    assert "installerRetired" not in second


@pytest.mark.parametrize("download_status", [200, 500])
def test_vanished_cdn_tree_retires_the_installer(engine, cdn, download_status):
    if download_status != 200:
        cdn.configure(download_status=download_status)
    code, _, second = check_updates(engine)
    assert code == 0
    assert second["installerRetired"] == {"reason": "source-unavailable",
                                          "downloadUrl": cdn.layout.download_page_url}
    probes = [r for r in cdn.requests() if r["request"].split()[1] == "/download"]
    assert len(probes) == 1


def test_requests_go_through_the_system_proxy(engine, cdn, connect_proxy, system_proxy):
    cdn.publish("quill", "msi", "1.5.0", files={"q.msi": b"q"})
    system_proxy.set(connect_proxy.address, override="<local>")
    code, _, second = check_updates(engine, "--apps", "quill")
    assert code == 0
    assert by_id(second)["quill"]["latestVersion"] == "1.5.0"
    assert connect_proxy.tunnels >= 1
