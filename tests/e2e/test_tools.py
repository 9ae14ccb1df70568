"""The release engineer's and the administrator's tools against the real engine
under Wine: a CDN tree written by tools/publish_cdn.py is what the engine installs
from, and tools/launcher.py, in a terminal (tmux), shows that install as progress
bars and a results table."""

import dataclasses
import os
import shlex
import shutil
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

import codesign  # tests/servers, on the path through conftest.py
from cdn import REPO_ROOT, TEST_SIGNING_KEY, next_sequence
from install_fixtures import PrefixFolders, build_app_msi, check_event_stream, of_type, results_by_app, uninstall
from packages import QUILL

sys.path.insert(0, str(REPO_ROOT / "tools"))
from publish_cdn import Release, publish  # noqa: E402

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10")

TEST_CONFIG = REPO_ROOT / "config" / "installer_config.test.json"
QUILL_PATH = r"C:\Program Files\Yoxa Quill\YoxaQuill.exe"
RUN_TIMEOUT = 300


@pytest.fixture(scope="module")
def quill(tmp_path_factory):
    """quill 1.4.2, signed as the engine's publisher."""
    codesign.osslsigncode()
    root = tmp_path_factory.mktemp("tools-packages")
    signing = codesign.generate(root / "pki")
    built = build_app_msi(QUILL, "1.4.2", root / "quill")
    signed = codesign.sign(built.path, signing.yoxa, root / "quill-signed.msi")
    return dataclasses.replace(built, path=signed)


@pytest.fixture
def published_quill(wine, cdn, quill):
    """quill published by the publisher into the CDN's document root; uninstalled and
    the engine's folders removed before and after (an elevated worker, as every Wine one is,
    stages in the machine base)."""
    folders = PrefixFolders(wine.temp_dir().parent)
    for base in (folders.user_base, folders.machine_base):
        shutil.rmtree(base, ignore_errors=True)
    # Signed, as the test configuration's engine requires; the sequence continues the
    # session's, which the prefix remembers.
    release = Release("quill", quill.version, quill.path, notes=["Tables in documents"], date="2026-11-30",
                      signing_key=TEST_SIGNING_KEY, sequence=next_sequence())
    published = publish(release, TEST_CONFIG, cdn.root)
    yield published
    uninstall(wine, [quill])
    if not os.environ.get("YOXA_E2E_KEEP_PREFIX"):
        for base in (folders.user_base, folders.machine_base):
            shutil.rmtree(base, ignore_errors=True)


def test_engine_installs_from_the_published_tree_and_reads_its_release_notes(engine, cdn, published_quill):
    assert published_quill.meta_url == cdn.package_dir_url("quill", "msi") + "/meta.json"

    code, out, _ = engine("check-updates", "--apps", "quill", timeout=120)
    latest = check_event_stream(out, code)[1]["apps"][0]
    assert code == 0
    assert latest["latestVersion"] == "1.4.2" and latest["sizeBytes"] == published_quill.directory.joinpath(
        "quill-1.4.2.msi").stat().st_size
    assert latest["releaseNotes"] == [{"version": "1.4.2", "date": "2026-11-30", "notes": ["Tables in documents"]}]

    code, out, err = engine("run", "--action", "install", "--apps", "quill", timeout=RUN_TIMEOUT)
    events = check_event_stream(out, code)
    assert code == 0, err.decode(errors="replace")
    result = results_by_app(events)["quill"]
    assert (result["status"], result["installedVersion"], result["installedPath"]) == ("installed", "1.4.2",
                                                                                        QUILL_PATH)
    # The package was checked against the published digest.
    assert of_type(events, "stage", "quill")[1]["stage"] == "verify"


# -- the terminal launcher ------------------------------------------------------------------------

class Tmux:
    """A tmux server of this test alone (its own socket), with one pane."""

    def __init__(self, work: Path):
        self.tmux = shutil.which("tmux")
        self.socket = f"yoxa-launcher-{uuid.uuid4().hex[:8]}"
        self.work = work

    def _call(self, *args: str, **kwargs) -> subprocess.CompletedProcess:
        return subprocess.run([self.tmux, "-L", self.socket, *args], capture_output=True, text=True, timeout=30,
                              **kwargs)

    def start(self, script: Path) -> None:
        started = self._call("new-session", "-d", "-x", "132", "-y", "50", "-s", "launcher", f"bash {script}")
        assert started.returncode == 0, started.stderr

    def screen(self) -> str:
        return self._call("capture-pane", "-p", "-J", "-S", "-200", "-t", "launcher").stdout

    def wait_for(self, text: str, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            screen = self.screen()
            if text in screen:
                return screen
            time.sleep(0.5)
        raise AssertionError(f"{text!r} did not appear within {timeout} s:\n{self.screen()}")

    def stop(self) -> None:
        self._call("kill-server")


@pytest.fixture
def tmux(tmp_path):
    if not shutil.which("tmux"):
        pytest.skip("tmux is not installed; run scripts/install-deps.sh")
    terminal = Tmux(tmp_path)
    yield terminal
    terminal.stop()


def test_launcher_shows_the_install_as_bars_and_a_results_table(wine, windows_build, tmux, tmp_path,
                                                                published_quill):
    exe = windows_build / "YoxaOfficeInstaller.exe"
    launcher = REPO_ROOT / "tools" / "launcher.py"
    environment = " ".join(f"{key}={shlex.quote(value)}" for key, value in wine.env.items()
                           if key.startswith(("WINE", "LC_")) or key in ("PATH", "HOME"))
    script = tmp_path / "launch.sh"
    script.write_text(
        f"export {environment} TERM=xterm-256color COLUMNS=132\n"
        f"/usr/bin/python3 {shlex.quote(str(launcher))} --engine {shlex.quote(str(exe))} "
        f"run --action install --apps quill\n"
        "echo \"launcher ended $?\"\n"
        "sleep 600\n")
    tmux.start(script)
    screen = tmux.wait_for("launcher ended", RUN_TIMEOUT)

    lines = screen.splitlines()
    bar = next((line for line in lines if line.startswith("quill") and "━" in line), None)
    assert bar is not None, screen
    assert "install" in bar and "installed" in bar and "100%" in bar, bar
    assert "MiB" in bar or "KiB" in bar, f"no sizes on the bar: {bar}"
    table = "\n".join(lines[lines.index(next(l for l in lines if "Results" in l)):])
    assert "quill" in table and "installed" in table and "1.4.2" in table and QUILL_PATH in table, table
    assert "Exit code 0" in screen and "launcher ended 0" in screen, screen
