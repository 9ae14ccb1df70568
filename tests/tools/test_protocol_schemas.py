"""The published protocol schemas: valid documents whose references resolve, the
dispatching schemas reaching every per-type schema, and the strict copies the Wine
suite checks the engine's output with."""

import json
import sys
from pathlib import Path

import jsonschema
import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tests" / "e2e"))

import protocol_schemas  # noqa: E402

RESULT = {"app": "quill", "errorCode": None, "installedPath": "C:\\Q\\q.exe", "installedVersion": "1.4.2",
          "status": "installed", "type": "app-result", "v": 1}
RETIRED = {"reason": "expired", "downloadUrl": "https://x/download", "expiresOn": "2020-01-01"}
GOOD_EVENTS = [
    {"type": "hello", "v": 1, "engineVersion": "0.0.0", "protocolVersion": 1, "platform": "windows", "mode": "online",
     "capabilities": ["install", "update", "uninstall", "check-updates", "export-logs"],
     "defaultInstallDir": "C:\\Program Files", "installScope": "user", "helpUrl": "h", "feedbackUrl": "f",
     "apps": [{"id": "quill", "displayName": "Yoxa Quill", "descriptionCode": "", "installedVersion": None,
               "latestVersion": None, "updateAvailable": False, "sizeBytes": 10, "source": None, "webUrl": None,
               "installedPath": None}], "installerRetired": RETIRED},
    {"type": "update-check-result", "v": 1, "apps": [
        {"id": "quill", "installedVersion": "1.0", "source": "msi", "installedPath": "p", "latestVersion": None,
         "updateAvailable": False}]},
    {"type": "update-check-result", "v": 1, "missingFrameworks": ["vclibs"], "apps": [
        {"id": "quill", "latestVersion": "1.5", "updateAvailable": True, "sizeBytes": None,
         "releaseNotes": [{"version": "1.5", "date": None, "notes": ["a"]}]}]},
    {"type": "disk-free-result", "v": 1, "path": "C:\\", "freeBytes": None},
    {"type": "export-logs-result", "v": 1, "path": None, "errorCode": "INSTALL_FAILED"},
    {"type": "log", "v": 1, "level": "warn", "message": "m"},
    {"type": "progress", "v": 1, "app": "quill", "percent": 40, "indeterminate": False, "detailCode": "DOWNLOADING",
     "detailArgs": {"downloadedBytes": 4, "totalBytes": 10}},
    {"type": "stage", "v": 1, "app": "quill", "stage": "verify", "index": 0, "total": 0},
    RESULT,
    {"type": "prompt", "v": 1, "id": "uac-1", "kind": "admin_escalation", "app": None,
     "messageCode": "PROMPT_ADMIN_REQUIRED"},
    {"type": "done", "v": 1, "action": "install", "exitCode": 0, "results": [RESULT]},
]
BAD_EVENTS = [
    {**RESULT, "errorCode": "INSTALL_FAILED"},  # a code on a success
    {**RESULT, "status": "failed"},  # a failure without its code
    {"type": "progress", "v": 1, "app": "quill", "percent": 101, "indeterminate": False, "detailCode": "CHECKING"},
    {"type": "done", "v": 1, "action": "hello", "exitCode": 0, "results": [RESULT]},
    {"type": "export-logs-result", "v": 1, "path": "z.zip", "errorCode": "UNKNOWN"},
    {"type": "log", "v": 2, "level": "info", "message": "m"},
    {"type": "hello-there", "v": 1},
]


def dispatcher(name: str) -> jsonschema.protocols.Validator:
    documents = protocol_schemas.load_documents()
    store = {doc["$id"]: doc for doc in documents.values()}
    root = documents[protocol_schemas.SCHEMA_DIR / name]
    return jsonschema.Draft202012Validator(root, resolver=jsonschema.RefResolver(root["$id"], root, store=store))


def test_every_document_is_a_valid_schema_with_a_unique_id():
    documents = protocol_schemas.load_documents()
    for doc in documents.values():
        jsonschema.Draft202012Validator.check_schema(doc)
    assert len({doc["$id"] for doc in documents.values()}) == len(documents)


@pytest.mark.parametrize("event", GOOD_EVENTS, ids=lambda e: e["type"])
def test_documented_events_pass_the_published_and_the_strict_schemas(event):
    dispatcher("event.schema.json").validate(event)
    assert protocol_schemas.schema_errors(event) == []


@pytest.mark.parametrize("event", BAD_EVENTS, ids=lambda e: json.dumps(e)[:60])
def test_broken_events_fail_both(event):
    assert not dispatcher("event.schema.json").is_valid(event)
    assert protocol_schemas.schema_errors(event)


def test_unknown_members_are_open_for_launchers_but_not_for_the_engine():
    event = {**RESULT, "futureKey": 1}
    dispatcher("event.schema.json").validate(event)
    assert protocol_schemas.schema_errors(event)


@pytest.mark.parametrize("command, valid", [
    ({"type": "cancel"}, True),
    ({"type": "cancel", "app": None}, True),
    ({"type": "cancel", "app": "quill"}, False),
    ({"type": "prompt-response", "id": "uac-1"}, True),
    ({"type": "pause"}, False),
    ({"app": None}, False),
])
def test_stdin_commands(command, valid):
    assert dispatcher("command.schema.json").is_valid(command) == valid
