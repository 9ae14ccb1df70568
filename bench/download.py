#!/usr/bin/env python3
"""Download throughput of the engine's downloader next to curl, in one run.

nginx (the test CDN fixture) serves one 1 GiB file over loopback HTTPS; it is
fetched by `curl -o`, by the downloader of the native build (libcurl) and by the
downloader of the Windows build under Wine (WinHTTP). Prints each throughput, the
ratios against curl and the native downloader's peak RSS.

Usage: bench/download.py [SIZE_MIB]   (default 1024)
Builds used: YOXA_NATIVE_BUILD (build/linux), YOXA_WINDOWS_BUILD (build/windows-test).
"""
import os
import re
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "servers"))
import pki  # noqa: E402
from cdn import CdnServer  # noqa: E402

size_mib = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
native = pathlib.Path(os.environ.get("YOXA_NATIVE_BUILD", ROOT / "build" / "linux"))
windows = pathlib.Path(os.environ.get("YOXA_WINDOWS_BUILD", ROOT / "build" / "windows-test"))
work = pathlib.Path(tempfile.mkdtemp(prefix="yoxa-bench-download-"))


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


def wine_env():
    env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


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
    results = {}

    target = work / "curl.bin"
    results["curl"] = run_measured(["curl", "-sS", "--cacert", str(identity.ca_pem), "-o", str(target), url])
    target.unlink()

    quit_file = work / "run.quit"
    quit_file.write_text("")
    tool = native / "tests" / "support" / "download_tool"
    env = dict(os.environ, YOXA_TEST_CA_BUNDLE=str(identity.ca_pem))
    results["native downloader"] = run_measured(
        [str(tool), url, str(work / "n.partial"), str(work / "n.bin"), str(quit_file), "--trust", "localhost"], env)
    (work / "n.bin").unlink()

    tool_exe = windows / "tests" / "support" / "download_tool.exe"
    if shutil.which("wine") and tool_exe.is_file():
        env = wine_env()
        os.mkdir(env["WINEPREFIX"])
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        z = lambda p: "Z:" + str(p).replace("/", "\\")
        subprocess.run(["wine", str(windows / "tests" / "support" / "certtrust.exe"), "add", z(identity.ca_der)],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        run_measured(["wine", str(windows / "tests" / "support" / "fake_shell.exe"), "out x"],
                     env)  # warm the prefix
        results["Wine downloader"] = run_measured(
            ["wine", str(tool_exe), url, z(work / "w.partial"), z(work / "w.bin"), z(quit_file), "--trust",
             "localhost"], env)
        (work / "w.bin").unlink()
        # A bare WinHTTP read loop in the same prefix: what Wine's WinHTTP can do at all.
        results["Wine plain WinHTTP"] = run_measured(
            ["wine", str(windows / "tests" / "support" / "https_probe.exe"), url, "--out", z(work / "p.bin")], env)
        subprocess.run(["wineserver", "-k"], env=env, check=False)

    curl_rate = size / results["curl"][0]
    print(f"file: {size_mib} MiB over loopback HTTPS from nginx")
    for name, (seconds, rss) in results.items():
        rate = size / seconds
        peak = f"  peak RSS {rss / 1024:5.1f} MiB" if rss else ""
        print(f"{name:18s} {seconds:6.2f} s  {rate / 1048576:7.1f} MiB/s  ratio to curl {rate / curl_rate:5.2f}{peak}")
    if "Wine plain WinHTTP" in results:
        print(f"Wine downloader / plain WinHTTP loop: "
              f"{results['Wine plain WinHTTP'][0] / results['Wine downloader'][0]:.2f}")
finally:
    try:
        server.stop()
    except NameError:
        pass
    shutil.rmtree(work, ignore_errors=True)
