#!/usr/bin/env python3
"""A run of several apps with and without the download-ahead, side by side.

nginx (the test CDN fixture) serves each app's package at a throttled rate, and every
installer takes as long as one download (tests/support/multi_app_probe: the real online
provider, downloader and install pipeline of the native build, installers that only
sleep). Two- and four-app runs alternate between sequential (download-ahead off) and
download-ahead over several rounds, each in a fresh staging directory; medians with
their spread and the ratio to the sequential time are printed.

With downloads overlapping installs only, n apps whose download takes d and whose
install takes i cannot beat d + n*i against n*(d+i) sequentially: with d = i that is
0.75 for two apps and 0.625 for four, also printed.

Usage: bench/multi_app.py [ROUNDS] [SIZE_MIB]   (default 3 rounds, 4 MiB at 4 MiB/s)
Build used: YOXA_NATIVE_BUILD (build/linux-release).
"""
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "servers"))
import pki  # noqa: E402
from cdn import CdnServer, throttled_name  # noqa: E402

rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
size_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 4
rate = 4 * 1024 * 1024  # bytes per second
install_ms = int(size_mib * 1024 * 1024 / rate * 1000)
native = pathlib.Path(os.environ.get("YOXA_NATIVE_BUILD", ROOT / "build" / "linux-release"))
probe = native / "tests" / "support" / "multi_app_probe"
config = ROOT / "config" / "installer_config.test.json"
FORMATS = {"quill": "msi", "abacus": "msix", "lumen": "msixbundle", "folio": "msi"}
SELECTIONS = {"2 apps": ["quill", "abacus"], "4 apps": ["quill", "abacus", "lumen", "folio"]}
work = pathlib.Path(tempfile.mkdtemp(prefix="yoxa-bench-multi-"))


def run(apps, sequential):
    staging = work / "staging"
    shutil.rmtree(staging, ignore_errors=True)
    command = [str(probe), str(config), str(staging), str(install_ms), *apps] + (["--sequential"] if sequential else [])
    env = dict(os.environ, YOXA_TEST_CA_BUNDLE=str(identity.ca_pem))
    completed = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
    line = json.loads(completed.stdout.decode().splitlines()[-1])
    if os.environ.get("YOXA_BENCH_KEEP"):
        shutil.copytree(staging / "logs", pathlib.Path(os.environ["YOXA_BENCH_KEEP"]) / f"{len(apps)}-{sequential}",
                        dirs_exist_ok=True)
    if completed.returncode != 0 or any(not r.endswith(" installed") for r in line["results"]):
        raise SystemExit(f"run failed: {line} {completed.stderr.decode(errors='replace')[-2000:]}")
    return line["seconds"]


def spread(values):
    return f"median {statistics.median(values):6.2f} s (min {min(values):.2f}, max {max(values):.2f})"


if not probe.is_file():
    raise SystemExit(f"{probe} not found: build the multi_app_probe target of an optimised native preset")
try:
    identity = pki.generate(work / "pki").trusted
    server = CdnServer(identity, work / "cdn", throttle_rate=rate)
    server.start()
    for app, fmt in FORMATS.items():
        server.publish(app, fmt, "1.0.0", files={throttled_name(f"{app}.{fmt}"): os.urandom(size_mib * 1024 * 1024)})
    print(f"each package {size_mib} MiB at {rate // 1048576} MiB/s, each installer {install_ms} ms, {rounds} rounds")
    for label, apps in SELECTIONS.items():
        samples = {"sequential": [], "download-ahead": []}
        for index in range(rounds):
            # Alternate which goes first, so neither always runs on a warmer machine.
            order = [True, False] if index % 2 == 0 else [False, True]
            for sequential in order:
                samples["sequential" if sequential else "download-ahead"].append(run(apps, sequential))
        n = len(apps)
        for name, values in samples.items():
            print(f"{label} {name:15s} {spread(values)}")
        ratio = statistics.median(samples["download-ahead"]) / statistics.median(samples["sequential"])
        print(f"{label} ratio download-ahead / sequential {ratio:.2f} (best possible with overlapped installs "
              f"{(n + 1) / (2 * n):.3f})")
finally:
    try:
        server.stop()
    except NameError:
        pass
    shutil.rmtree(work, ignore_errors=True)
