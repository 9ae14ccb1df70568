"""The native engine binary fed hostile input: endless or binary standard input
during a run, huge repeated app lists, very deep paths, control bytes in arguments."""

import json
import os
import subprocess
import threading
import time

import pytest


@pytest.fixture
def engine(native_build, tmp_path):
    """engine(*args, stdin=..., feed=...) -> (exit code, events, stderr bytes); temp files stay in tmp_path.
    stdin is a file to read from; feed, a generator of chunks written from a thread."""
    exe = native_build / "YoxaOfficeInstaller"
    env = dict(os.environ, TMPDIR=str(tmp_path))

    def run(*args, stdin=subprocess.DEVNULL, feed=None, timeout=120):
        process = subprocess.Popen([str(exe), *args], stdin=subprocess.PIPE if feed else stdin,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=tmp_path)
        if feed:
            def write():
                try:
                    for chunk in feed():
                        process.stdin.write(chunk)
                except (BrokenPipeError, ValueError, OSError):
                    pass
            threading.Thread(target=write, daemon=True).start()
        out, err = process.communicate(timeout=timeout)
        events = [json.loads(line) for line in out.decode().splitlines()]
        return process.returncode, events, err

    return run


def one_huge_line_then_cancel():
    for _ in range(16 * 1024):  # 64 MiB without a line feed
        yield b"x" * 4096
    yield b'\n{"type":"cancel"}\n'


def assert_done_matches_exit(code, events):
    assert events and events[-1]["type"] == "done"
    assert code == events[-1]["exitCode"]
    assert [r["app"] for r in events[-1]["results"]] == ["quill"]


RUN = ("run", "--action", "install", "--apps", "quill")


# Input that never ends and is read as fast as it comes: the reading thread is busy
# when the run process exits.
def test_run_exits_with_the_code_done_reports_while_stdin_never_ends(engine):
    for _ in range(3):
        with open("/dev/zero", "rb") as zeros:
            assert_done_matches_exit(*engine(*RUN, stdin=zeros)[:2])
        lines = subprocess.Popen(["yes", "not json"], stdout=subprocess.PIPE)
        try:
            assert_done_matches_exit(*engine(*RUN, stdin=lines.stdout)[:2])
        finally:
            lines.kill()
            lines.wait()
            lines.stdout.close()


def test_a_huge_line_on_stdin_does_not_upset_the_run(engine):
    code, events, _ = engine(*RUN, feed=one_huge_line_then_cancel)
    assert_done_matches_exit(code, events)


def test_check_updates_with_thousands_of_repeated_ids(engine):
    ids = ["quill", "lumen"] * 10500  # one argument of 126,000 bytes
    started = time.monotonic()
    code, events, _ = engine("check-updates", "--apps", ",".join(ids))
    assert time.monotonic() - started < 60
    assert events[-1]["type"] == "done" and events[-1]["exitCode"] == code
    answers = [e for e in events if e["type"] == "update-check-result"]
    assert len(answers) == 2
    for answer in answers:
        assert [a["id"] for a in answer["apps"]] == ids


def test_disk_free_of_a_very_deep_path_answers_quickly(engine, tmp_path):
    deep = str(tmp_path) + "/a" * 60000
    started = time.monotonic()
    code, events, _ = engine("disk-free", "--path", deep)
    assert time.monotonic() - started < 10
    assert code == 0
    assert events[0]["type"] == "disk-free-result" and events[0]["path"] == deep
    assert isinstance(events[0]["freeBytes"], int)


@pytest.mark.parametrize("args", [["run", "--action", "\x1b]0;owned\x07"],
                                  ["check-updates", "--apps", "quill,\x1b[2J\u009b31m"],
                                  ["--silent", "--scope", "\x1b[31m"]])
def test_argument_bytes_reach_stderr_escaped(engine, args):
    code, _, err = engine(*args)
    assert code == 3
    assert b"\x1b" not in err and b"\x07" not in err and "\u009b".encode() not in err
    assert b"\\x1b" in err
