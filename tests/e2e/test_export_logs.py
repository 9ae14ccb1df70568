"""`export-logs` on the real exe under Wine: the engine collects the worker, launcher,
silent and legacy log folders of the prefix into a zip written by the PowerShell
stand-in's Compress-Archive (a stored zip), with a manifest of what it took from
where and a digest of every [WARN/[ERROR line of the collected installer.log files.

What Wine cannot show here:
  - a folder without read access: every Wine process is elevated and Wine ignores
    access lists on the Unix file system, so "could not read" is left to unit tests
    (tests/unit/log_export_test.cpp), as is the LocalSystem temporary root;
  - real compression: the stand-in stores the files uncompressed.
"""

import dataclasses
import os
import re
import shutil
import subprocess
import time
import zipfile
from pathlib import Path
from typing import Dict

import pytest

import codesign  # tests/servers, on the path through conftest.py
from install_fixtures import PrefixFolders, build_app_msi, check_event_stream, publish, uninstall
from packages import QUILL

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10")

RUN_TIMEOUT = 300
NO_LINES = "\nNo WARN or ERROR lines were logged.\n"
SECTION = re.compile(r"^--- (.+) \((\d+) line\(s\)\) ---$")


@pytest.fixture(scope="module")
def folders(wine) -> PrefixFolders:
    return PrefixFolders(wine.temp_dir().parent)


@pytest.fixture(scope="module")
def machine_logs(wine) -> Path:
    return wine.prefix / "drive_c" / "ProgramData" / "Yoxa" / "YoxaOffice" / "logs"


@pytest.fixture(scope="module")
def quill(tmp_path_factory):
    codesign.osslsigncode()  # fails with the package to install when it is missing
    root = tmp_path_factory.mktemp("export-logs-package")
    pki = codesign.generate(root / "pki")
    built = build_app_msi(QUILL, "1.4.2", root / "quill")
    return dataclasses.replace(built, path=codesign.sign(built.path, pki.yoxa, root / "quill-1.4.2-signed.msi"))


@pytest.fixture
def no_logs(wine, folders, machine_logs):
    """Every log source of the prefix empty before the test."""

    def clear():
        for directory in (folders.user_logs, machine_logs, folders.launcher_logs):
            shutil.rmtree(directory, ignore_errors=True)
        for entry in folders.user.joinpath("Temp").glob("YoxaOffice*-*"):
            shutil.rmtree(entry, ignore_errors=True)

    clear()
    yield
    clear()


def host_path(wine, windows_path: str) -> Path:
    """The host file behind a Windows path of the prefix (the C: drive or the Z: drive)."""
    drive, rest = windows_path[:2].upper(), windows_path[3:].replace("\\", "/")
    if drive == "Z:":
        return Path("/") / rest
    assert drive == "C:", windows_path
    return wine.prefix / "drive_c" / rest


def export(engine, wine, *args: str):
    """Runs export-logs; its stream checked, the zip's host path and its members by name."""
    code, out, err = engine("export-logs", *args, timeout=180)
    events = check_event_stream(out, code)
    assert code == 0, (events, err.decode(errors="replace"))
    assert [e["type"] for e in events] == ["export-logs-result", "done"]
    result, done = events
    assert result["errorCode"] is None and result["path"].endswith(".zip"), result
    assert done["action"] == "export-logs" and done["results"] == []
    zip_path = host_path(wine, result["path"])
    with zipfile.ZipFile(zip_path) as bundle:
        assert bundle.testzip() is None
        members = {name: bundle.read(name) for name in bundle.namelist()}
    return result["path"], zip_path, members


def warn_error_lines(data: bytes) -> int:
    return sum(1 for line in data.decode("utf-8").split("\n") if line.startswith(("[WARN", "[ERROR")))


def digest_sections(text: str) -> Dict[str, int]:
    return {m.group(1): int(m.group(2)) for m in map(SECTION.match, text.split("\n")) if m}


def test_export_after_an_install_run_lists_the_sources_and_digests_their_warnings(
        wine, engine, cdn, quill, folders, no_logs, tmp_path):
    publish(cdn, quill)
    try:
        code, out, _ = engine("run", "--action", "install", "--apps", "quill", timeout=RUN_TIMEOUT)
        check_event_stream(out, code)
    finally:
        uninstall(wine, [quill])
    # A silent run's folder and one of an older build beside the worker and launcher logs.
    silent = folders.user / "Temp" / "YoxaOfficeSilent-4242"
    silent.mkdir(parents=True)
    (silent / "installer.log").write_bytes(b"[INFO  00:00.001] start\r\n[WARN  00:00.002] slow\r\n"
                                           b"[ERROR 00:00.003] failed\r\n")
    (silent / "installer.log.1").write_bytes(b"[ERROR 00:00.000] rotated, not digested\n")
    legacy = folders.user / "Temp" / "YoxaOffice-old"
    legacy.mkdir()
    (legacy / "installer.log").write_bytes(b"[WARN  00:00.001] from an older build\n")
    # An older one whose log is not text: collected, but left out of the digest.
    binary = folders.user / "Temp" / "YoxaOffice-binary"
    binary.mkdir()
    (binary / "installer.log").write_bytes(b"[WARN \xff\xfe\x00" + bytes(range(256)) * 4096)
    os.utime(binary, (time.time() - 3600, time.time() - 3600))
    out_dir = tmp_path / "support's bundle"

    windows_zip, zip_path, members = export(engine, wine, "--out", wine.windows_path(out_dir))

    assert zip_path.parent == out_dir and re.fullmatch(r"YoxaOfficeInstaller-logs-\d{8}-\d{6}\.zip", zip_path.name)
    manifest = members["manifest.txt"].decode("utf-8")
    assert manifest.startswith("Yoxa Office Apps Installer \u2014 log bundle\n" + "=" * 41 + "\n\n"), manifest
    # Every Wine process is elevated, and an elevated worker logs in the machine base whatever
    # the run's scope, so the user folder is the one left empty.
    for label in ("machine", "launcher", "silent", "legacy", "legacy1"):
        assert re.search(rf"^\[included\] .*\\installer\.log -> {label}-installer\.log \(\d+ bytes\)$", manifest,
                         re.M), (label, manifest)
        assert f"{label}-installer.log" in members
    assert re.search(r"^\[skipped\] .*\\AppData\\Local\\Yoxa\\YoxaOffice\\logs \(per-user install/uninstall worker "
                     r"\(default scope\)\) \u2014 directory does not exist$", manifest, re.M), manifest
    assert "(silent / MDM run (YoxaOfficeSilent-4242))" not in manifest  # it had files, so no [empty] line
    assert "silent-installer.log.1" in members
    included = len(re.findall(r"^\[included\] ", manifest, re.M))
    assert f"\nFiles included:   {included}\n" in manifest
    assert len(members) == included + 2

    digest = members["error-summary.txt"].decode("utf-8")
    expected = {name: warn_error_lines(data) for name, data in members.items()
                if name.endswith("installer.log") and name != "legacy1-installer.log"}
    assert digest_sections(digest) == {name: count for name, count in expected.items() if count}, digest
    assert digest_sections(digest)["silent-installer.log"] == 2
    assert digest_sections(digest)["legacy-installer.log"] == 1
    assert "rotated, not digested" not in digest
    assert "legacy1-installer.log" in members and "legacy1-installer.log" not in digest
    # The export's own staging folder is gone, and it never collected itself.
    assert not list(folders.user.joinpath("Temp").glob("YoxaOffice-logexport-*"))
    assert "logexport" not in manifest


def test_export_without_out_lands_on_the_desktop(wine, engine, folders, no_logs):
    windows_zip, zip_path, members = export(engine, wine)
    try:
        assert re.fullmatch(r"C:\\users\\[^\\]+\\Desktop\\YoxaOfficeInstaller-logs-\d{8}-\d{6}\.zip", windows_zip,
                            re.I), windows_zip
        assert {"manifest.txt", "error-summary.txt", "launcher-installer.log"} <= set(members)
    finally:
        zip_path.unlink()


def test_a_digest_without_warnings_ends_with_the_no_lines_sentence(wine, engine, folders, no_logs, tmp_path):
    folders.user_logs.mkdir(parents=True)
    (folders.user_logs / "installer.log").write_bytes(b"[INFO  00:00.001] all good\n")
    _, _, members = export(engine, wine, "--out", wine.windows_path(tmp_path))
    digest = members["error-summary.txt"].decode("utf-8")
    assert digest.endswith("the complete logs are alongside it.\n" + NO_LINES), digest


def test_a_locked_log_is_skipped_and_named(wine, engine, support_exe, folders, no_logs, tmp_path):
    folders.user_logs.mkdir(parents=True)
    (folders.user_logs / "installer.log").write_bytes(b"[WARN  00:00.001] still collected\n")
    held = folders.user_logs / "held.log"
    locker = subprocess.Popen([wine.wine, str(support_exe("file_locker.exe")), wine.windows_path(held)],
                              env=wine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        assert locker.stdout.readline().strip() == b"locked"
        _, _, members = export(engine, wine, "--out", wine.windows_path(tmp_path))
    finally:
        locker.stdin.close()
        locker.wait(timeout=60)
    manifest = members["manifest.txt"].decode("utf-8")
    assert re.search(r"^\[skipped\] .*\\logs\\held\.log \u2014 copy failed: .+$", manifest, re.M), manifest
    assert "user-held.log" not in members
    assert digest_sections(members["error-summary.txt"].decode("utf-8")) == {"user-installer.log": 1}


def test_a_destination_with_a_non_ascii_name_comes_back_unchanged(wine, engine, folders, no_logs, tmp_path):
    # PowerShell's redirected output is in the console code page unless the runner asks for
    # UTF-8: "José" would come back as "Jos\ufffd" and name no file.
    destination = tmp_path / "José" / "support"
    windows_zip, zip_path, members = export(engine, wine, "--out", wine.windows_path(destination))
    assert windows_zip.startswith(wine.windows_path(destination) + "\\"), windows_zip
    assert zip_path.parent == destination and zip_path.is_file()
    assert "manifest.txt" in members


def test_an_archive_that_was_not_written_fails_and_keeps_the_staged_logs(wine, engine, folders, no_logs, tmp_path):
    # A file where the destination folder should be: New-Item and Compress-Archive fail, but
    # Windows PowerShell goes on, prints the zip's path and exits with 0.
    folders.user_logs.mkdir(parents=True)
    (folders.user_logs / "installer.log").write_bytes(b"[WARN  00:00.001] the only copy\n")
    blocker = tmp_path / "not-a-folder"
    blocker.write_bytes(b"a file")
    code, out, err = engine("export-logs", "--out", wine.windows_path(blocker), timeout=180)
    events = check_event_stream(out, code)
    assert code == 2, (events, err.decode(errors="replace"))
    result, done = events
    assert result["type"] == "export-logs-result" and result["path"] is None and result["errorCode"], result
    assert done["action"] == "export-logs" and done["exitCode"] == 2, done
    staged = list(folders.user.joinpath("Temp").glob("YoxaOffice-logexport-*"))
    assert len(staged) == 1, staged
    assert (staged[0] / "user-installer.log").read_bytes() == b"[WARN  00:00.001] the only copy\n"
    assert (staged[0] / "manifest.txt").is_file()
    assert blocker.read_bytes() == b"a file"
