"""Signing meta.json: tools/publish_cdn.py --signing-key, tools/make_signing_key.py and
the format of tools/meta_signing.py (the engine reading it under Wine is
tests/e2e/test_signed_meta.py; its C++ verifier has unit tests)."""

import base64
import datetime
import json
import stat
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tools"))

import make_signing_key  # noqa: E402
import meta_signing  # noqa: E402
import publish_cdn  # noqa: E402
from publish_cdn import Refused, Release, publish  # noqa: E402

TEST_CONFIG = REPO_ROOT / "config" / "installer_config.test.json"
TEST_KEY = REPO_ROOT / "tests" / "servers" / "meta_signing_test_key.pem"
CONFIG_KEY = json.loads(TEST_CONFIG.read_text())["metaSigningKeys"][0]


@pytest.fixture
def package(tmp_path) -> Path:
    path = tmp_path / "quill.msi"
    path.write_bytes(b"MSI package bytes")
    return path


def signed_tree(out: Path):
    directory = out / "officesuite" / "apps" / "default" / "quill" / "windows" / "x64" / "msi" / "latest"
    data = (directory / "meta.json").read_bytes()
    return directory, data, json.loads(data), (directory / "meta.json.sig").read_bytes()


def test_the_test_key_is_the_one_the_test_configuration_lists():
    assert meta_signing.public_key_text(meta_signing.load_private_key(TEST_KEY)) == CONFIG_KEY


def test_signed_publication_carries_app_expiry_and_a_growing_sequence(tmp_path, package):
    out = tmp_path / "upload"
    before = datetime.datetime.now(datetime.timezone.utc)
    publish(Release("quill", "1.4.2", package, signing_key=TEST_KEY), TEST_CONFIG, out)
    directory, data, meta, signature = signed_tree(out)
    assert (meta["app"], meta["sequence"], meta["version"]) == ("quill", 1, "1.4.2")
    expires = datetime.datetime.strptime(meta["expires"], "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
    assert datetime.timedelta(days=29.99) < expires - before < datetime.timedelta(days=30.01)
    assert meta_signing.verify(data, signature, CONFIG_KEY)
    # r||s, 64 bytes, base64 with padding and a line feed: what the engine decodes.
    assert signature.endswith(b"\n") and len(base64.b64decode(signature)) == 64
    assert not meta_signing.verify(data.replace(b"1.4.2", b"1.4.3"), signature, CONFIG_KEY)

    publish(Release("quill", "1.4.3", package, signing_key=TEST_KEY, valid_for_days=2), TEST_CONFIG, out)
    _, data, meta, signature = signed_tree(out)
    assert meta["sequence"] == 2 and meta_signing.verify(data, signature, CONFIG_KEY)
    publish(Release("quill", "1.4.4", package, signing_key=TEST_KEY, sequence=40), TEST_CONFIG, out)
    assert signed_tree(out)[2]["sequence"] == 40


def test_refuses_what_signed_engines_would_refuse_and_writes_nothing(tmp_path, package):
    stranger = tmp_path / "stranger.pem"
    stranger.write_bytes(meta_signing.private_key_pem(meta_signing.new_private_key()))
    not_a_key = tmp_path / "not-a-key.pem"
    not_a_key.write_text("hello")
    for release, words in [
        (Release("quill", "1.4.2", package, signing_key=stranger), "not among the configuration's metaSigningKeys"),
        (Release("quill", "1.4.2", package, signing_key=not_a_key), "cannot read the signing key"),
        (Release("quill", "1.4.2", package, signing_key=TEST_KEY, valid_for_days=0), "--valid-for"),
        (Release("quill", "1.4.2", package, signing_key=TEST_KEY, sequence=-1), "unsigned 64-bit"),
    ]:
        with pytest.raises(Refused) as refusal:
            publish(release, TEST_CONFIG, tmp_path / "out")
        assert words in str(refusal.value)
    assert not (tmp_path / "out").exists()

    # A configuration without keys: its engine would never look at a signature.
    config = json.loads(TEST_CONFIG.read_text())
    del config["metaSigningKeys"]
    plain = tmp_path / "plain.json"
    plain.write_text(json.dumps(config))
    with pytest.raises(Refused, match="lists no metaSigningKeys"):
        publish(Release("quill", "1.4.2", package, signing_key=TEST_KEY), plain, tmp_path / "out")

    # Going back in sequence, or over a tree whose sequence cannot be read.
    out = tmp_path / "tree"
    publish(Release("quill", "1.4.2", package, signing_key=TEST_KEY, sequence=9), TEST_CONFIG, out)
    with pytest.raises(Refused, match="lower than the published 9"):
        publish(Release("quill", "1.4.3", package, signing_key=TEST_KEY, sequence=8), TEST_CONFIG, out)
    directory = signed_tree(out)[0]
    (directory / "meta.json").write_text('{"sequence": "9"}')
    with pytest.raises(Refused, match="not an unsigned integer"):
        publish(Release("quill", "1.4.3", package, signing_key=TEST_KEY), TEST_CONFIG, out)


def test_command_line_signs_and_warns_when_an_unsigned_tree_would_be_refused(tmp_path, package, capsys):
    common = ["--config", str(TEST_CONFIG), "--app", "quill", "--version", "1.4.2", "--package", str(package),
              "--out", str(tmp_path / "out")]
    assert publish_cdn.main(common) == 0
    assert "refuses this unsigned meta.json" in capsys.readouterr().err
    assert publish_cdn.main([*common, "--signing-key", str(TEST_KEY), "--valid-for", "1"]) == 0
    assert "meta.json.sig" in capsys.readouterr().out
    _, data, meta, signature = signed_tree(tmp_path / "out")
    assert meta["sequence"] == 1 and meta_signing.verify(data, signature, CONFIG_KEY)


def test_key_tool_makes_a_private_key_once_and_prints_its_public_key(tmp_path, package, capsys):
    key = tmp_path / "release.pem"
    assert make_signing_key.main(["--out", str(key)]) == 0
    printed = capsys.readouterr()
    public = printed.out.strip()
    assert f'"metaSigningKeys": ["{public}"]' in printed.err
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    assert len(base64.b64decode(public)) == 65 and base64.b64decode(public)[0] == 4

    assert make_signing_key.main(["--out", str(key)]) == 1
    assert "never overwritten" in capsys.readouterr().err
    assert make_signing_key.main(["--public-of", str(key)]) == 0
    assert capsys.readouterr().out.strip() == public

    # A configuration listing it (beside the old key, as in a rotation) accepts its signature.
    config = json.loads(TEST_CONFIG.read_text())
    config["metaSigningKeys"] = [CONFIG_KEY, public]
    rotated = tmp_path / "rotated.json"
    rotated.write_text(json.dumps(config))
    publish(Release("quill", "1.4.2", package, signing_key=key), rotated, tmp_path / "out")
    _, data, _, signature = signed_tree(tmp_path / "out")
    assert meta_signing.verify(data, signature, public) and not meta_signing.verify(data, signature, CONFIG_KEY)
