"""The command runner under Wine, with the fake shell standing in for PowerShell:
trimmed output, failure texts, the time limit, and draining of large output."""

import json
import subprocess
import time

import pytest


@pytest.fixture(scope="module")
def run_script(wine, support_exe):
    probe = support_exe("runner_probe.exe")
    shell = wine.windows_path(support_exe("fake_shell.exe"))

    def run(script: str, limit: int, shell_path: str = shell) -> dict:
        result = wine.run(probe, shell_path, str(limit), script)
        assert result.code == 0, result.stderr
        return json.loads(result.stdout)

    return run


def succeeded(output):
    return {"ok": True, "output": output, "message": None, "detail": None}


def failed(message, detail=None):
    return {"ok": False, "output": None, "message": message, "detail": detail or message}


@pytest.mark.parametrize(
    "script, expected",
    [
        ("out ABC", succeeded("ABC")),
        ("out   padded  ; err only a warning", succeeded("padded")),
        ("exit 0", succeeded("")),
        ("exit 1", failed("Command Failed: exit code: 1")),
        ("out partial; exit 3", failed("Command Failed: exit code: 3")),
        ("err boom; exit 2", failed("Command Failed: exit code: 2", "boom")),
        ("exit 0x80070005", failed("Command Failed: exit code: 0x80070005")),
        ("exit 2147483647", failed("Command Failed: exit code: 2147483647")),
    ],
)
def test_finished_script_outcome(run_script, script, expected):
    assert run_script(script, 30) == expected


def test_missing_shell_cannot_start(wine, run_script, tmp_path):
    result = run_script("out x", 5, shell_path=wine.windows_path(tmp_path / "no-such-shell.exe"))
    assert result["ok"] is False
    assert result["message"].startswith("Command Error: ")
    assert result["detail"] == result["message"]


def test_hung_script_is_stopped_at_its_limit(run_script):
    start = time.monotonic()
    result = run_script("sleep 30", 3)
    took = time.monotonic() - start
    assert result == failed("Shell Not Responding")
    assert 1.9 <= took < 10


def test_large_output_is_drained_while_waiting(run_script):
    start = time.monotonic()
    result = run_script("flood 2000000", 5)
    took = time.monotonic() - start
    assert result["ok"] is True, result
    assert result["output"] == "x" * 2000000
    assert took < 4


def test_quick_script_does_not_wait_for_the_next_poll(run_script):
    start = time.monotonic()
    assert run_script("out fast", 30) == succeeded("fast")
    assert time.monotonic() - start < 0.9


def test_no_limit_waits_for_the_end(run_script):
    assert run_script("sleep 2; out late", 0) == succeeded("late")


def test_the_child_reads_the_null_device_while_our_standard_input_stays_open(wine, support_exe):
    """A run process's standard input is the launcher's pipe, open for the whole run: a
    child that reads its standard input must see the end at once instead of that pipe."""
    command = [wine.wine, str(support_exe("runner_probe.exe")), wine.windows_path(support_exe("fake_shell.exe")),
               "5", "stdin; out done"]
    probe = subprocess.Popen(command, env=wine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    try:
        output = probe.stdout.read()  # the probe ends after the runner's answer; our stdin stays open
    finally:
        probe.stdin.close()
        probe.wait(timeout=30)
    result = json.loads(output)
    assert result["ok"] is True, result
    assert result["output"].replace("\r\n", "\n") == "stdin 0\ndone"
