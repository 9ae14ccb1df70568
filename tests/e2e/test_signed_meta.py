"""Signed release metadata on the real exe under Wine: the test configuration lists
the public key of tests/servers/meta_signing_test_key.pem, so the engine accepts a
meta.json only with a meta.json.sig beside it that signs its exact bytes, for the app
asked for, before its expiry, and not older in sequence than one accepted before on
this machine. Each refusal reads as an unreadable meta.json (NETWORK_UNAVAILABLE) with
the reason in the log, and nothing is downloaded or installed.

What Wine cannot show: every Wine process is elevated, so the sequence floor lives in
HKLM here; the unelevated process's HKCU floor is covered by the unit tests
(ReleaseSequenceStore, with the fake registry).
"""

import dataclasses
import json
import os
import shutil

import pytest

import codesign  # tests/servers, on the path through conftest.py
import meta_signing  # tools/, on the path through cdn.py
from cdn import expires_in, next_sequence
from install_fixtures import PrefixFolders, build_app_msi, check_event_stream, results_by_app, uninstall
from packages import QUILL

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10")

RUN_TIMEOUT = 300
QUILL_PATH = r"C:\Program Files\Yoxa Quill\YoxaQuill.exe"


@pytest.fixture(scope="module")
def quill(tmp_path_factory):
    """quill 1.4.2, Authenticode-signed as the engine's publisher."""
    codesign.osslsigncode()
    root = tmp_path_factory.mktemp("signed-meta-packages")
    built = build_app_msi(QUILL, "1.4.2", root / "quill")
    signed = codesign.sign(built.path, codesign.generate(root / "pki").yoxa, root / "quill-signed.msi")
    return dataclasses.replace(built, path=signed)


@pytest.fixture(scope="module")
def stranger_key(tmp_path_factory):
    """A P-256 key the configuration does not list."""
    path = tmp_path_factory.mktemp("stranger") / "stranger.pem"
    path.write_bytes(meta_signing.private_key_pem(meta_signing.new_private_key()))
    return path


@pytest.fixture
def folders(wine, quill):
    """The prefix's per-user folders, emptied, and quill uninstalled, before and after."""
    found = PrefixFolders(wine.temp_dir().parent)
    shutil.rmtree(found.user_base, ignore_errors=True)
    uninstall(wine, [quill])
    yield found
    uninstall(wine, [quill])
    if not os.environ.get("YOXA_E2E_KEEP_PREFIX"):
        shutil.rmtree(found.user_base, ignore_errors=True)


def publish_quill(cdn, quill, **options):
    return cdn.publish("quill", "msi", quill.version, files={"quill-1.4.2.msi": quill.path}, **options)


def install(engine):
    code, out, err = engine("run", "--action", "install", "--apps", "quill", timeout=RUN_TIMEOUT)
    assert out, err.decode(errors="replace")
    return code, results_by_app(check_event_stream(out, code))["quill"]


def latest_of_quill(engine):
    code, out, _ = engine("check-updates", "--apps", "quill", timeout=120)
    return check_event_stream(out, code)[1]["apps"][0]["latestVersion"]


def assert_refused(engine, cdn, folders, reason: str):
    """A run fails for quill as if meta.json were unreadable, the worker's log gives the
    reason, and no package was fetched or installed."""
    code, result = install(engine)
    assert code == 5  # as for a meta.json that cannot be read: network unavailable
    assert (result["status"], result["errorCode"]) == ("failed", "NETWORK_UNAVAILABLE")
    log = folders.log_text(folders.worker_logs)
    assert "meta.json refused: " in log and reason in log, log[-3000:]
    assert not [r for r in cdn.requests() if r["request"].split()[1].endswith(".msi")]
    code, out, _ = engine("hello", timeout=120)
    assert {a["id"]: a for a in check_event_stream(out, code)[0]["apps"]}["quill"]["installedVersion"] is None


def test_a_signed_release_installs(engine, cdn, quill, folders):
    published = publish_quill(cdn, quill)
    assert json.loads(published.directory.joinpath("meta.json").read_text())["app"] == "quill"
    code, result = install(engine)
    assert code == 0
    assert (result["status"], result["installedVersion"], result["installedPath"]) == ("installed", "1.4.2",
                                                                                        QUILL_PATH)
    assert f"for 'quill', sequence {published.meta['sequence']}" in folders.log_text(folders.worker_logs)
    fetched = [r["request"].split()[1] for r in cdn.requests()]
    assert published.meta_url.split("47443")[1] + ".sig" in fetched


def edit_after_signing(published) -> None:
    meta = published.directory / "meta.json"
    meta.write_bytes(meta.read_bytes().replace(b'"1.4.2"', b'"1.4.3"', 1))


REFUSALS = {
    "unsigned": (dict(signing_key=None), None, "meta.json.sig could not be fetched: 404 for"),
    "another app's": (dict(meta={"app": "folio"}), None, "it is signed for app 'folio', not 'quill'"),
    "expired": (dict(meta={"expires": "2021-01-01T00:00:00Z"}), None, "it expired at 2021-01-01T00:00:00Z"),
    "edited after signing": ({}, edit_after_signing,
                             "its signature does not verify with any of the 1 configured signing keys"),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refused_metadata_installs_nothing(engine, cdn, quill, folders, case):
    options, after, reason = REFUSALS[case]
    published = publish_quill(cdn, quill, **options)
    if after:
        after(published)
    assert_refused(engine, cdn, folders, reason)


def test_a_key_the_configuration_does_not_list_is_refused(engine, cdn, quill, folders, stranger_key):
    publish_quill(cdn, quill, signing_key=stranger_key)
    assert_refused(engine, cdn, folders, "its signature does not verify with any of the 1 configured signing keys")


def test_an_older_sequence_replayed_after_a_newer_one_is_refused(engine, cdn, quill, folders):
    older, newer = next_sequence(), next_sequence()
    publish_quill(cdn, quill, meta={"sequence": newer})
    assert latest_of_quill(engine) == "1.4.2"  # accepted: the machine now remembers `newer`

    # Yesterday's document, validly signed and not yet expired, served again.
    publish_quill(cdn, quill, meta={"sequence": older, "expires": expires_in(1)})
    launcher_log_at = folders.log_size(folders.launcher_logs)
    assert latest_of_quill(engine) is None
    assert f"its sequence {older} is lower than {newer}, already accepted on this machine" in folders.log_text(
        folders.launcher_logs, launcher_log_at)
    assert_refused(engine, cdn, folders, f"its sequence {older} is lower than {newer}")
