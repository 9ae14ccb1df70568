"""The publisher's refusals and the tree it writes (the engine reading that tree
under Wine is tests/e2e/test_publish_cdn.py)."""

import hashlib
import json
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tools"))

import publish_cdn  # noqa: E402
from publish_cdn import Refused, Release, publish  # noqa: E402

TEST_CONFIG = REPO_ROOT / "config" / "installer_config.test.json"
PACKAGE_BYTES = b"MSI package bytes"


@pytest.fixture
def package(tmp_path) -> Path:
    path = tmp_path / "quill.msi"
    path.write_bytes(PACKAGE_BYTES)
    return path


def package_dir(out: Path, app: str, fmt: str) -> Path:
    return out / "officesuite" / "apps" / "default" / app / "windows" / "x64" / fmt / "latest"


def test_writes_the_tree_the_engine_reads(tmp_path, package):
    out = tmp_path / "upload"
    published = publish(Release("quill", "1.4.2", package, notes=["Faster start", "Fixes"], date="2026-12-01"),
                        TEST_CONFIG, out)
    directory = package_dir(out, "quill", "msi")
    assert published.directory == directory
    assert published.meta_url == ("https://localhost:47443/officesuite/apps/default/quill/windows/x64/msi/latest/"
                                  "meta.json")
    assert (directory / "quill-1.4.2.msi").read_bytes() == PACKAGE_BYTES
    meta = json.loads((directory / "meta.json").read_text())
    assert meta["version"] == "1.4.2" and meta["destination"] == "quill-1.4.2.msi"
    assert meta["size"] == len(PACKAGE_BYTES) and meta["sha256"] == hashlib.sha256(PACKAGE_BYTES).hexdigest()
    assert "dependencies" not in meta
    notes = json.loads((directory / "release-notes.json").read_text())
    assert notes["releases"] == [{"version": "1.4.2", "date": "2026-12-01", "notes": ["Faster start", "Fixes"]}]
    assert sorted(p.name for p in directory.iterdir()) == ["meta.json", "quill-1.4.2.msi", "release-notes.json"]


def test_msix_app_lists_its_dependencies(tmp_path):
    abacus = tmp_path / "abacus.msix"
    abacus.write_bytes(b"msix")
    framework = tmp_path / "Microsoft.VCLibs.140.00_x64.appx"
    framework.write_bytes(b"framework")
    runtime = tmp_path / "runtime-setup.exe"
    runtime.write_bytes(b"exe")
    dependencies = [publish_cdn.framework_dependency(framework),
                    publish_cdn.chained_dependency(f"Yoxa.Runtime={runtime}", "/quiet /norestart")]
    publish(Release("abacus", "2.0.0", abacus, dependencies=dependencies), TEST_CONFIG, tmp_path / "out")
    directory = package_dir(tmp_path / "out", "abacus", "msix")
    meta = json.loads((directory / "meta.json").read_text())
    assert meta["destination"] == "abacus-2.0.0.msix"
    assert meta["dependencies"] == [
        {"identity": "Microsoft.VCLibs.140.00", "token": "vclibs", "arch": "x64", "minVersion": "14.0.33519.0",
         "version": "14.0.33519.0", "destination": framework.name, "size": 9,
         "checksum": hashlib.sha256(b"framework").hexdigest(), "checksumAlgorithm": "sha256"},
        {"identity": "Yoxa.Runtime", "kind": "chainedInstaller", "destination": "runtime-setup.exe", "size": 3,
         "checksum": hashlib.sha256(b"exe").hexdigest(), "checksumAlgorithm": "sha256",
         "installArgs": "/quiet /norestart"},
    ]
    assert (directory / framework.name).read_bytes() == b"framework"


@pytest.mark.parametrize("first, second", [("setup.exe", "SETUP.EXE"), ("setup.exe", "setup.exe.part"),
                                           ("setup.exe.part", "Setup.exe")])
def test_refuses_dependency_files_the_engine_would_stage_over_each_other(tmp_path, first, second):
    abacus = tmp_path / "abacus.msix"
    abacus.write_bytes(b"msix")
    paths = []
    for index, name in enumerate((first, second)):
        folder = tmp_path / f"d{index}"
        folder.mkdir()
        (folder / name).write_bytes(name.encode())
        paths.append(folder / name)
    dependencies = [publish_cdn.chained_dependency(f"Yoxa.Runtime{index}={path}", None)
                    for index, path in enumerate(paths)]
    with pytest.raises(Refused, match="clashes with the dependency file") as refusal:
        publish(Release("abacus", "2.0.0", abacus, dependencies=dependencies), TEST_CONFIG, tmp_path / "out")
    assert repr(second) in str(refusal.value) and repr(first) in str(refusal.value)
    assert not (tmp_path / "out").exists()


def test_every_dependency_record_carries_a_sha256_checksum(tmp_path):
    """An elevated engine refuses a dependency without one."""
    abacus = tmp_path / "abacus.msix"
    abacus.write_bytes(b"msix")
    files = []
    for name in ("Microsoft.VCLibs.140.00_x64.appx", "Microsoft.WindowsAppRuntime.1.8_x64.msix"):
        (tmp_path / name).write_bytes(name.encode())
        files.append(publish_cdn.framework_dependency(tmp_path / name))
    (tmp_path / "redist.exe").write_bytes(b"")  # even an empty file has a digest
    files.append(publish_cdn.chained_dependency(f"Yoxa.Redist={tmp_path / 'redist.exe'}", None))
    publish(Release("abacus", "2.0.0", abacus, dependencies=files), TEST_CONFIG, tmp_path / "out")
    meta = json.loads((package_dir(tmp_path / "out", "abacus", "msix") / "meta.json").read_text())
    assert len(meta["dependencies"]) == 3
    for record in meta["dependencies"]:
        data = (tmp_path / record["destination"]).read_bytes()
        assert record["checksum"] == hashlib.sha256(data).hexdigest() and record["checksumAlgorithm"] == "sha256"


REFUSALS = [
    # (release overrides, words the message must hold)
    ({"version": "1.0/../2"}, "version"),
    ({"version": "1..2"}, '".."'),
    ({"version": "1:2"}, "Windows forbids"),
    ({"version": "1.0\x85"}, "control character"),
    ({"version": "1.0\n"}, "control character"),
    ({"version": ""}, "empty"),
    ({"destination": "sub/quill.msi"}, "path separator"),
    ({"destination": "sub\\quill.msi"}, "path separator"),
    ({"destination": "..quill.msi"}, '".."'),
    ({"destination": "C:quill.msi"}, "drive"),
    ({"destination": "quill?.msi"}, "Windows forbids"),
    ({"destination": "quill.msi."}, "dot or a blank"),
    ({"destination": "quill 1.msi"}, "download URL"),
    ({"destination": "quill#1.msi"}, "download URL"),
    ({"destination": "NUL.msi"}, "device name"),
    ({"destination": "meta.json"}, "metadata document"),
    ({"expected_size": len(PACKAGE_BYTES) + 1}, "not the stated"),
    ({"expected_sha256": "0" * 64}, "not the stated"),
    ({"expected_sha256": "abc"}, "64 hex digits"),
    ({"app_id": "notes"}, "not a Windows app"),
    ({"notes": ["x" * 300000]}, "engine reads only"),
    ({"alternate_download_url": "http://cdn/quill.msi"}, "https://"),
]


@pytest.mark.parametrize("overrides, words", REFUSALS, ids=[repr(o) for o, _ in REFUSALS])
def test_refuses_what_the_engine_would_refuse_and_writes_nothing(tmp_path, package, overrides, words):
    release = Release(**{"app_id": "quill", "version": "1.4.2", "package": package, **overrides})
    with pytest.raises(Refused, match=None) as refusal:
        publish(release, TEST_CONFIG, tmp_path / "out")
    assert words in str(refusal.value)
    assert not (tmp_path / "out").exists()


def test_refuses_dependencies_of_a_non_msix_app_and_unknown_frameworks(tmp_path, package):
    framework = tmp_path / "Microsoft.WindowsAppRuntime.1.8_x64.msix"
    framework.write_bytes(b"f")
    with pytest.raises(Refused, match="only MSIX apps"):
        publish(Release("quill", "1.4.2", package, dependencies=[publish_cdn.framework_dependency(framework)]),
                TEST_CONFIG, tmp_path / "out")
    with pytest.raises(Refused, match="not a framework package"):
        publish_cdn.framework_dependency(tmp_path / "Other.appx")


@pytest.mark.parametrize("document, words", [
    ('{"releases": [{"version": "1", "notes": ["a"]}], "releases": []}', "twice"),
    ('{"releases": [{"version": "1"}]}', "notes"),
    ('{"releases": [{"version": 1, "notes": []}]}', "version"),
    ('{"product": "x"}', "releases"),
    ('{"releases": []} trailing', "not valid JSON"),
])
def test_refuses_release_notes_the_engine_cannot_parse(tmp_path, package, document, words):
    notes = tmp_path / "notes.json"
    notes.write_text(document)
    with pytest.raises(Refused) as refusal:
        publish(Release("quill", "1.4.2", package, release_notes_file=notes), TEST_CONFIG, tmp_path / "out")
    assert words in str(refusal.value)


def test_refuses_configuration_segments_that_would_leave_the_output(tmp_path, package):
    config = json.loads(TEST_CONFIG.read_text())
    config["flavour"] = "../../elsewhere"
    bad = tmp_path / "config.json"
    bad.write_text(json.dumps(config))
    with pytest.raises(Refused, match="flavour"):
        publish(Release("quill", "1.4.2", package), bad, tmp_path / "out")


def test_command_line_reports_a_refusal_and_exits_1(tmp_path, package, capsys):
    code = publish_cdn.main(["--config", str(TEST_CONFIG), "--app", "quill", "--version", "1.4.2",
                             "--package", str(package), "--out", str(tmp_path / "out"), "--size", "1"])
    assert code == 1
    assert "refused: the package" in capsys.readouterr().err
    assert publish_cdn.main(["--config", str(TEST_CONFIG), "--app", "quill", "--version", "1.4.2",
                             "--package", str(package), "--out", str(tmp_path / "out")]) == 0
    assert "meta.json" in capsys.readouterr().out
    assert publish_cdn.main(["--config", str(TEST_CONFIG), "--app", "quill", "--version", "1.5.0-beta",
                             "--package", str(package), "--out", str(tmp_path / "out")]) == 0
    assert "never offer it as an update" in capsys.readouterr().err
