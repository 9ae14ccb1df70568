"""The event pipe under Wine with the real platform seams: a detached worker serving
its events over a named pipe, the run side's connect loop with its server-id check
and overlapped reads, the run mutex, the elevation query and standard-input lines.

What Wine cannot show: FILE_FLAG_FIRST_PIPE_INSTANCE (Wine lets a second "first"
instance be created, so a squatter is only caught by the server-id check), a
non-elevated token (every Wine process is elevated), and a console on standard input.
"""

import json
from pathlib import Path

import pytest


@pytest.fixture
def probe(wine, support_exe, tmp_path: Path):
    exe = support_exe("pipe_probe.exe")

    def run(*args: str, input: bytes | None = None) -> dict:
        result = wine.run(exe, wine.windows_path(tmp_path), *args, input=input, timeout=90)
        assert result.code == 0, (result.code, result.stderr)
        return json.loads(result.stdout)

    run.log = lambda name="installer.log": (tmp_path / name).read_text(errors="replace")
    run.worker_log = lambda: (tmp_path / "worker" / "installer.log").read_text(errors="replace")
    return run


def test_events_cross_the_pipe_in_order_and_the_full_exit_code_comes_back(probe):
    # 500 lines of up to 300 bytes: many 8 KiB reads, lines straddling them.
    outcome = probe("run", "500", "0xC0000005", "direct")
    assert outcome == {"connected": True, "lines": 500, "in_order": True, "exit": 0xC0000005}
    assert "Connected to client" in probe.worker_log()


def test_a_pipe_served_by_another_process_is_refused_and_the_worker_still_serves_its_client(probe):
    outcome = probe("run", "20", "3", "impostor-first")
    assert outcome == {"impostor_connected": False, "connected": True, "lines": 20, "in_order": True, "exit": 3}
    # Every refused client came and went; the worker dropped each and served the real one.
    assert "not by the worker" in probe.log()


def test_a_client_that_is_not_the_run_process_gets_no_events_and_the_run_process_still_gets_all(probe):
    outcome = probe("run", "20", "0", "stranger-first")
    assert outcome == {"stranger_lines": 0, "connected": True, "lines": 20, "in_order": True, "exit": 0}
    log = probe.worker_log()
    assert "not by the run process (pid " in log and "disconnecting it" in log
    assert "Connected to client" in log


def test_run_mutex_and_elevation(probe):
    assert probe("mutex", "YoxaOfficeInstallerEngineRunProbe") == {"first_exists": False, "second_exists": True}
    assert probe("elevated") == {"elevated": True}


def test_standard_input_from_a_pipe_is_read_as_bytes_line_by_line(probe):
    outcome = probe("stdin", input="a\r\n\nb caf\u00e9 \nlast".encode())
    assert outcome == {"lines": ["a\r", "", "b caf\u00e9 ", "last"]}
