#!/usr/bin/env python3
"""How long `hello` takes next to a trivial exe in the same warm Wine prefix.

Runs both programs alternately and prints their medians with their spread and the
ratios, so the figure does not depend on how fast this machine happens to be today.
For `hello` both the time to its `done` line (what the launcher waits for) and the
time to the end of the process (the log file complete) are measured.
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
    """(time to the done line or None, time to the process end)."""
    start = time.perf_counter()
    done = None
    # The pipe is read up to the done line and then only the process is waited for, never
    # the pipe's end: Wine's background services could inherit it and hold it open.
    child = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    for line in child.stdout:
        if b'"type":"done"' in line:
            done = time.perf_counter() - start
            break
    child.wait()
    end = time.perf_counter() - start
    child.stdout.close()
    return done, end


commands = {
    "trivial exe": ["wine", str(trivial), "out ok"],
    "hello": ["wine", str(engine), "hello"],
}
for command in commands.values():  # warm the caches
    timed(command)
samples = {"trivial exe": [], "hello done line": [], "hello process end": []}
for _ in range(runs):
    samples["trivial exe"].append(timed(commands["trivial exe"])[1])
    done, end = timed(commands["hello"])
    if done is None:
        raise SystemExit("hello wrote no done line")
    samples["hello done line"].append(done)
    samples["hello process end"].append(end)

medians = {name: statistics.median(values) for name, values in samples.items()}
for name, values in samples.items():
    print(f"{name:17s} median {medians[name] * 1000:7.1f} ms (min {min(values) * 1000:.1f}, "
          f"max {max(values) * 1000:.1f}) over {runs} runs")
print(f"hello done line / trivial exe: {medians['hello done line'] / medians['trivial exe']:.2f}x")
print(f"hello process end / trivial exe: {medians['hello process end'] / medians['trivial exe']:.2f}x")
if own_prefix:
    subprocess.run(["wineserver", "-k"], env=env, check=False)
