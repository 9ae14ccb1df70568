"""Fixtures for running the Windows build under Wine.

One fresh prefix per session, served by one persistent wineserver, so each
program run costs tens of milliseconds instead of a server start-up.

Environment:
  YOXA_WINDOWS_BUILD     the Windows build directory (default: build/windows of
                         this repository; a relative path is taken from the
                         repository root)
  YOXA_E2E_KEEP_PREFIX   set to keep the Wine prefix after the session (it is
                         several hundred megabytes, so it is removed by default)

Network fixtures (servers in tests/servers, loopback only, stopped with the session):
  test_pki         session: TestPki with .trusted and .untrusted TLS identities
  trusted_ca       session: the trusted CA added to the prefix's machine Root store
  cdn              nginx serving the test configuration's CDN origin for the session;
                   its tree is emptied before each test that uses it
  fault_server     a started FaultServer (trusted certificate), per test
  connect_proxy    a started ConnectProxy, per test
  system_proxy     sets the prefix user's Internet Settings proxy; cleared after the test

Prefix state:
  windows_10       module: the prefix reports Windows 10 instead of Wine 8's default Windows 7
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import Mapping, NamedTuple, Optional

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tests" / "servers"))

# The loopback servers are shared with the native tests.
from server_fixtures import _fresh_cdn_tree, cdn, connect_proxy, fault_server, test_pki  # noqa: E402,F401
import pki  # noqa: E402
from protocol_schemas import check_event_lines  # noqa: E402
from msix_fixtures import MSIX_SIP_DLL, msix_sip_registration  # noqa: E402


def windows_build_dir() -> Path:
    configured = Path(os.environ.get("YOXA_WINDOWS_BUILD", "build/windows"))
    return configured if configured.is_absolute() else REPO_ROOT / configured


class WineResult(NamedTuple):
    code: int  # the full 32-bit exit code
    stdout: bytes
    stderr: bytes


class WineSession:
    def __init__(self, wine: str, wineserver: str, runexit: Path, root: Path):
        self.wine = wine
        self.wineserver = wineserver
        self.runexit = runexit
        self.root = root
        self.prefix = root / "prefix"
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(
            WINEPREFIX=str(self.prefix),
            WINEDEBUG="-all",
            # No Mono or Gecko install prompts.
            WINEDLLOVERRIDES="mscoree,mshtml=",
            # Wine converts arguments and file names through the host locale.
            LC_ALL="C.UTF-8",
        )
        self._runs = 0

    @staticmethod
    def windows_path(path: Path) -> str:
        """The Wine path of a host file, through the Z: drive every prefix has."""
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def start(self) -> None:
        # The server needs the prefix directory to exist; starting it before
        # wineboot means wineboot already uses the persistent server.
        self.prefix.mkdir(parents=True)
        subprocess.run([self.wineserver, "-p"], env=self.env, check=True, timeout=30)
        # Output to a file, not a pipe: the system processes wineboot starts
        # live as long as the server and would hold a pipe open.
        boot_log = self.root / "wineboot.log"
        with boot_log.open("wb") as log:
            boot = subprocess.run(
                [self.wine, "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                stdout=log, stderr=subprocess.STDOUT, timeout=300,
            )
        if boot.returncode != 0:
            raise RuntimeError(f"wineboot -i failed ({boot.returncode}): {boot_log.read_text(errors='replace')}")

    def stop(self) -> None:
        subprocess.run([self.wineserver, "-k"], env=self.env, timeout=30)
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=30)

    def temp_dir(self) -> Path:
        """The host path of the prefix user's %TEMP%."""
        found = [p for p in (self.prefix / "drive_c" / "users").glob("*/Temp") if p.parent.name != "Public"]
        assert len(found) == 1, f"expected one user Temp folder in the prefix, found {found}"
        return found[0]

    def run(
        self,
        program: Path,
        *args: str,
        env: Optional[Mapping[str, str]] = None,
        input: Optional[bytes] = None,
        timeout: float = 60,
        cwd: Optional[Path] = None,
    ) -> WineResult:
        """Runs a Windows program through runexit, with stdout and stderr on pipes
        (under a terminal Wine would add escape sequences); `cwd`, a host folder, becomes
        the program's current directory."""
        self._runs += 1
        code_file = self.root / f"exit-{self._runs}.txt"
        command = [self.wine, str(self.runexit), self.windows_path(code_file), self.windows_path(program), *args]
        # Rarely, in whole-suite runs, Wine ends with 1 and no output before runexit has started
        # (runexit's first act is to create the code file). Nothing ran, so one more try is safe.
        for attempt in range(2):
            completed = subprocess.run(
                command,
                env={**self.env, **(env or {})},
                input=input,
                stdin=subprocess.DEVNULL if input is None else None,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                timeout=timeout,
                cwd=cwd,
            )
            if code_file.exists() or completed.returncode == 0 or attempt:
                break
            # A warning, so the run's summary shows every time this happened.
            warnings.warn(f"wine did not start runexit for {program.name} ({completed.returncode}); trying again")
            time.sleep(1)
        text = code_file.read_text().strip() if code_file.exists() else ""
        if completed.returncode != 0 or not text.isdigit():
            raise RuntimeError(
                f"runexit failed ({completed.returncode}, code file {text or 'missing'!r}) for {program.name}: "
                f"{completed.stderr.decode(errors='replace')}"
            )
        code = int(text)
        code_file.unlink()
        # Every event any engine build writes must match the published schemas.
        if Path(program).name.startswith("YoxaOfficeInstaller"):
            check_event_lines(completed.stdout)
        return WineResult(code, completed.stdout, completed.stderr)


def _require_file(path: Path, what: str) -> Path:
    if not path.is_file():
        pytest.skip(f"{what} not found at {path}: build the Windows preset or set YOXA_WINDOWS_BUILD")
    return path


@pytest.fixture(scope="session")
def windows_build() -> Path:
    return windows_build_dir()


@pytest.fixture(scope="session")
def wine(windows_build: Path):
    tools = {name: shutil.which(name) for name in ("wine", "wineserver")}
    missing = [name for name, found in tools.items() if not found]
    if missing:
        pytest.skip(f"Wine is not installed ({', '.join(missing)} not on PATH); skipping the Wine tests")
    runexit = _require_file(windows_build / "tests" / "support" / "runexit.exe", "runexit.exe")
    _require_file(windows_build / "YoxaOfficeInstaller.exe", "YoxaOfficeInstaller.exe")

    root = Path(tempfile.mkdtemp(prefix="yoxa-e2e-"))
    session = WineSession(tools["wine"], tools["wineserver"], runexit, root)
    try:
        session.start()
        yield session
    finally:
        session.stop()
        if not os.environ.get("YOXA_E2E_KEEP_PREFIX"):
            shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="session")
def support_exe(windows_build: Path):
    """The path of a test helper program of the Windows build (skips if absent)."""

    def find(name: str) -> Path:
        return _require_file(windows_build / "tests" / "support" / name, name)

    return find


@pytest.fixture(scope="session")
def engine(wine: WineSession, windows_build: Path):
    """Runs YoxaOfficeInstaller.exe under Wine: engine(*args, env={...}) -> (code, stdout, stderr)."""
    exe = windows_build / "YoxaOfficeInstaller.exe"

    def run(*args: str, env: Optional[Mapping[str, str]] = None, input: Optional[bytes] = None,
            timeout: float = 60) -> WineResult:
        return wine.run(exe, *args, env=env, input=input, timeout=timeout)

    return run


@pytest.fixture(scope="session")
def wine_temp(wine: WineSession) -> Path:
    return wine.temp_dir()


# -- network ---------------------------------------------------------------------------

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def wine_reg(wine: WineSession, *args: str) -> int:
    """Runs Wine's reg.exe; output to DEVNULL, never a pipe Wine's services could keep."""
    # One more try after a failure: reg.exe has been seen to fail once, rarely, right after a
    # test that left detached Wine processes ending (only in whole-suite runs).
    for attempt in range(2):
        completed = subprocess.run([wine.wine, "reg", *args], env=wine.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if completed.returncode == 0 or args[0] != "add" or attempt:
            return completed.returncode
        time.sleep(1)
    return completed.returncode


class SystemProxy:
    """The prefix user's system proxy, as the engine reads it."""

    def __init__(self, wine: WineSession):
        self._wine = wine

    def set(self, server: Optional[str], enable: int = 1, override: Optional[str] = None) -> None:
        """ProxyEnable=enable and ProxyServer=server (None leaves it out),
        ProxyOverride=override when given.

        Name a loopback proxy 127.0.0.1:PORT (ConnectProxy.address), not localhost:
        Wine's WinHTTP sends no CONNECT when the proxy's host name equals the
        target's, and then starts TLS with the proxy itself."""
        self.clear()
        values = [("ProxyEnable", "REG_DWORD", str(enable))]
        if server is not None:
            values.append(("ProxyServer", "REG_SZ", server))
        if override is not None:
            values.append(("ProxyOverride", "REG_SZ", override))
        for name, kind, data in values:
            assert wine_reg(self._wine, "add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", data, "/f") == 0

    def clear(self) -> None:
        for name in ("ProxyEnable", "ProxyServer", "ProxyOverride"):
            wine_reg(self._wine, "delete", INTERNET_SETTINGS, "/v", name, "/f")


@pytest.fixture(scope="session")
def trusted_ca(wine: WineSession, support_exe, test_pki: pki.TestPki) -> pki.TlsIdentity:
    """Makes the prefix trust test_pki.trusted, for every Windows program run after it."""
    certtrust = support_exe("certtrust.exe")
    ca = wine.windows_path(test_pki.trusted.ca_der)
    result = wine.run(certtrust, "add", ca)
    assert result.code == 0, result.stderr.decode(errors="replace")
    yield test_pki.trusted
    wine.run(certtrust, "del", ca)


@pytest.fixture
def system_proxy(wine: WineSession) -> SystemProxy:
    proxy = SystemProxy(wine)
    yield proxy
    proxy.clear()


# -- PowerShell stand-in -----------------------------------------------------------------


class PowerShellStandIn:
    """The stand-in installed over the prefix's powershell.exe stub (see
    tests/support/powershell_standin.cpp for the scripts it understands).

    fail(*directives) makes every recognised script fail until clear():
      "exit N"        end with exit code N instead of running the script
      "stderr TEXT"   write TEXT to standard error (exit code 1 unless "exit" is given)
      "hang [SECS]"   sleep first (default 600 s)
    """

    def __init__(self, installed: Path):
        self.path = installed
        self.windows_path = r"C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe"
        self._failure_file = installed.parent / "powershell_standin.fail"

    def fail(self, *directives: str) -> None:
        self._failure_file.write_text("".join(d + "\n" for d in directives))

    def clear(self) -> None:
        self._failure_file.unlink(missing_ok=True)


@pytest.fixture(scope="session")
def _powershell_standin_installed(wine: WineSession, support_exe) -> PowerShellStandIn:
    target = wine.prefix / "drive_c" / "windows" / "system32" / "WindowsPowerShell" / "v1.0" / "powershell.exe"
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(support_exe("powershell_standin.exe"), target)
    return PowerShellStandIn(target)


@pytest.fixture
def powershell_standin(_powershell_standin_installed: PowerShellStandIn) -> PowerShellStandIn:
    """The PowerShell stand-in in the prefix, with no failure set; any failure set is cleared afterwards."""
    _powershell_standin_installed.clear()
    yield _powershell_standin_installed
    _powershell_standin_installed.clear()


# -- Windows version of the prefix -----------------------------------------------------------


def _winecfg(wine: WineSession, *args: str) -> str:
    # Output to a file, never a pipe a Wine process could keep open.
    out = wine.root / "winecfg.out"
    with out.open("wb") as sink:
        subprocess.run([wine.wine, "winecfg", *args], env=wine.env, stdin=subprocess.DEVNULL, stdout=sink,
                       stderr=subprocess.DEVNULL, timeout=120, check=True)
    return out.read_text(errors="replace").strip()


@pytest.fixture(scope="module")
def windows_10(wine: WineSession) -> None:
    """The prefix reports Windows 10 (build 18362) for the module, then its earlier version.

    Wine 8.0 makes new prefixes report Windows 7 (build 7601), below the install
    pipeline's minimum of 17763, so install runs need this."""
    before = _winecfg(wine, "/v") or "win7"
    _winecfg(wine, "/v", "win10")
    yield
    _winecfg(wine, "/v", before)


# -- MSIX signatures -----------------------------------------------------------------------------

def register_msix_sip(wine: WineSession, dll: Path) -> None:
    """The test subject interface package for MSIX files (tests/support/msix_sip.cpp) in the
    prefix's system32 and registered, so WinVerifyTrust reads MSIX signatures from then on
    (Wine has none and answers TRUST_E_SUBJECT_FORM_UNKNOWN)."""
    shutil.copyfile(dll, wine.prefix / "drive_c" / "windows" / "system32" / MSIX_SIP_DLL)
    reg_file = wine.root / "msix_sip.reg"
    reg_file.write_text(msix_sip_registration(), encoding="utf-16")
    assert wine_reg(wine, "import", wine.windows_path(reg_file)) == 0


@pytest.fixture(scope="session")
def msix_sip(wine: WineSession, support_exe) -> None:
    """The MSIX subject interface package, for the rest of the session."""
    register_msix_sip(wine, support_exe("msix_sip.dll"))
