"""Machine-scope runs through the UAC path, on YoxaOfficeInstaller-unelevated.exe: the
windows-test preset's variant of the engine whose token query answers "not elevated"
(every Wine process is elevated, so the shipped exe never takes this path under Wine).
The variant then really goes through ShellExecuteExW "runas" (Wine starts the copy
without showing a prompt), announces it with the `prompt` event, and relays the
elevated worker's events over the same pid-checked event pipe.

What Wine cannot show: a declined prompt, a "runas" start that fails, and the wait and
exit-code failures of the elevated copy; they are unit-tested at the seam
(tests/unit/elevation_test.cpp).
"""

import re

import pytest

from install_fixtures import check_event_stream, of_type, publish
from test_install_run import (FOLIO_PATH, QUILL_PATH, RUN_TIMEOUT, app_result, clean_machine, folders,  # noqa: F401
                              hello_apps, machine_base, signed)

pytestmark = pytest.mark.usefixtures("trusted_ca", "powershell_standin", "windows_10")

PROMPT = {"app": None, "id": "uac-1", "kind": "admin_escalation", "messageCode": "PROMPT_ADMIN_REQUIRED",
          "type": "prompt", "v": 1}


@pytest.fixture
def unelevated_run(wine, windows_build):
    exe = windows_build / "YoxaOfficeInstaller-unelevated.exe"
    if not exe.exists():
        pytest.fail(f"{exe.name} is built by the windows-test preset")

    def run(*args: str):
        code, out, err = wine.run(exe, "run", "--action", "install", *args, timeout=RUN_TIMEOUT)
        assert out, err.decode(errors="replace")
        return code, check_event_stream(out, code)

    return run


def test_machine_only_app_elevates_announces_the_prompt_and_installs(engine, unelevated_run, cdn, signed, folders,
                                                                     machine_base, clean_machine):
    publish(cdn, signed.folio)
    launcher_log_at = folders.log_size(folders.launcher_logs)

    code, events = unelevated_run("--apps", "folio")

    assert code == 0, events
    assert events[0] == PROMPT  # before anything the worker says
    assert len(of_type(events, "prompt")) == 1
    assert of_type(events, "app-result") == [app_result("folio", "installed", path=FOLIO_PATH, version="3.0.1")]
    assert not [e for e in of_type(events, "log") if e["level"] in ("warn", "error")], events
    launcher_log = folders.log_text(folders.launcher_logs, since=launcher_log_at)
    assert ("run action=install scope=user needs_elevation=true (machine_only_in_selection=true "
            "uninstall_needs_admin=false)") in launcher_log
    assert "relaying app-result: folio -> installed" in launcher_log
    assert hello_apps(engine)["folio"]["installedVersion"] == "3.0.1"


def test_machine_scope_run_of_a_user_app_goes_through_the_elevated_worker(engine, unelevated_run, cdn, signed,
                                                                         folders, machine_base, clean_machine):
    publish(cdn, signed.quill)
    launcher_log_at = folders.log_size(folders.launcher_logs)

    code, events = unelevated_run("--apps", "quill", "--scope", "machine")

    assert code == 0, events
    assert events[0] == PROMPT
    assert of_type(events, "app-result") == [app_result("quill", "installed", path=QUILL_PATH, version="1.4.2")]
    launcher_log = folders.log_text(folders.launcher_logs, since=launcher_log_at)
    assert "run action=install scope=machine needs_elevation=true" in launcher_log
    # The elevated worker of a machine-scope run logs and stages under ProgramData.
    worker_log = (machine_base / "logs" / "installer.log").read_text(encoding="utf-8", errors="replace")
    assert re.search(r"--- JSON elevated worker starting \(pid=\d+, action=install\) ---", worker_log)
    assert re.search(r"Executing msiexec for .*installer-v1\.4\.2\.msi \(scope=true, ALLUSERS=1\)", worker_log)


def test_shipped_engine_never_prompts_an_elevated_user(engine, cdn, signed, folders, machine_base, clean_machine):
    publish(cdn, signed.quill)
    code, out, _ = engine("run", "--action", "install", "--apps", "quill", "--scope", "machine", timeout=RUN_TIMEOUT)
    events = check_event_stream(out, code)
    assert code == 0, events
    assert not of_type(events, "prompt")
