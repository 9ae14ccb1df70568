"""tools/launcher.py against a stand-in engine (a script speaking the protocol), in a
terminal (tmux): Ctrl-C becomes the cancel command on the engine's standard input,
--raw passes the lines through, and the engine's exit code is the launcher's.
The launcher driving the real engine under Wine is tests/e2e/test_tools.py."""

import json
import shlex
import shutil
import signal
import subprocess
import sys
import textwrap
import time
import uuid
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
LAUNCHER = REPO_ROOT / "tools" / "launcher.py"

# Reports quill downloading, then waits for a line on standard input, records it,
# and reports quill cancelled with exit code 1 when it is the cancel command.
STAND_IN = textwrap.dedent('''\
    #!/usr/bin/python3
    import json, sys
    def emit(**event):
        event["v"] = 1
        print(json.dumps(event, sort_keys=True, separators=(",", ":")), flush=True)
    emit(type="stage", app="quill", stage="download", index=0, total=1)
    emit(type="progress", app="quill", percent=40, indeterminate=False, detailCode="DOWNLOADING",
         detailArgs={"downloadedBytes": 3145728, "totalBytes": 8388608})
    line = sys.stdin.readline()
    open(sys.argv[0] + ".stdin", "w").write(line)
    cancelled = json.loads(line) == {"type": "cancel"}
    result = {"app": "quill", "errorCode": None, "installedPath": None, "installedVersion": None,
              "status": "cancelled" if cancelled else "installed", "type": "app-result", "v": 1}
    emit(**result)
    code = 1 if cancelled else 0
    emit(type="done", action="install", exitCode=code, results=[result])
    sys.exit(code)
''')


@pytest.fixture
def stand_in(tmp_path) -> Path:
    path = tmp_path / "engine"
    path.write_text(STAND_IN)
    path.chmod(0o755)
    return path


def tmux(socket: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(["tmux", "-L", socket, *args], capture_output=True, text=True, timeout=30)


def test_ctrl_c_sends_the_cancel_command_and_the_run_ends_with_its_code(tmp_path, stand_in):
    if not shutil.which("tmux"):
        pytest.skip("tmux is not installed; run scripts/install-deps.sh")
    socket = f"yoxa-launcher-{uuid.uuid4().hex[:8]}"
    command = (f"/usr/bin/python3 {shlex.quote(str(LAUNCHER))} --engine {shlex.quote(str(stand_in))} "
               f"run --action install --apps quill; echo \"launcher ended $?\"; sleep 600")
    assert tmux(socket, "new-session", "-d", "-x", "120", "-y", "30", "bash", "-c", command).returncode == 0
    try:
        def screen() -> str:
            return tmux(socket, "capture-pane", "-p", "-J").stdout

        deadline = time.monotonic() + 30
        while "3.0 MiB / 8.0 MiB" not in screen():
            assert time.monotonic() < deadline, screen()
            time.sleep(0.2)
        tmux(socket, "send-keys", "C-c")
        while "launcher ended" not in screen():
            assert time.monotonic() < deadline, screen()
            time.sleep(0.2)
        text = screen()
    finally:
        tmux(socket, "kill-server")
    assert Path(f"{stand_in}.stdin").read_text() == '{"type":"cancel"}\n'
    assert "Cancelling" in text and "cancelled" in text and "Results" in text, text
    assert "Exit code 1" in text and "launcher ended 1" in text, text


def test_raw_prints_the_engine_lines_unchanged_and_still_cancels(stand_in):
    launcher = subprocess.Popen([sys.executable, str(LAUNCHER), "--engine", str(stand_in), "--raw", "run",
                                 "--action", "install"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = [launcher.stdout.readline().rstrip("\n") for _ in range(2)]
    launcher.send_signal(signal.SIGINT)
    rest, errors = launcher.communicate(timeout=60)
    lines += rest.splitlines()
    assert lines[0] == '{"app":"quill","index":0,"stage":"download","total":1,"type":"stage","v":1}'
    assert lines[-1].startswith('{"action":"install","exitCode":1,'), lines
    # Standard output is JSON lines only, so it can be piped into a JSON reader.
    assert [json.loads(line)["type"] for line in lines] == ["stage", "progress", "app-result", "done"], lines
    assert errors.splitlines()[-1] == "Exit code 1", errors
    assert launcher.returncode == 1
    assert Path(f"{stand_in}.stdin").read_text() == '{"type":"cancel"}\n'
