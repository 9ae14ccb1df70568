#!/usr/bin/env python3
"""How long `hello` takes next to a trivial exe in the same warm Wine prefix.

Runs both programs alternately and prints their medians and the ratio, so the
figure does not depend on how fast this machine happens to be today.
Usage: bench/hello_latency.py [RUNS]   (YOXA_WINDOWS_BUILD, WINEPREFIX optional)
"""
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

root = pathlib.Path(__file__).resolve().parent.parent
build = pathlib.Path(os.environ.get("YOXA_WINDOWS_BUILD", root / "build" / "windows"))
engine = build / "YoxaOfficeInstaller.exe"
trivial = build / "tests" / "support" / "fake_shell.exe"
runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20

env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
env.pop("DISPLAY", None)
own_prefix = "WINEPREFIX" not in os.environ
if own_prefix:
    env["WINEPREFIX"] = tempfile.mkdtemp(prefix="yoxa-bench-") + "/prefix"
    os.mkdir(env["WINEPREFIX"])
# One persistent server for every run (it is refused when one already serves the prefix).
subprocess.run(["wineserver", "-p"], env=env, check=False)
if own_prefix:
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def timed(command):
    start = time.perf_counter()
    # Not pipes: Wine's background services could inherit and hold them open.
    subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


commands = {
    "trivial exe": ["wine", str(trivial), "out ok"],
    "hello": ["wine", str(engine), "hello"],
}
for command in commands.values():  # warm the caches
    timed(command)
samples = {name: [] for name in commands}
for _ in range(runs):
    for name, command in commands.items():
        samples[name].append(timed(command))

medians = {name: statistics.median(values) for name, values in samples.items()}
for name, value in medians.items():
    print(f"{name:12s} median {value * 1000:7.1f} ms over {runs} runs")
print(f"hello / trivial exe: {medians['hello'] / medians['trivial exe']:.2f}x")
if own_prefix:
    subprocess.run(["wineserver", "-k"], env=env, check=False)
