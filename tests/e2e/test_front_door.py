"""The engine's front door under Wine: which door an invocation takes, the exact
texts and exit codes of usage, help and argument errors, the worker-payload
checks, and the launcher log and temp-folder sweep of subcommand invocations."""

import base64
import os
import re
import shutil
import time

import pytest

# As printed on stderr: the usage text and its line feed.
SHORT_USAGE = """\
Usage: YoxaOfficeInstaller <hello|run|check-updates|disk-free|export-logs> [flags]
       YoxaOfficeInstaller run --action install|update|uninstall [--apps …]
                                     [--scope user|machine] [--strict true|false] [--install-dir <path>]
       YoxaOfficeInstaller export-logs [--out <dir>]
       YoxaOfficeInstaller --silent [--mode install|uninstall] [--apps …] [--log <dir>]
                                     [--scope user|machine] [--verbose]
Run with --help for the full flag reference.
""".encode()
# The help text, which ends with its own line feed; stdout adds one more.
LONG_HELP = """\
Usage:
  YoxaOfficeInstaller.exe hello                          Emit the app catalog (JSON).
  YoxaOfficeInstaller.exe run --action install --apps …  Install with JSON progress events.
  YoxaOfficeInstaller.exe --silent                       Headless install of all apps.
  YoxaOfficeInstaller.exe --silent --apps quill          Install only the named subset.
  YoxaOfficeInstaller.exe --silent --uninstall           Headless uninstall of all apps.
  YoxaOfficeInstaller.exe --silent --mode uninstall      Same, macOS-style form.
  YoxaOfficeInstaller.exe --silent --log C:\\Logs         Override the log directory.
  YoxaOfficeInstaller.exe --silent --scope machine       Install for all users (elevates).
  YoxaOfficeInstaller.exe --help                         Print this help.

Options (--silent):
  --silent, /S, /silent     Run without a GUI; do not prompt the user.
  --uninstall               (with --silent) Remove the selected apps.
  --mode <install|uninstall> Same as --uninstall, macOS-engine form.
  --apps <list>             Comma-separated app ids: quill, abacus, lumen, folio.
                            Default: every app in the catalog.
  --log <dir>               Directory for log files. Default:
                            %TEMP%\\YoxaOfficeSilent-<pid>\\
  --scope <user|machine>    Install level. Default: the installScope value in
                            installer_config.json (user). machine needs elevation;
                            an unelevated run re-spawns itself through UAC.
  --verbose                 Echo progress to the terminal (stderr); default off.

Options (run — the JSON-protocol subcommand):
  --action <install|update|uninstall>  Required.
  --apps <list>             As above; default: every app in the catalog.
  --scope <user|machine>    As above.
  --strict <true|false>     true → any per-app failure fails the whole run (exit 2),
                            even when other apps succeeded. Default: false.
  --install-dir <path>      Accepted for cross-platform parity, ignored on Windows:
                            MSI/MSIX packages carry their own fixed destinations.

Exit codes (unified across platforms; legacy standalone installers used
3=nothing-to-do, 4=invalid args, 5=UAC declined):
  0  All selected apps reached the desired state (incl. nothing-to-do)
  1  Partial success (one or more apps failed)
  2  All apps failed
  3  Invalid arguments
  4  Permission denied (UAC declined or failed)
  5  Network unavailable
""".encode()

BANNER = "Yoxa Office Apps Installer \u2014 verbose mode\n".encode()
NO_FLAG = b"No supported flag detected.\n"
LEGACY_PAYLOAD = b"The legacy GUI-worker payload is not supported by this engine binary.\n"
APP_IDS = "quill, abacus, lumen, folio"


def b64(data: bytes) -> str:
    """Unpadded standard base64, the worker-payload transport."""
    return base64.b64encode(data).decode().rstrip("=")


def usage_error(message: str) -> bytes:
    return f"{message}\nRun with --help for usage.\n".encode()


@pytest.mark.parametrize(
    "args",
    [
        pytest.param((), id="no-arguments"),
        pytest.param(("install", "quill"), id="two-plain-words"),
        pytest.param(("", ""), id="two-empty-words"),
    ],
)
def test_no_usable_door_prints_short_usage(engine, args):
    assert engine(*args) == (3, b"", SHORT_USAGE)


@pytest.mark.parametrize(
    "args",
    [
        ("--help",),
        ("--silent", "--help"),
        ("/?",),
        ("/help",),
        ("-h",),
        ("/S", "--uninstall", "--help"),
        ("--mode", "uninstall", "--help"),
        ("--scope", "Machine", "--help"),
        ("--scope", " user ", "--help"),
        ("--apps", "folio,quill", "--help"),
        ("--log", "C:\\Logs", "--help", "--whatever"),
    ],
    ids=" ".join,
)
def test_help_wins_over_everything_that_parses(engine, args):
    assert engine(*args) == (0, LONG_HELP + b"\n", b"")


@pytest.mark.parametrize(
    "args, message",
    [
        (("/S", "--apps"), "--apps requires a value (e.g. quill,abacus,lumen)"),
        (("--silent", "--apps", " , ,"), "--apps value is empty"),
        (("--silent", "--apps", "Quill"), f"Invalid app id 'Quill'. Expected one of: {APP_IDS}"),
        (("--silent", "--apps", "quill, paint"), f"Invalid app id 'paint'. Expected one of: {APP_IDS}"),
        (("--silent", "--apps", "qu\u00edll"), f"Invalid app id 'qu\u00edll'. Expected one of: {APP_IDS}"),
        # A flag's value is the next argument, whatever it looks like.
        (("--apps", "--silent"), f"Invalid app id '--silent'. Expected one of: {APP_IDS}"),
        (("--silent", "--scope", "all"), "--scope must be user or machine, got 'all'"),
        (("--silent", "--scope"), "--scope requires a value (user|machine)"),
        (("--silent", "--mode"), "--mode requires a value (install|uninstall)"),
        (("--silent", "--mode", "remove"), "--mode must be install or uninstall, got 'remove'"),
        (("--silent", "--log"), "--log requires a directory path"),
        # The first error ends the scan, and help does not excuse it.
        (("--silent", "--scope", "all", "--mode"), "--scope must be user or machine, got 'all'"),
        (("--help", "--mode", "repair"), "--mode must be install or uninstall, got 'repair'"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, tuple) else None,
)
def test_flag_errors(engine, args, message):
    assert engine(*args) == (3, b"", usage_error(message))


@pytest.mark.parametrize(
    "args, expected",
    [
        (("--unknown",), (3, b"", NO_FLAG + SHORT_USAGE)),
        (("--verbose",), (3, b"", BANNER + NO_FLAG + SHORT_USAGE)),
        # --verbose is the log directory here, yet it still switches verbose on.
        (("--log", "--verbose"), (3, b"", BANNER + NO_FLAG + SHORT_USAGE)),
        (("--verbose", "--scope", "all"), (3, b"", BANNER + usage_error("--scope must be user or machine, got 'all'"))),
        (("--help", "--verbose"), (0, LONG_HELP + b"\n", BANNER)),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, tuple) and isinstance(v[0], str) else None,
)
def test_flag_mode_without_a_run(engine, args, expected):
    assert engine(*args) == expected


@pytest.mark.parametrize(
    "argument, stderr",
    [
        pytest.param("not*base64", LEGACY_PAYLOAD, id="not-base64"),
        pytest.param("", LEGACY_PAYLOAD, id="empty"),
        pytest.param(b64(b"HELLO:x"), LEGACY_PAYLOAD, id="unknown-prefix"),
        pytest.param(b64(b"jsonrun:a|b|c|d"), LEGACY_PAYLOAD, id="prefix-is-case-sensitive"),
        pytest.param(base64.b64encode(b"JSONRUN:a|b").decode(), LEGACY_PAYLOAD, id="padded-base64"),
        pytest.param(b64(b"JSONRUN:\xff|b|c|d"), LEGACY_PAYLOAD, id="not-utf8"),
        pytest.param(b64(b"JSONRUN:a|b"), b"malformed JSONRUN payload: a|b\n", id="too-few-fields"),
        pytest.param(b64(b"JSONRUN:install|q|quill|"), b"malformed JSONRUN payload: install|q|quill|\n",
                     id="empty-pipe-name"),
        pytest.param(b64("JSONRUN:\u00e9t\u00e9".encode()), "malformed JSONRUN payload: \u00e9t\u00e9\n".encode(),
                     id="utf8-echoed"),
    ],
)
def test_unusable_worker_payload(engine, argument, stderr):
    assert engine(argument) == (3, b"", stderr)


LOG_LINE = re.compile(rb"\[(ERROR|WARN |INFO ) \d\d:\d\d\.\d\d\d\] .*")
SESSION_START = re.compile(rb"\[INFO  \d\d:\d\d\.\d\d\d\] --- New Application Session Started ---")
DATE_TIME = re.compile(rb"\[INFO  \d\d:\d\d\.\d\d\d\] System Date/Time: \S.*")


@pytest.fixture
def launcher_log(wine_temp):
    """installer.log of the launcher scope, starting from no log folder."""
    folder = wine_temp / "YoxaOffice"
    shutil.rmtree(folder, ignore_errors=True)
    return folder / "installer.log"


def session_starts(log_bytes: bytes) -> int:
    return sum(1 for line in log_bytes.split(b"\n") if SESSION_START.fullmatch(line))


def test_subcommand_log_opens_with_session_header(engine, launcher_log):
    engine("hello")
    data = launcher_log.read_bytes()
    assert b"\r" not in data and data.endswith(b"\n")
    lines = data[:-1].split(b"\n")
    assert SESSION_START.fullmatch(lines[0]), lines[0]
    assert DATE_TIME.fullmatch(lines[1]), lines[1]
    assert [line for line in lines if not LOG_LINE.fullmatch(line)] == []


@pytest.mark.parametrize(
    "args, new_sessions",
    [
        (("hello",), 1),
        (("hello", "ignored", "--words"), 1),
        (("run",), 1),
        (("disk-free",), 1),
        # Only subcommands log in the launcher folder.
        (("--help",), 0),
        (("--silent", "--scope", "all"), 0),
        (("not*base64",), 0),
        ((), 0),
    ],
    ids=lambda v: (" ".join(v) or "no-arguments") if isinstance(v, tuple) else None,
)
def test_each_subcommand_appends_a_session(engine, launcher_log, args, new_sessions):
    engine("hello")
    before = launcher_log.read_bytes()
    engine(*args)
    after = launcher_log.read_bytes()
    assert after.startswith(before)
    assert session_starts(after) - session_starts(before) == new_sessions


DAY = 24 * 3600

# name, age in days (negative: in the future), whether the sweep removes it
SWEEP_CASES = [
    ("YoxaOfficeSilent-123", 8, True),
    ("YoxaOffice-5f2c", 8, True),
    ("YoxaOffice-stale.txt", 8, True),
    ("YoxaOfficeSilent-456", 6, False),
    ("YoxaOfficeSilent123", 8, False),
    ("YoxaOfficeSilent-789", -1, False),
    # The launcher's own log folder is not a per-invocation folder.
    ("YoxaOffice", 8, False),
]


@pytest.fixture(scope="module")
def swept_temp(engine, wine_temp):
    """%TEMP% after one subcommand run over aged per-invocation entries."""
    now = time.time()
    for name, age_days, _ in SWEEP_CASES:
        entry = wine_temp / name
        if name.endswith(".txt"):
            entry.write_text("old")
        else:
            # Content below the entry must go with it.
            (entry / "logs").mkdir(parents=True, exist_ok=True)
            (entry / "logs" / "installer.log").write_text("old\n")
        stamp = now - age_days * DAY
        os.utime(entry, (stamp, stamp))
    engine("hello")
    return wine_temp


@pytest.mark.parametrize("name, age_days, removed", SWEEP_CASES, ids=[c[0] for c in SWEEP_CASES])
def test_subcommand_sweeps_week_old_invocation_folders(swept_temp, name, age_days, removed):
    assert (swept_temp / name).exists() != removed
