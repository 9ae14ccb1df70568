"""Every runnable example of the guides for administrators, release engineers and support
staff (docs/administrators.md, docs/releasing.md, docs/support.md), run as the page
shows it, in page order, against the test CDN in a fresh Wine prefix per page; the
result the page states beside each example is checked. A page example that fails is a
failed test, so no page can drift from the engine.

What a page marks (the rest of a page is prose and tables):

  ```bat example      cmd.exe on the Windows machine, in D:\\ (the deployment share)
  ```sh example       bash on the release or support workstation, in the same folder
  ```sh ci            build commands: each line must be one that scripts/test-all.sh runs

A command block of these pages that is not marked fails the test: every command is run.

Inside an example, comment lines in the block's own language state its result, checked
after the block ran ("rem expect: ..." in cmd, "# expect: ..." in sh):

  exit N                      the block's exit code (that of its last command)
  output TEXT                 TEXT appears in what it printed (standard output and error)
  file PATH                   PATH exists (a glob; C:\\ and D:\\ paths, or relative to the folder)
  no file PATH                nothing matches PATH
  registry KEY\\VALUE = DATA   the registry value (64-bit view) holds DATA (a number for a DWORD)

The stage each page starts from, as the pages describe it:
  - D:\\ is a folder of the workstation (the Wine drive D:) holding YoxaOfficeInstaller.exe
    of the build under test (the test configuration: its CDN is the loopback nginx), the
    suite's signed packages (and the framework packages) in D:\\Media, and the checkout's tools/, config/ and protocol/;
  - the CDN serves the whole suite (quill 1.4.2, abacus 2.0.0.0, lumen 3.1.0.0, folio 3.0.1,
    with the frameworks the MSIX apps need) as tools/publish_cdn.py writes it;
  - the prefix trusts the test CA, has the PowerShell stand-in and the MSIX test subject
    interface package, and reports Windows 10;
  - sh examples see $BUILD (the Windows build directory), $SIGNING_CHAIN and $SIGNING_KEY (the
    suite's code-signing certificate chain and key), $SIGNING_CA (its CA), $CONFIG and $META_KEY
    (the test configuration and the key that signs its meta.json) and $CDN_ORIGIN (the CDN's
    document root), and run Windows programs under the page's prefix.

What Wine cannot show (see tests/e2e/test_silent.py): LocalSystem, a declined UAC prompt and
an unelevated process; examples of those are not marked and stay prose.
"""

import glob
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import List

import pytest

from cdn import REPO_ROOT, TEST_SIGNING_KEY
from conftest import WineSession, _require_file, _winecfg, register_msix_sip
import suite_release

PAGES = ["administrators.md", "releasing.md", "support.md"]
DOCS = REPO_ROOT / "docs"
EXAMPLE_TIMEOUT = 600
FENCE = re.compile(r"^```(bat|sh) (example|ci)[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)
COMMAND_LANGUAGES = {"bat", "cmd", "batch", "sh", "bash", "shell", "console", "powershell", "ps1", "pwsh"}
EXPECT = {"bat": re.compile(r"^\s*rem expect:\s*(.*?)\s*$", re.I), "sh": re.compile(r"^\s*# expect:\s*(.*?)\s*$")}


@dataclass
class Example:
    page: str
    line: int  # of the opening fence
    language: str  # "bat" or "sh"
    kind: str  # "example" or "ci"
    text: str
    expectations: List[str] = field(default_factory=list)

    @property
    def where(self) -> str:
        return f"docs/{self.page}:{self.line}"


def page_examples(page: str) -> List[Example]:
    text = (DOCS / page).read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        language, kind, body = match.groups()
        example = Example(page, text.count("\n", 0, match.start()) + 1, language, kind, body)
        for line in body.splitlines():
            stated = EXPECT[language].match(line)
            if stated:
                example.expectations.append(stated.group(1))
        found.append(example)
    return found


@pytest.mark.parametrize("page", PAGES)
def test_every_example_states_its_result(page):
    examples = page_examples(page)
    assert [e for e in examples if e.kind == "example"], f"docs/{page} has no marked example"
    # A command block that is not marked would never run: every one must be.
    text = (DOCS / page).read_text(encoding="utf-8")
    fences = re.findall(r"^```(.*)$", text, re.M)[::2]
    unmarked = [f for f in fences if f.split()[:1] and f.split()[0] in COMMAND_LANGUAGES
                and f.split()[1:] not in (["example"], ["ci"])]
    assert not unmarked, f"docs/{page} has command blocks the test does not run: {unmarked}"
    for example in examples:
        if example.kind == "example":
            assert any(e.startswith("exit ") for e in example.expectations), f"{example.where}: no exit code stated"
        for stated in example.expectations:
            assert re.fullmatch(r"exit \d+|output .+|(no )?file .+|registry .+\\[^\\]+ = .*", stated), (
                f"{example.where}: cannot read the expectation {stated!r}")


def test_build_commands_are_the_ones_ci_runs():
    ci = [line.strip() for line in (REPO_ROOT / "scripts" / "test-all.sh").read_text().splitlines()]
    for page in PAGES:
        for example in (e for e in page_examples(page) if e.kind == "ci"):
            for command in example.text.splitlines():
                command = command.strip()
                if command and not command.startswith("#"):
                    assert any(line.startswith(command) for line in ci), (
                        f"{example.where}: {command!r} is not a command scripts/test-all.sh runs")


# -- the stage ------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def suite(tmp_path_factory) -> suite_release.Suite:
    return suite_release.build_suite(tmp_path_factory.mktemp("guides-suite"))


class Stage:
    """A fresh prefix with D:\\ mapped to a folder of its own, and the CDN with the suite."""

    def __init__(self, windows_build: Path, cdn, test_pki, suite: suite_release.Suite):
        tools = {name: shutil.which(name) for name in ("wine", "wineserver")}
        if not all(tools.values()):
            pytest.skip("Wine is not installed; skipping the guides' examples")
        support = windows_build / "tests" / "support"
        _require_file(support / "runexit.exe", "runexit.exe")
        _require_file(windows_build / "YoxaOfficeInstaller.exe", "YoxaOfficeInstaller.exe")
        self.root = Path(tempfile.mkdtemp(prefix="yoxa-guides-"))
        self.session = WineSession(tools["wine"], tools["wineserver"], support / "runexit.exe", self.root)
        self.share = self.root / "share"
        self.cdn = cdn
        self.session.start()
        drive_c = self.session.prefix / "drive_c"
        self.share.mkdir()
        drive_d = self.session.prefix / "dosdevices" / "d:"
        if drive_d.is_symlink() or drive_d.exists():
            drive_d.unlink()
        drive_d.symlink_to(self.share)
        shutil.copyfile(windows_build / "YoxaOfficeInstaller.exe", self.share / "YoxaOfficeInstaller.exe")
        media = self.share / "Media"
        media.mkdir()
        for package in (suite.quill, suite.quill_newer, suite.folio):
            shutil.copyfile(package.path, media / package.path.name)
        for built in suite.msix.values():
            shutil.copyfile(built.path, media / built.path.name)
        for framework in suite.frameworks.values():
            shutil.copyfile(framework, media / framework.name)
        for name in ("tools", "config", "protocol"):
            (self.share / name).symlink_to(REPO_ROOT / name)

        assert self.session.run(support / "certtrust.exe", "add",
                                self.session.windows_path(test_pki.trusted.ca_der)).code == 0
        powershell = drive_c / "windows" / "system32" / "WindowsPowerShell" / "v1.0"
        powershell.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(support / "powershell_standin.exe", powershell / "powershell.exe")
        suite_release.prepare_msix_prefix(powershell, suite)
        register_msix_sip(self.session, support / "msix_sip.dll")
        _winecfg(self.session, "/v", "win10")
        suite_release.publish_suite(suite, cdn.root)

        self.scripts = drive_c / "guides"
        self.scripts.mkdir()
        self.env = {**self.session.env, "BUILD": str(windows_build), "SIGNING_CHAIN": str(suite.pki.yoxa.chain),
                    "SIGNING_KEY": str(suite.pki.yoxa.key), "SIGNING_CA": str(suite.pki.ca_pem),
                    "CDN_ORIGIN": str(cdn.root), "CONFIG": str(suite_release.TEST_CONFIG),
                    "META_KEY": str(TEST_SIGNING_KEY),
                    # The Debian system's python3 (with python3-rich) as on a release machine, before any other.
                    "PATH": "/usr/bin:/bin:" + self.session.env.get("PATH", "")}
        self._runs = 0

    def close(self) -> None:
        self.session.stop()
        if not os.environ.get("YOXA_E2E_KEEP_PREFIX"):
            shutil.rmtree(self.root, ignore_errors=True)

    def host_path(self, path: str) -> str:
        """The host path (a glob pattern) of a page's path."""
        windows = re.match(r"^([A-Za-z]):\\(.*)$", path)
        if windows:
            drive, rest = windows[1].lower(), windows[2].replace("\\", "/")
            base = self.session.prefix / "drive_c" if drive == "c" else self.share if drive == "d" else None
            assert base is not None, f"no drive {drive.upper()}: on the stage"
            return str(base / rest)
        return str(self.share / path)

    def run(self, example: Example):
        """(exit code, what it printed)."""
        self._runs += 1
        if example.language == "bat":
            script = self.scripts / f"example-{self._runs}.cmd"
            script.write_text("@echo off\r\ncd /d D:\\\r\n" + example.text.replace("\n", "\r\n"), encoding="utf-8")
            done = self.session.run(Path(self.session.prefix / "drive_c" / "windows" / "system32" / "cmd.exe"),
                                    "/c", rf"C:\guides\{script.name}", timeout=EXAMPLE_TIMEOUT)
            return done.code, (done.stdout + done.stderr).decode("utf-8", errors="replace")
        done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", example.text], cwd=self.share, env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=EXAMPLE_TIMEOUT)
        return done.returncode, (done.stdout + done.stderr).decode("utf-8", errors="replace")

    def registry_value(self, key: str, name: str):
        listing = self.root / "reg-query.txt"
        with listing.open("wb") as out:  # a file, never a pipe a Wine service could keep open
            found = subprocess.run([self.session.wine, "reg", "query", key, "/v", name, "/reg:64"],
                                   env=self.session.env, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.DEVNULL, timeout=60)
        if found.returncode != 0:
            return None
        for line in listing.read_text(errors="replace").splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
                data = parts[2].strip() if len(parts) > 2 else ""
                return int(data, 16) if parts[1] == "REG_DWORD" else data
        return None

    def check(self, example: Example, code: int, printed: str) -> List[str]:
        """What differs from the page's statements."""
        wrong = []
        for stated in example.expectations:
            verb, _, rest = stated.partition(" ")
            if verb == "exit":
                if code != int(rest):
                    wrong.append(f"exit code {code}, the page says {rest}")
            elif verb == "output":
                if rest not in printed:
                    wrong.append(f"{rest!r} was not printed")
            elif verb == "file":
                if not glob.glob(self.host_path(rest)):
                    wrong.append(f"no file {rest}")
            elif stated.startswith("no file "):
                path = stated[len("no file "):]
                if glob.glob(self.host_path(path)):
                    wrong.append(f"{path} is there")
            elif verb == "registry":
                location, _, data = rest.partition(" = ")
                key, _, name = location.rpartition("\\")
                value = self.registry_value(key, name)
                expected = int(data) if isinstance(value, int) and data.isdigit() else data
                if value != expected:
                    wrong.append(f"{location} is {value!r}, the page says {data!r}")
        return wrong


@pytest.fixture
def stage(windows_build, cdn, test_pki, suite):
    made = Stage(windows_build, cdn, test_pki, suite)
    yield made
    made.close()


@pytest.mark.parametrize("page", PAGES)
def test_page_examples_run_as_the_page_says(page, stage):
    for example in (e for e in page_examples(page) if e.kind == "example"):
        code, printed = stage.run(example)
        wrong = stage.check(example, code, printed)
        assert not wrong, (f"{example.where}: " + "; ".join(wrong) + f"\n--- the example\n{example.text}"
                           f"--- what it printed\n{printed[-6000:]}")
