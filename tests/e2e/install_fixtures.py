"""Building blocks of the Wine tests of launcher-driven runs: signed app packages
published on the CDN fixture, the engine as a running process whose standard input
a test writes to, the prefix's per-user folders, and the one check that every
event stream a launcher reads must pass.
"""

import dataclasses
import json
import os
import re
import subprocess
import threading
import time
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional

import codesign  # tests/servers, on the path through conftest.py
from cdn import CdnServer, Published, throttled_name
from packages import FOLIO, QUILL, BuiltMsi, MsiApp, build_msi
from protocol_schemas import check_event_lines

MIB = 1048576


# -- packages ----------------------------------------------------------------------------

def build_app_msi(app: MsiApp, version: str, out_dir: Path, padding_bytes: int = 0) -> BuiltMsi:
    """A package that upgrades an older version of itself (see packages.build_msi)."""
    return build_msi(app, version, out_dir, major_upgrade=True, padding_bytes=padding_bytes)


class SignedPackages:
    """The packages of the install-run tests, built and signed as "YOXA Corporation
    Private Limited" once. Versions differ between apps on purpose: the staged file
    name carries only the version, and two apps of one version would share it."""

    def __init__(self, root: Path, large_bytes: int = 8 * MIB):
        self.pki = codesign.generate(root / "pki")
        self.quill = self._signed(QUILL, "1.4.2", root)
        self.quill_newer = self._signed(QUILL, "1.5.0", root)
        self.folio = self._signed(FOLIO, "3.0.1", root)
        self.folio_newer = self._signed(FOLIO, "3.1.0", root)
        # Big enough that a throttled download is still running when the test acts.
        self.folio_large = self._signed(FOLIO, "3.2.0", root, large_bytes)

    def _signed(self, app: MsiApp, version: str, root: Path, padding_bytes: int = 0) -> BuiltMsi:
        built = build_app_msi(app, version, root / f"{app.app_id}-{version}", padding_bytes)
        signed = codesign.sign(built.path, self.pki.yoxa, built.path.with_name(f"{app.app_id}-{version}-signed.msi"))
        return dataclasses.replace(built, path=signed)

    def signed_by(self, package: BuiltMsi, signer: codesign.CodeSigner, out: Path) -> Path:
        """The same package signed by another signer instead."""
        return codesign.sign(package.path.with_name(f"{package.app.app_id}-{package.version}.msi"), signer, out)

    @property
    def all(self) -> List[BuiltMsi]:
        return [self.quill, self.quill_newer, self.folio, self.folio_newer, self.folio_large]


def publish(cdn: CdnServer, package: BuiltMsi, throttled: bool = False) -> Published:
    """Publishes a package under its app's CDN directory, with the default meta.json
    (version, destination, size, sha256); throttled serves it at the CDN's slow rate."""
    name = f"{package.app.app_id}-{package.version}.msi"
    return cdn.publish(package.app.app_id, "msi", package.version,
                       files={throttled_name(name) if throttled else name: package.path})


def package_requests(cdn: CdnServer) -> List[dict]:
    """The package downloads nginx answered since the last reset (meta.json excluded)."""
    return [r for r in cdn.requests() if r["request"].split()[1].endswith(".msi")]


# -- the prefix ---------------------------------------------------------------------------

def wine_quiet(wine, *args: str, timeout: float = 180) -> int:
    """Runs a Wine program (msiexec, reg) with output to DEVNULL, never a pipe Wine's
    services could keep open; returns its Unix status."""
    return subprocess.run([wine.wine, *args], env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def uninstall(wine, packages: Iterable[BuiltMsi]) -> None:
    """Removes the packages with msiexec /x; an absent product (1605) is fine."""
    for package in packages:
        wine_quiet(wine, "msiexec", "/x", package.product_code, "/qn")


@dataclass(frozen=True)
class PrefixFolders:
    """Host paths of the engine's folders in the prefix of the test user."""
    user: Path  # C:\\users\\<user>

    @property
    def local_app_data(self) -> Path:
        return self.user / "AppData" / "Local"

    @property
    def user_base(self) -> Path:
        """config_base_dir for user scope: %LOCALAPPDATA%\\Yoxa\\YoxaOffice."""
        return self.local_app_data / "Yoxa" / "YoxaOffice"

    @property
    def machine_base(self) -> Path:
        """config_base_dir for machine scope: ProgramData\\Yoxa\\YoxaOffice."""
        return self.user.parent.parent / "ProgramData" / "Yoxa" / "YoxaOffice"

    @property
    def staging(self) -> Path:
        """Where the worker stages: every Wine process is elevated, and an elevated worker
        stages in the machine base whatever the run's scope."""
        return self.machine_base / "installer"

    @property
    def user_logs(self) -> Path:
        """The user-scope worker's log folder (an unelevated worker's; export-logs reads it)."""
        return self.user_base / "logs"

    @property
    def worker_logs(self) -> Path:
        """Where the (elevated, under Wine) worker logs, whatever the run's scope."""
        return self.machine_base / "logs"

    @property
    def launcher_logs(self) -> Path:
        return self.user / "Temp" / "YoxaOffice"

    def log_size(self, directory: Path) -> int:
        log = directory / "installer.log"
        return log.stat().st_size if log.exists() else 0

    def log_text(self, directory: Path, since: int = 0) -> str:
        """installer.log of directory, from byte since on (a log_size taken earlier:
        the launcher's log collects every run of the session)."""
        log = directory / "installer.log"
        if not log.exists():
            return ""
        with log.open("rb") as f:
            f.seek(since)
            return f.read().decode("utf-8", errors="replace")


# -- the event stream ------------------------------------------------------------------------

def check_event_stream(stdout: bytes, exit_code: Optional[int] = None) -> List[dict]:
    """Every line a launcher reads: one compact JSON object with "v": 1, keys in
    ascending order at every level, UTF-8, ended by a single line feed; the last one
    is done, whose exitCode is the process's and whose results repeat the app-result
    events in order. Returns the parsed events."""
    text = stdout.decode("utf-8")
    assert text, "no event at all"
    assert text.endswith("\n"), f"the last line has no line feed: {text[-200:]!r}"
    assert "\r" not in text, "a line ends with a carriage return"
    events = []
    for line in text[:-1].split("\n"):
        event = json.loads(line)
        assert isinstance(event, dict), line
        assert event.get("v") == 1 and isinstance(event.get("type"), str), line
        assert line == json.dumps(event, separators=(",", ":"), sort_keys=True, ensure_ascii=False), line
        events.append(event)
    done = events[-1]
    assert done["type"] == "done", f"the last event is not done: {done}"
    assert [e for e in events if e["type"] == "done"] == [done], "more than one done"
    assert done["results"] == [e for e in events if e["type"] == "app-result"], done
    if exit_code is not None:
        assert done["exitCode"] == exit_code, (done, exit_code)
    return events


def of_type(events: List[dict], kind: str, app: Optional[str] = None) -> List[dict]:
    return [e for e in events if e["type"] == kind and (app is None or e.get("app") == app)]


def results_by_app(events: List[dict]) -> Dict[str, dict]:
    results = of_type(events, "app-result")
    assert len({r["app"] for r in results}) == len(results), f"an app has two results: {results}"
    return {r["app"]: r for r in results}


# -- the engine as a running process ------------------------------------------------------------

class Finished(NamedTuple):
    code: int  # the full 32-bit exit code
    stdout: bytes
    stderr: bytes


class EngineProcess:
    """A Windows program under Wine (through runexit, for the full exit code) whose
    standard input stays open for the test to write to while standard output is read
    line by line as it comes."""

    def __init__(self, wine, program: Path, *args: str, env: Optional[Mapping[str, str]] = None):
        self._wine = wine
        self._code_file = wine.root / f"exit-{uuid.uuid4().hex}.txt"
        self._stderr_path = wine.root / f"stderr-{uuid.uuid4().hex}.txt"
        self._stderr = self._stderr_path.open("wb")
        command = [wine.wine, str(wine.runexit), wine.windows_path(self._code_file), wine.windows_path(program), *args]
        self._process = subprocess.Popen(command, env={**wine.env, **(env or {})}, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=self._stderr)
        self._lines: List[bytes] = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for line in iter(self._process.stdout.readline, b""):
            with self._changed:
                self._lines.append(line)
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    @property
    def stdout(self) -> bytes:
        with self._changed:
            return b"".join(self._lines)

    def events_so_far(self) -> List[dict]:
        """The complete lines read so far that parse as JSON objects (lenient: for waiting)."""
        with self._changed:
            lines = list(self._lines)
        found = []
        for line in lines:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if isinstance(event, dict):
                found.append(event)
        return found

    def wait_for(self, predicate: Callable[[dict], bool], timeout: float = 120, what: str = "an event") -> dict:
        """The first event so far or to come that satisfies predicate."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for event in self.events_so_far():
                    if predicate(event):
                        return event
                if not self._reader.is_alive():
                    raise AssertionError(f"the program ended before {what}: {self.stdout.decode(errors='replace')}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {what} within {timeout} s: {self.stdout.decode(errors='replace')}")
                self._changed.wait(min(left, 0.5))

    def send(self, line: str) -> None:
        self._process.stdin.write(line.encode("utf-8") + b"\n")
        self._process.stdin.flush()

    def close_stdin(self) -> None:
        if not self._process.stdin.closed:
            self._process.stdin.close()

    @property
    def running(self) -> bool:
        return self._process.poll() is None

    def finish(self, timeout: float = 300):
        """Waits for the end (closing standard input first) and returns
        (exit code, stdout, stderr) like WineSession.run."""
        try:
            self.close_stdin()
        except BrokenPipeError:
            pass
        self._process.wait(timeout=timeout)
        self._reader.join(timeout=30)
        self._stderr.close()
        stderr = self._stderr_path.read_bytes()
        if self._process.returncode != 0 or not self._code_file.exists():
            raise RuntimeError(f"runexit failed ({self._process.returncode}): {stderr.decode(errors='replace')}")
        code = int(self._code_file.read_text().strip())
        self._code_file.unlink()
        check_event_lines(self.stdout)
        return Finished(code, self.stdout, stderr)

    def stop(self) -> None:
        """Clean-up after a failed test: ends the engine's processes in this prefix
        (the run and its worker, by process id) and the wine launcher."""
        for process in wine_processes(self._wine, "YoxaOfficeInstaller"):
            process.kill()
        if self._process.poll() is None:
            self._process.kill()
            self._process.wait(timeout=30)
        self._stderr.close()


# -- Windows processes seen from the host -------------------------------------------------------

@dataclass(frozen=True)
class WineProcess:
    pid: int  # the host process id
    args: List[str]  # the Windows command line, as Wine shows it

    def kill(self) -> None:
        try:
            os.kill(self.pid, 9)
        except ProcessLookupError:
            pass


def wine_processes(wine, image: str) -> List[WineProcess]:
    """This prefix's processes whose program name (first word) contains image. Wine
    shows a Windows process's command line as its host command line; the prefix is
    told by the WINEPREFIX of the process's environment, so another session's
    processes are never touched."""
    wanted = f"WINEPREFIX={wine.prefix}".encode()
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if wanted not in (entry / "environ").read_bytes().split(b"\0"):
                continue
            args = [a.decode(errors="replace") for a in (entry / "cmdline").read_bytes().split(b"\0")]
        except OSError:
            continue
        args = " ".join(args).split()  # Wine pads the line with blanks
        if args and image.lower() in re.split(r"[\\/]", args[0])[-1].lower():
            found.append(WineProcess(int(entry.name), args))
    return found
