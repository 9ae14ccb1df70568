"""The JSON Schemas of protocol/schemas applied to what the engine writes.

The published schemas leave unknown members open, since a launcher must ignore
keys it does not know. The engine itself must emit nothing undocumented, so the
check here uses strict copies: every object schema that lists its members
(both "required" and "properties") rejects any other member.
"""

import copy
import json
from functools import lru_cache
from pathlib import Path
from typing import Dict, List

import jsonschema

SCHEMA_DIR = Path(__file__).resolve().parents[2] / "protocol" / "schemas"


def _strict(node):
    if isinstance(node, dict):
        node = {key: _strict(value) for key, value in node.items()}
        if "required" in node and "properties" in node and "additionalProperties" not in node:
            node["additionalProperties"] = False
        return node
    if isinstance(node, list):
        return [_strict(value) for value in node]
    return node


def load_documents() -> Dict[Path, dict]:
    return {path: json.loads(path.read_text(encoding="utf-8")) for path in sorted(SCHEMA_DIR.rglob("*.schema.json"))}


@lru_cache(maxsize=2)
def validators(strict: bool = True) -> Dict[str, jsonschema.protocols.Validator]:
    """One validator per event type, keyed by type."""
    documents = load_documents()
    if strict:
        documents = {path: _strict(copy.deepcopy(doc)) for path, doc in documents.items()}
    store = {doc["$id"]: doc for doc in documents.values()}
    found = {}
    for path, doc in documents.items():
        if path.parent.name != "events":
            continue
        cls = jsonschema.validators.validator_for(doc)
        cls.check_schema(doc)
        resolver = jsonschema.RefResolver(doc["$id"], doc, store=store)
        found[doc["title"]] = cls(doc, resolver=resolver)
    return found


def schema_errors(event) -> List[str]:
    """Why an event does not match the schema of its type; empty when it does."""
    if not isinstance(event, dict):
        return [f"not a JSON object: {event!r}"]
    validator = validators().get(event.get("type"))
    if validator is None:
        return [f"no schema for event type {event.get('type')!r}"]
    return [f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message}" for e in validator.iter_errors(event)]


def check_event_lines(stdout: bytes) -> int:
    """Every event line of an engine's standard output matches its schema. Output
    that is not an event stream at all (the help text) is left alone; once the
    first line is an event, every line must be one. Returns the events checked."""
    lines = stdout.decode("utf-8", errors="replace").splitlines()
    if not lines or not lines[0].startswith("{"):
        return 0
    for number, line in enumerate(lines, 1):
        try:
            event = json.loads(line)
        except ValueError as error:
            raise AssertionError(f"stdout line {number} is not JSON ({error}): {line!r}") from None
        errors = schema_errors(event)
        assert not errors, f"stdout line {number} breaks the protocol schema: {errors}\n{line}"
    return len(lines)
