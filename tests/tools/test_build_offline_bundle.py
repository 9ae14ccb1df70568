"""The offline bundle writer: its refusals, and its layouts read back byte by byte
(the engine reading them under Wine is tests/e2e/test_offline_install.py)."""

import hashlib
import json
import struct
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tools"))

from build_offline_bundle import Package, Refused, build_bundle, build_sfx, main  # noqa: E402

QUILL = b"quill msi bytes"
ABACUS = b"abacus msix bytes!"


def pe_engine(path: Path, certificate: bool = False) -> Path:
    image = bytearray(1024)
    image[0:2] = b"MZ"
    image[0x3C:0x40] = struct.pack("<I", 0x80)
    image[0x80:0x84] = b"PE\0\0"
    image[0x80 + 24:0x80 + 26] = struct.pack("<H", 0x20B)
    if certificate:
        image[0x80 + 24 + 112 + 32:0x80 + 24 + 112 + 40] = struct.pack("<II", 1000, 24)
    path.write_bytes(bytes(image))
    return path


@pytest.fixture
def packages(tmp_path):
    (tmp_path / "quill.msi").write_bytes(QUILL)
    (tmp_path / "abacus.MSIX").write_bytes(ABACUS)
    return [Package("quill", tmp_path / "quill.msi", "2.0.1"), Package("abacus", tmp_path / "abacus.MSIX", "5.1")]


def segments_at(data: bytes, table_start: int, count: int):
    return [struct.unpack_from("<QQ", data, table_start + 16 * i) for i in range(count)]


def test_sfx_is_engine_packages_manifest_trailer(tmp_path, packages):
    engine = pe_engine(tmp_path / "engine.exe")
    out = tmp_path / "offline.exe"
    build_sfx(engine, packages, out)
    data = out.read_bytes()
    assert data.startswith(engine.read_bytes())
    assert data[-88:-80] == b"YXFFPKG\0"
    segments = segments_at(data, len(data) - 80, 5)
    payload = lambda s: data[s[0]:s[0] + s[1]]  # noqa: E731
    assert payload(segments[0]) == QUILL
    assert payload(segments[1]) == ABACUS
    assert segments[2] == segments[3] == (0, 0)
    manifest = json.loads(payload(segments[4]))
    assert manifest == {
        "quill": {"version": "2.0.1", "size": len(QUILL), "sha256": hashlib.sha256(QUILL).hexdigest(),
                  "checksumAlgorithm": "sha256", "destination": "quill.msi"},
        "abacus": {"version": "5.1", "size": len(ABACUS), "sha256": hashlib.sha256(ABACUS).hexdigest(),
                   "checksumAlgorithm": "sha256", "destination": "abacus.MSIX"},
    }
    assert segments[4][0] + segments[4][1] == len(data) - 88


def test_bundle_footer_and_bundle_source(tmp_path, packages):
    out = tmp_path / "suite.bundle"
    build_bundle(packages, out, tmp_path, "C:\\Offline\\suite.bundle")
    data = out.read_bytes()
    assert data[-8:] == b"YXBUNDLE"
    count = struct.unpack_from("<I", data, len(data) - 12)[0]
    assert count == 7
    segments = segments_at(data, len(data) - 12 - 16 * 7, 7)
    assert segments[0] == segments[1] == segments[4] == segments[5] == (0, 0)
    assert data[segments[2][0]:sum(segments[2])] == QUILL
    assert data[segments[3][0]:sum(segments[3])] == ABACUS
    assert set(json.loads(data[segments[6][0]:sum(segments[6])])) == {"quill", "abacus"}
    assert (tmp_path / "bundle_source.txt").read_text() == "C:\\Offline\\suite.bundle"


@pytest.mark.parametrize("case, refusal", [
    ("signed engine", "already signed"),
    ("not an executable", "not a Windows executable"),
    ("bundled twice", "already carries offline packages"),
    ("wrong extension", "not a .msi package"),
    ("unknown app", "not an app of the engine"),
    ("twice", "given twice"),
    ("empty package", "is empty"),
    ("no version", "has no version"),
    ("nothing", "no packages given"),
])
def test_refusals_write_nothing(tmp_path, packages, case, refusal):
    engine = pe_engine(tmp_path / "engine.exe", certificate=case == "signed engine")
    if case == "not an executable":
        engine.write_bytes(b"#!/bin/sh\n")
    if case == "bundled twice":
        build_sfx(engine, packages, tmp_path / "first.exe")
        engine = tmp_path / "first.exe"
    chosen = list(packages)
    if case == "wrong extension":
        chosen = [Package("quill", packages[1].path, "1")]
    elif case == "unknown app":
        chosen = [Package("writer", packages[0].path, "1")]
    elif case == "twice":
        chosen = [packages[0], packages[0]]
    elif case == "empty package":
        (tmp_path / "empty.msi").write_bytes(b"")
        chosen = [Package("quill", tmp_path / "empty.msi", "1")]
    elif case == "no version":
        chosen = [Package("quill", packages[0].path, " ")]
    elif case == "nothing":
        chosen = []
    out = tmp_path / "out.exe"
    with pytest.raises(Refused, match=refusal):
        build_sfx(engine, chosen, out)
    assert not out.exists()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".bundling-")] == []


def test_command_line(tmp_path, packages, capsys):
    engine = pe_engine(tmp_path / "engine.exe")
    assert main(["--engine", str(engine), "--package", f"quill={packages[0].path}", "--version", "quill=2.0",
                 "--sfx", str(tmp_path / "o.exe")]) == 0
    assert main(["--engine", str(engine), "--package", f"quill={packages[0].path}",
                 "--sfx", str(tmp_path / "p.exe")]) == 1
    assert "needs one --version" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["--package", f"quill={packages[0].path}", "--version", "quill=2.0", "--sfx", str(tmp_path / "q.exe")])


def test_help_says_packages_for_elevated_installs_must_be_signed(capsys):
    with pytest.raises(SystemExit) as exit_code:
        main(["--help"])
    assert exit_code.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "Offline packages for elevated installs must be signed." in text
    assert "signed after it is written" in text
