#!/usr/bin/env python3
"""What a one-app install run costs beyond its download and its msiexec, in one Wine prefix.

nginx (the test CDN fixture) serves a signed sample quill package. Over several rounds, in
a rotated order, the same prefix runs: the download alone (the engine's downloader,
download_tool.exe), msiexec alone (the engine's arguments, then uninstalled again), and
`YoxaOfficeInstaller.exe run --action install --apps quill` (uninstalled and its staging
directory emptied afterwards). Prints the medians with their spread and the engine's
overhead: run - download - msiexec. The worker's log of the last run is printed too, its
timestamps show where the rest goes. The test configuration signs meta.json, so each run
also reports, from its log, the metadata lookup: from the meta.json request to the
accepted signature (both GETs, meta.json and meta.json.sig, and the check).

The prefix has the PowerShell stand-in of the Wine tests: on Windows each PowerShell call
costs the start of a real PowerShell on top of what is measured here.

Usage: bench/install_overhead.py [ROUNDS] [PADDING_MIB]   (default 5 rounds, 8 MiB package)
Build used: YOXA_WINDOWS_BUILD (build/windows-test).
"""
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
for folder in ("tests/servers", "tests/e2e"):
    sys.path.insert(0, str(ROOT / folder))
import codesign  # noqa: E402
import pki  # noqa: E402
from cdn import CdnServer  # noqa: E402
from install_fixtures import build_app_msi  # noqa: E402
from packages import QUILL  # noqa: E402

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
padding_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 8
build = pathlib.Path(os.environ.get("YOXA_WINDOWS_BUILD", ROOT / "build" / "windows-test"))
support = build / "tests" / "support"
work = pathlib.Path(tempfile.mkdtemp(prefix="yoxa-bench-install-"))
env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
for name in ("DISPLAY", "WAYLAND_DISPLAY"):
    env.pop(name, None)


def z(path):
    return "Z:" + str(path).replace("/", "\\")


def quiet(*command, check=True):
    """A Wine program with its output to DEVNULL: Wine's services could hold a pipe open."""
    start = time.perf_counter()
    completed = subprocess.run(["wine", *map(str, command)], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
    if check and completed.returncode != 0:
        raise SystemExit(f"failed ({completed.returncode}): {' '.join(map(str, command))}")
    return time.perf_counter() - start


STAMP = re.compile(r"^\[\w+ +(\d+):(\d+\.\d+)\] (.*)$")


def metadata_lookup_seconds(log_text):
    """From the worker log: the first meta.json request to its accepted signature."""
    stamps = {}
    for line in log_text.splitlines():
        match = STAMP.match(line)
        if not match:
            continue
        at = int(match[1]) * 60 + float(match[2])
        if match[3].startswith("CDN meta URL for"):
            stamps.setdefault("asked", at)
        elif " is signed by configured key " in match[3]:
            stamps.setdefault("accepted", at)
    return stamps["accepted"] - stamps["asked"] if len(stamps) == 2 else None


def spread(values):
    return f"median {statistics.median(values):6.2f} s (min {min(values):.2f}, max {max(values):.2f})"


try:
    tls = pki.generate(work / "pki")
    signing = codesign.generate(work / "codesign")
    built = build_app_msi(QUILL, "1.4.2", work / "package", padding_mib * 1048576)
    codesign.sign(built.path, signing.yoxa)
    server = CdnServer(tls.trusted, work / "cdn")
    server.start()
    published = server.publish("quill", "msi", "1.4.2", files={"quill-1.4.2.msi": built.path})

    os.mkdir(env["WINEPREFIX"])
    subprocess.run(["wineserver", "-p"], env=env, check=True)
    quiet("wineboot", "-i")
    quiet("winecfg", "/v", "win10", check=False)
    quiet(support / "certtrust.exe", "add", z(tls.trusted.ca_der))
    powershell = pathlib.Path(env["WINEPREFIX"]) / "drive_c/windows/system32/WindowsPowerShell/v1.0"
    powershell.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(support / "powershell_standin.exe", powershell / "powershell.exe")
    quiet(support / "fake_shell.exe", "out x")  # warm the prefix
    local = next((pathlib.Path(env["WINEPREFIX"]) / "drive_c/users").glob("*/AppData/Local"))
    # A Wine worker is elevated: builds that keep an elevated worker out of the user's profile stage
    # and log in the machine base, older ones in the user's; both are emptied so either compares.
    bases = [local / "Yoxa" / "YoxaOffice", pathlib.Path(env["WINEPREFIX"]) / "drive_c/ProgramData/Yoxa/YoxaOffice"]
    package = work / "quill.msi"
    shutil.copyfile(built.path, package)
    quit_file = work / "run.quit"

    def download():
        quit_file.write_text("")
        seconds = quiet(support / "download_tool.exe", published.package_url, z(work / "d.partial"),
                        z(work / "d.msi"), z(quit_file), "--trust", "localhost")
        (work / "d.msi").unlink()
        return seconds

    def uninstall():
        quiet("msiexec", "/x", z(package), "/qn", "/norestart")

    def msiexec():
        seconds = quiet("msiexec", "/i", z(package), "/L*V", z(work / "msiexec.log"), "/qn", "/norestart",
                        "MSIINSTALLPERUSER=1")
        uninstall()
        return seconds

    lookups = []

    def run():
        seconds = quiet(build / "YoxaOfficeInstaller.exe", "run", "--action", "install", "--apps", "quill")
        # The worker's log is in whichever base this build logs to.
        log = next((b / "logs" / "installer.log" for b in bases if (b / "logs" / "installer.log").exists()), None)
        lookup = metadata_lookup_seconds(log.read_text(errors="replace")) if log else None
        if lookup is not None:
            lookups.append(lookup)
        uninstall()
        for base in bases:
            shutil.rmtree(base / "installer", ignore_errors=True)
        return seconds

    def forget_logs():
        for base in bases:
            (base / "logs" / "installer.log").unlink(missing_ok=True)

    steps = {"download alone": download, "msiexec alone": msiexec, "engine run": run}
    samples = {name: [] for name in steps}
    names = list(steps)
    forget_logs()
    for index in range(rounds):
        for name in names[index % 3:] + names[:index % 3]:
            if name == "engine run":
                forget_logs()
            samples[name].append(steps[name]())

    print(f"quill package {published.size / 1048576:.1f} MiB, {rounds} rounds, one prefix")
    for name, values in samples.items():
        print(f"{name:15s} {spread(values)}")
    overheads = [r - d - m for r, d, m in zip(samples["engine run"], samples["download alone"],
                                              samples["msiexec alone"])]
    median = {name: statistics.median(values) for name, values in samples.items()}
    print(f"engine overhead (run - download - msiexec) "
          f"{median['engine run'] - median['download alone'] - median['msiexec alone']:.2f} s of medians; "
          f"per round {spread(overheads)}")
    if lookups:
        print(f"signed metadata lookup (meta.json + meta.json.sig + check) {spread(lookups)}")
    print("worker log of the last run:")
    for base in bases:
        if (base / "logs" / "installer.log").exists():
            print((base / "logs" / "installer.log").read_text(errors="replace"))
finally:
    try:
        server.stop()
    except NameError:
        pass
    if "WINEPREFIX" in env and pathlib.Path(env["WINEPREFIX"]).exists():
        subprocess.run(["wineserver", "-k"], env=env, check=False)
    shutil.rmtree(work, ignore_errors=True)
