#!/usr/bin/env python3
"""Download throughput of the engine's downloader next to curl, in one run.

nginx (the test CDN fixture) serves one file (1 GiB by default) over loopback HTTPS;
it is fetched by `curl -o`, by the downloader of the optimised native build (libcurl),
by the downloader of the Windows build under Wine (WinHTTP) and by a bare WinHTTP read
loop in the same prefix (what Wine's WinHTTP can do at all). The contestants take turns
over several rounds, in a rotated order; each written file is deleted and flushed away
(sync) before the next contestant starts, so no writer pays for another's writeback.
Prints each contestant's median throughput with its spread, the ratios of the medians
and the peak resident set the downloaders report themselves (under Wine the peak working
set, which includes Wine's own libraries).

Usage: bench/download.py [SIZE_MIB] [ROUNDS]   (default 1024 MiB, 3 rounds)
Builds used: YOXA_NATIVE_BUILD (build/linux-release, must be optimised), YOXA_WINDOWS_BUILD
(build/windows-test).
"""
import os
import re
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "servers"))
import pki  # noqa: E402
from cdn import CdnServer  # noqa: E402

size_mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
native = pathlib.Path(os.environ.get("YOXA_NATIVE_BUILD", ROOT / "build" / "linux-release"))
windows = pathlib.Path(os.environ.get("YOXA_WINDOWS_BUILD", ROOT / "build" / "windows-test"))
work = pathlib.Path(tempfile.mkdtemp(prefix="yoxa-bench-download-"))


def build_type(build):
    cache = build / "CMakeCache.txt"
    found = re.search(r"^CMAKE_BUILD_TYPE:\w+=(\w*)$", cache.read_text(), re.M) if cache.is_file() else None
    return found.group(1) if found else ""


def run_measured(command, env=None):
    """Wall time of one child process, and the peak RSS it reports itself (KiB) if it does."""
    start = time.perf_counter()
    completed = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if completed.returncode != 0:
        raise SystemExit(f"failed: {' '.join(map(str, command))}")
    peak = re.search(rb"peak VmHWM:\s+(\d+) kB", completed.stderr)
    return elapsed, int(peak.group(1)) if peak else None


def clear():
    """Removes every written file and waits until the deletion has reached the disk."""
    for path in work.glob("out-*"):
        path.unlink()
    os.sync()


def wine_env():
    env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


optimised = build_type(native) in ("Release", "RelWithDebInfo")
if not optimised:
    print(f"{native} is not an optimised build: the native downloader is left out (configure the "
          "linux-release preset, or point YOXA_NATIVE_BUILD at one, and build download_tool)")
try:
    identity = pki.generate(work / "pki").trusted
    server = CdnServer(identity, work / "cdn")
    server.start()
    chunk = os.urandom(1024 * 1024)
    package = server.put("bench/big.bin", b"")
    with package.open("wb") as out:
        for _ in range(size_mib):
            out.write(chunk)
    url = server.url("/bench/big.bin")
    size = size_mib * 1024 * 1024
    quit_file = work / "run.quit"
    quit_file.write_text("")
    native_env = dict(os.environ, YOXA_TEST_CA_BUNDLE=str(identity.ca_pem))
    tool = native / "tests" / "support" / "download_tool"
    z = lambda p: "Z:" + str(p).replace("/", "\\")  # noqa: E731

    contestants = {
        "curl": (["curl", "-sS", "--cacert", str(identity.ca_pem), "-o", str(work / "out-curl")], None),
    }
    contestants["curl"][0].append(url)
    if optimised:
        contestants["native downloader"] = ([str(tool), url, str(work / "out-n.partial"), str(work / "out-n"),
                                             str(quit_file), "--trust", "localhost"], native_env)
    tool_exe = windows / "tests" / "support" / "download_tool.exe"
    if shutil.which("wine") and tool_exe.is_file():
        env = wine_env()
        os.mkdir(env["WINEPREFIX"])
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wine", str(windows / "tests" / "support" / "certtrust.exe"), "add", z(identity.ca_der)],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        run_measured(["wine", str(windows / "tests" / "support" / "fake_shell.exe"), "out x"], env)  # warm the prefix
        contestants["Wine downloader"] = (["wine", str(tool_exe), url, z(work / "out-w.partial"), z(work / "out-w"),
                                           z(quit_file), "--trust", "localhost"], env)
        contestants["Wine bare WinHTTP"] = (["wine", str(windows / "tests" / "support" / "https_probe.exe"), url,
                                             "--out", z(work / "out-p")], env)

    samples = {name: [] for name in contestants}
    peaks = {}
    names = list(contestants)
    for index in range(rounds):
        order = names[index % len(names):] + names[:index % len(names)]
        for name in order:
            clear()
            command, env = contestants[name]
            seconds, rss = run_measured(command, env)
            samples[name].append(seconds)
            if rss:
                peaks[name] = max(peaks.get(name, 0), rss)
    clear()
    if "Wine downloader" in contestants:
        subprocess.run(["wineserver", "-k"], env=contestants["Wine downloader"][1], check=False)

    rates = {name: [size / s / 1048576 for s in values] for name, values in samples.items()}
    median = {name: statistics.median(values) for name, values in rates.items()}
    print(f"file: {size_mib} MiB over loopback HTTPS from nginx, {rounds} rounds, native build {build_type(native)}")
    for name, values in rates.items():
        print(f"{name:18s} median {median[name]:7.1f} MiB/s (min {min(values):.1f}, max {max(values):.1f})  "
              f"ratio to curl {median[name] / median['curl']:5.2f}")
    for name, peak in peaks.items():
        print(f"{name} peak resident set {peak / 1024:.1f} MiB")
    if "Wine bare WinHTTP" in median:
        per_round = [w / p for w, p in zip(rates["Wine downloader"], rates["Wine bare WinHTTP"])]
        print(f"Wine downloader / bare WinHTTP loop: {median['Wine downloader'] / median['Wine bare WinHTTP']:.2f} "
              f"(per round {', '.join(f'{r:.2f}' for r in per_round)})")
finally:
    try:
        server.stop()
    except NameError:
        pass
    shutil.rmtree(work, ignore_errors=True)
