"""Fixtures for driving native-build programs against the loopback servers."""

import os
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tests" / "servers"))

from server_fixtures import _fresh_cdn_tree, cdn, connect_proxy, fault_server, test_pki  # noqa: E402,F401


@pytest.fixture(scope="session")
def native_build() -> Path:
    configured = Path(os.environ.get("YOXA_NATIVE_BUILD", "build/linux"))
    build = configured if configured.is_absolute() else REPO_ROOT / configured
    if not (build / "tests" / "support" / "download_tool").is_file():
        pytest.skip(f"native build not found at {build}: build the linux preset or set YOXA_NATIVE_BUILD")
    return build
