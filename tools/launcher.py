#!/usr/bin/python3
"""A terminal launcher for YoxaOfficeInstaller.exe: drives the engine as the
graphical launcher does and shows what it reports.

    tools/launcher.py [--engine EXE] [--raw] hello
    tools/launcher.py [--engine EXE] [--raw] check-updates [--apps quill,folio]
    tools/launcher.py [--engine EXE] [--raw] run --action install|update|uninstall
                      [--apps quill,folio] [--scope user|machine] [--strict]
    tools/launcher.py [--engine EXE] [--raw] disk-free [--path C:\\]
    tools/launcher.py [--engine EXE] [--raw] export-logs [--out DIR]

A run shows one live progress bar per app with its stage and sizes, then the
results table and the exit code. Ctrl-C during a run writes the cancel command to
the engine's standard input; the engine stops at its next checkpoint and reports
the remaining apps as cancelled. --raw prints the engine's JSON lines as they come
and nothing else on standard output; the launcher's own lines (the exit code, the
engine's standard error, notices) then go to standard error, so the output can be
piped into a JSON reader.

The engine is EXE, else $YOXA_ENGINE, else build/windows/YoxaOfficeInstaller.exe.
A .exe is run under Wine ($WINE, else wine on PATH) when this is not Windows.
The launcher exits with the engine's exit code.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from rich.console import Console
from rich.progress import BarColumn, Progress, ProgressColumn, TaskProgressColumn, TextColumn
from rich.table import Table
from rich.text import Text

REPO_ROOT = Path(__file__).resolve().parents[1]
DEFAULT_ENGINE = REPO_ROOT / "build" / "windows" / "YoxaOfficeInstaller.exe"
CANCEL_LINE = '{"type":"cancel"}\n'

STATUS_STYLE = {"installed": "green", "updated": "green", "uninstalled": "green", "already_absent": "green",
                "skipped": "yellow", "cancelled": "yellow", "failed": "bold red"}
LEVEL_STYLE = {"error": "bold red", "warn": "yellow", "info": "dim"}
DETAIL_WORDS = {"CHECKING": "checking", "DOWNLOADING": "downloading", "VERIFYING": "verifying",
                "INSTALLING": "installing", "UNINSTALLING": "uninstalling"}


def human_bytes(count: Optional[int]) -> str:
    if count is None:
        return "—"
    size = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return f"{count} B"


def engine_command(engine: Path, args: Sequence[str]) -> List[str]:
    if engine.suffix.lower() == ".exe" and os.name != "nt":
        wine = os.environ.get("WINE") or shutil.which("wine")
        if not wine:
            raise SystemExit("launcher.py: wine is needed to run a .exe here (see scripts/install-deps.sh)")
        return [wine, str(engine), *args]
    return [str(engine), *args]


class SizesColumn(ProgressColumn):
    """Bytes downloaded of the total, while a download reports them."""

    def render(self, task) -> Text:
        done, total = task.fields.get("downloaded"), task.fields.get("total_bytes")
        if done is None:
            return Text("")
        return Text(f"{human_bytes(done)} / {human_bytes(total)}" if total else human_bytes(done), style="cyan")


class RunView:
    """The live view of a run: one bar per app with its stage, what it is doing and
    the sizes; log lines print above the bars."""

    def __init__(self, console: Console):
        self.console = console
        self.progress = Progress(TextColumn("{task.description:<8}", style="bold", markup=False),
                                 TextColumn("{task.fields[stage]:<10}{task.fields[detail]:<22}", markup=False),
                                 BarColumn(bar_width=24), TaskProgressColumn(), SizesColumn(), console=console,
                                 transient=False, refresh_per_second=8)
        self.tasks: Dict[str, int] = {}

    def __enter__(self):
        self.progress.start()
        return self

    def __exit__(self, *exc):
        self.progress.stop()

    def task(self, app: str) -> int:
        if app not in self.tasks:
            self.tasks[app] = self.progress.add_task(app, total=100, stage="", detail="waiting", downloaded=None,
                                                     total_bytes=None)
        return self.tasks[app]

    def event(self, event: dict) -> None:
        kind = event.get("type")
        if kind == "stage":
            self.progress.update(self.task(event["app"]), stage=str(event.get("stage")))
        elif kind == "progress":
            args = event.get("detailArgs") or {}
            code = str(event.get("detailCode", ""))
            update = {"completed": event.get("percent", 0), "detail": DETAIL_WORDS.get(code, code.lower())}
            # The sizes stay on the bar after the download, for the later stages.
            if "downloadedBytes" in args:
                update.update(downloaded=args["downloadedBytes"], total_bytes=args.get("totalBytes"))
            self.progress.update(self.task(event["app"]), **update)
        elif kind == "app-result":
            status = event.get("status", "?")
            detail = status if not event.get("errorCode") else f"{status} ({event['errorCode']})"
            update = {"detail": detail}
            if status not in ("failed", "cancelled"):
                update["completed"] = 100
            self.progress.update(self.task(event["app"]), **update)
        elif kind == "prompt":
            self.console.print("The engine asks for administrator rights: confirm the system dialog.", style="yellow")
        elif kind == "log":
            show_log(self.console, event)


def show_log(console: Console, event: dict) -> None:
    level = event.get("level", "info")
    console.print(Text(f"{level}: {event.get('message', '')}", style=LEVEL_STYLE.get(level, "")))


def results_table(results: List[dict]) -> Table:
    table = Table(title="Results")
    for column in ("App", "Status", "Error", "Version", "Installed at"):
        table.add_column(column)
    for result in results:
        status = result.get("status", "?")
        table.add_row(result.get("app", "?"), Text(status, style=STATUS_STYLE.get(status, "")),
                      result.get("errorCode") or "", result.get("installedVersion") or "",
                      result.get("installedPath") or "")
    return table


HELLO_COLUMNS = [("App", "id"), ("Name", "displayName"), ("Installed", "installedVersion"), ("Source", "source"),
                 ("Needs", "sizeBytes"), ("Installed at", "installedPath")]
INSTALLED_COLUMNS = [("App", "id"), ("Installed", "installedVersion"), ("Source", "source"),
                     ("Installed at", "installedPath")]
LATEST_COLUMNS = [("App", "id"), ("Latest", "latestVersion"), ("Update", "updateAvailable"), ("Size", "sizeBytes")]


def apps_table(title: str, apps: List[dict], columns) -> Table:
    table = Table(title=title)
    present = [(title_, key) for title_, key in columns if any(key in app for app in apps)]
    for title_, _ in present:
        table.add_column(title_)
    for app in apps:
        cells = []
        for _, key in present:
            value = app.get(key)
            if key == "sizeBytes":
                cells.append(human_bytes(value))
            elif key == "updateAvailable":
                cells.append("yes" if value else "no" if key in app else "")
            else:
                cells.append("" if value is None else str(value))
        table.add_row(*cells)
    return table


def show_retired(console: Console, retired: Optional[dict]) -> None:
    if retired:
        until = f" on {retired['expiresOn']}" if retired.get("expiresOn") else ""
        console.print(f"This installer is retired ({retired.get('reason')}{until}). "
                      f"Download a current one from {retired.get('downloadUrl')}", style="bold red")


def show_answer(console: Console, event: dict) -> None:
    """The answers of the read-only subcommands."""
    kind = event.get("type")
    if kind == "hello":
        console.print(f"Engine {event.get('engineVersion')} on {event.get('platform')}, mode {event.get('mode')}, "
                      f"scope {event.get('installScope')}; can: {', '.join(event.get('capabilities', []))}")
        console.print(apps_table("Apps", event.get("apps", []), HELLO_COLUMNS))
        show_retired(console, event.get("installerRetired"))
    elif kind == "update-check-result":
        apps = event.get("apps", [])
        complete = any("sizeBytes" in app for app in apps)
        console.print(apps_table("Latest versions", apps, LATEST_COLUMNS) if complete
                      else apps_table("Installed", apps, INSTALLED_COLUMNS))
        for app in apps:
            for release in app.get("releaseNotes", []):
                console.print(f"{app.get('id')} {release.get('version')} ({release.get('date') or 'no date'})", style="bold")
                for note in release.get("notes", []):
                    console.print(f"  • {note}")
        if event.get("missingFrameworks"):
            console.print(f"Missing frameworks: {', '.join(event['missingFrameworks'])}")
        show_retired(console, event.get("installerRetired"))
    elif kind == "disk-free-result":
        console.print(f"Free space at {event.get('path')}: {human_bytes(event.get('freeBytes'))}")
    elif kind == "export-logs-result":
        if event.get("path"):
            console.print(f"Logs exported to {event['path']}")
        else:
            console.print(f"Log export failed: {event.get('errorCode')}", style="red")
    elif kind == "log":
        show_log(console, event)


class Engine:
    """The engine process: stdout read line by line; stdin open during a run for cancel."""

    def __init__(self, command: List[str], with_stdin: bool):
        # A session of its own: the terminal's Ctrl-C reaches only this launcher,
        # which turns it into the cancel command instead of killing the engine.
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE if with_stdin else subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.cancel_sent = False
        self._stderr: List[bytes] = []
        self._stderr_reader = threading.Thread(target=lambda: self._stderr.extend(self.process.stderr), daemon=True)
        self._stderr_reader.start()

    def lines(self):
        for raw in self.process.stdout:
            yield raw.decode("utf-8", errors="replace").rstrip("\n")

    def cancel(self) -> bool:
        if self.process.stdin is None or self.process.poll() is not None:
            return False
        try:
            self.process.stdin.write(CANCEL_LINE.encode())
            self.process.stdin.flush()
        except (BrokenPipeError, OSError):
            return False
        self.cancel_sent = True
        return True

    def finish(self) -> Tuple[int, str]:
        if self.process.stdin:
            try:
                self.process.stdin.close()
            except OSError:
                pass
        code = self.process.wait()
        self._stderr_reader.join(timeout=5)
        return code, b"".join(self._stderr).decode("utf-8", errors="replace")


def drive(engine: Engine, console: Console, raw: bool, is_run: bool) -> int:
    # With --raw, standard output carries only the engine's lines.
    notices = Console(stderr=True, highlight=False, markup=False) if raw else console

    def on_interrupt(*_):
        if engine.cancel():
            notices.print("Cancelling: the engine stops at its next checkpoint…", style="yellow")

    previous = signal.signal(signal.SIGINT, on_interrupt) if is_run else None
    done: Optional[dict] = None
    view = RunView(console) if is_run and not raw else None
    try:
        if view:
            view.__enter__()
        for line in engine.lines():
            if raw:
                console.out(line, highlight=False)
                continue
            try:
                event = json.loads(line)
            except ValueError:
                # The help text, or a stray line: shown without terminal control characters.
                console.out("".join(c if c.isprintable() else "\ufffd" for c in line), highlight=False)
                continue
            if not isinstance(event, dict):
                continue
            if event.get("type") == "done":
                done = event
            elif view:
                view.event(event)
            else:
                show_answer(console, event)
    except KeyboardInterrupt:
        # Only outside a run: the read-only commands have nothing to cancel.
        engine.process.kill()
        engine.finish()
        notices.print("Interrupted.", style="yellow")
        return 130
    finally:
        if view:
            view.__exit__(None, None, None)
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
    code, stderr = engine.finish()
    if stderr.strip():
        notices.print(Text(stderr.rstrip(), style="red"))
    if done is not None and not raw:
        if done.get("results"):
            console.print(results_table(done["results"]))
        show_retired(console, done.get("installerRetired"))
        console.print(f"{done.get('action')} finished.")
    # With --raw the line goes to standard error: standard output stays JSON lines only.
    notices.print(f"Exit code {code}", highlight=False)
    return code


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="launcher.py", description=__doc__.split("\n\n")[0],
                                     epilog="\n\n".join(__doc__.split("\n\n")[2:]),
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--engine", type=Path, help="YoxaOfficeInstaller.exe (or a native engine)")
    parser.add_argument("--raw", action="store_true", help="print the engine's JSON lines instead of the views")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("hello")
    check = commands.add_parser("check-updates")
    check.add_argument("--apps")
    run = commands.add_parser("run")
    run.add_argument("--action", required=True, choices=["install", "update", "uninstall"])
    run.add_argument("--apps")
    run.add_argument("--scope", choices=["user", "machine"])
    run.add_argument("--strict", action="store_true")
    disk = commands.add_parser("disk-free")
    disk.add_argument("--path")
    export = commands.add_parser("export-logs")
    export.add_argument("--out")
    return parser.parse_args(argv)


def engine_arguments(args: argparse.Namespace) -> List[str]:
    words = [args.command]
    for name in ("action", "apps", "scope", "path", "out"):
        value = getattr(args, name, None)
        if value:
            words += [f"--{name}", value]
    if getattr(args, "strict", False):
        words += ["--strict", "true"]
    return words


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    engine_path = args.engine or Path(os.environ.get("YOXA_ENGINE", DEFAULT_ENGINE))
    if not engine_path.is_file():
        print(f"launcher.py: no engine at {engine_path} (build it, or give --engine)", file=sys.stderr)
        return 3
    console = Console(highlight=False, markup=False)
    is_run = args.command == "run"
    engine = Engine(engine_command(engine_path, engine_arguments(args)), with_stdin=is_run)
    return drive(engine, console, args.raw, is_run)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (say, | head)
        sys.exit(141)
