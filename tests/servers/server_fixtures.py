"""pytest fixtures for the loopback servers, shared by the native and the Wine tests."""

import shutil

import pytest

import pki
from cdn import CdnServer
from connect_proxy import ConnectProxy
from fault_server import FaultServer


@pytest.fixture(scope="session")
def test_pki(tmp_path_factory) -> pki.TestPki:
    return pki.generate(tmp_path_factory.mktemp("pki"))


@pytest.fixture(scope="session")
def cdn(tmp_path_factory, test_pki: pki.TestPki) -> CdnServer:
    """nginx on the test configuration's CDN origin (https://localhost:47443)."""
    if not (shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/sbin")):
        pytest.skip("nginx is not installed; run scripts/install-deps.sh")
    server = CdnServer(test_pki.trusted, tmp_path_factory.mktemp("cdn"))
    server.start()
    yield server
    server.stop()


@pytest.fixture(autouse=True)
def _fresh_cdn_tree(request):
    # nginx lives for the session; each test that uses it starts from an empty tree,
    # the trusted certificate, a download page answering 200 and no logged requests.
    if "cdn" in request.fixturenames:
        request.getfixturevalue("cdn").reset()


@pytest.fixture
def fault_server(test_pki: pki.TestPki) -> FaultServer:
    with FaultServer(test_pki.trusted) as server:
        yield server


@pytest.fixture
def connect_proxy() -> ConnectProxy:
    with ConnectProxy() as proxy:
        yield proxy
