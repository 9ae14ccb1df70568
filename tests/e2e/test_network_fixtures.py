"""The network fixtures themselves: nginx CDN, fault server, CONNECT proxy, and the
test CA trusted by Windows programs under Wine."""

import hashlib
import json
import subprocess

import pytest

from fault_server import FaultServer, body

PACKAGE = bytes(range(256)) * 40


def curl(ca, url, *args, timeout=30):
    """Debian's curl: (exit code, HTTP status, body)."""
    completed = subprocess.run(
        ["curl", "-sS", "--cacert", str(ca.ca_pem), "-o", "-", "-w", "\n%{http_code}", *args, url],
        stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    content, _, status = completed.stdout.rpartition(b"\n")
    return completed.returncode, int(status or 0), content


def probe_lines(result):
    return dict(line.split("=", 1) for line in result.stdout.decode().splitlines() if "=" in line)


@pytest.fixture
def quill(cdn):
    return cdn.publish("quill", "msi", "1.4.2", files={"quill-1.4.2.msi": PACKAGE})


# -- nginx ---------------------------------------------------------------------------

def test_meta_json_names_the_package_it_sits_beside(cdn, test_pki, quill):
    code, status, content = curl(test_pki.trusted, quill.meta_url)
    assert (code, status) == (0, 200)
    meta = json.loads(content)
    assert meta == quill.meta
    assert meta["size"] == len(PACKAGE) and meta["sha256"] == hashlib.sha256(PACKAGE).hexdigest()
    assert quill.package_url == f"{quill.dir_url}/{meta['destination']}"


@pytest.mark.parametrize("path, args, status, expected", [
    ("package", ["-r", "1000-"], 206, PACKAGE[1000:]),
    ("package", [], 200, PACKAGE),
    ("meta.json of an app never published", [], 404, None),
    ("download page", [], 200, None),
])
def test_cdn_answers(cdn, test_pki, quill, path, args, status, expected):
    url = {"package": quill.package_url,
           "meta.json of an app never published": cdn.package_dir_url("lumen", "msixbundle") + "/meta.json",
           "download page": cdn.layout.download_page_url}[path]
    code, got_status, content = curl(test_pki.trusted, url, *args)
    assert (code, got_status) == (0, status)
    if expected is not None:
        assert content == expected


def test_cdn_logs_request_headers_and_resets_between_tests(cdn, test_pki, quill):
    curl(test_pki.trusted, quill.meta_url, "-H", "Cache-Control: no-cache", "-A", "fixture-check/1")
    [seen] = cdn.requests(at_least=1)
    assert seen["request"] == f"GET {quill.meta_url[len(cdn.origin):]} HTTP/1.1"
    assert (seen["cache_control"], seen["user_agent"], seen["status"]) == ("no-cache", "fixture-check/1", 200)
    cdn.reset()
    assert cdn.requests() == [] and not quill.directory.exists()


def test_cdn_can_present_the_untrusted_certificate_and_fail_the_download_page(cdn, test_pki):
    cdn.configure(identity=test_pki.untrusted, download_status=500)
    code, _, _ = curl(test_pki.trusted, cdn.layout.download_page_url)
    assert code == 60  # peer certificate cannot be authenticated
    assert curl(test_pki.untrusted, cdn.layout.download_page_url)[:2] == (0, 500)


# -- fault server ----------------------------------------------------------------------

SMALL = 1000


FAULT_CASES = [
    ("range/a?size=1000", ["-r", "10-"], 0, 206, body(SMALL)[10:]),
    ("range/a?size=1000&seed=7", ["-r", "10-19"], 0, 206, body(SMALL, 7)[10:20]),
    ("range/a?size=1000", [], 0, 200, body(SMALL)),
    ("ignore-range/a?size=1000", ["-r", "10-"], 0, 200, body(SMALL)),
    ("status/500/a", [], 0, 500, None),
    ("short/a?size=1000", [], 18, 200, body(SMALL)[:500]),  # 18: partial file
    ("nolength/a?size=1000", [], 0, 200, body(SMALL)),
    ("drop/a", [], 52, 0, b""),  # 52: empty reply
    ("stall-headers/a", ["--max-time", "1"], 28, 0, b""),  # 28: time-out
    ("stall-body/a?size=1000", ["--max-time", "1"], 28, 200, body(SMALL)[:500]),
    ("redirect-chain/3/a?size=1000", ["-L"], 0, 200, body(SMALL)),
    ("redirect-chain/3/a", ["--max-redirs", "2", "-L"], 47, 302, None),  # 47: too many redirects
    ("redirect-untrusted/a?size=1000", ["-L"], 0, 200, body(SMALL)),
    ("missing", [], 0, 404, None),
]


@pytest.mark.parametrize("path, args, code, status, expected", FAULT_CASES,
                         ids=[f"{case[0]} {' '.join(case[1])}".strip() for case in FAULT_CASES])
def test_fault_server_behaviours(fault_server, test_pki, path, args, code, status, expected):
    got = curl(test_pki.trusted, fault_server.url(path), *args)
    assert got[:2] == (code, status)
    if expected is not None:
        assert got[2] == expected


def test_fault_server_flaky_path_recovers_after_n_failures(fault_server, test_pki):
    statuses = [curl(test_pki.trusted, fault_server.url("flaky/2/pkg"))[1] for _ in range(4)]
    assert statuses == [503, 503, 200, 200]


def test_fault_server_redirects_land_where_announced(fault_server, test_pki):
    _, status, _ = curl(test_pki.trusted, fault_server.url("redirect-untrusted/x?size=5"), "-I")
    assert status == 302
    curl(test_pki.trusted, fault_server.url("redirect-untrusted/x?size=5"), "-L")
    curl(test_pki.trusted, fault_server.url("redirect-chain/2/y"), "-L")
    assert [r.path for r in fault_server.requests[1:]] == [
        "/redirect-untrusted/x?size=5", "/range/x?size=5",
        "/redirect-chain/2/y", "/redirect-chain/1/y", "/redirect-chain/0/y"]


def test_fault_server_records_headers_and_accepts_absolute_form(fault_server, test_pki):
    target = fault_server.url("range/abs?size=10")
    code, status, content = curl(test_pki.trusted, fault_server.origin + "/", "--request-target", target,
                                 "-H", "Range: bytes=2-", "-H", "Cache-Control: no-cache", "-A", "fixture-check/1")
    assert (code, status, content) == (0, 206, body(10)[2:])
    [seen] = fault_server.requests
    assert (seen.target, seen.path) == (target, "/range/abs?size=10")
    assert (seen.headers["range"], seen.headers["cache-control"], seen.headers["user-agent"]) == (
        "bytes=2-", "no-cache", "fixture-check/1")


# -- CONNECT proxy ---------------------------------------------------------------------

def test_proxy_tunnels_to_the_cdn(cdn, connect_proxy, test_pki, quill):
    code, status, content = curl(test_pki.trusted, quill.meta_url, "--proxy", f"http://{connect_proxy.address}")
    assert (code, status, json.loads(content)) == (0, 200, quill.meta)
    assert connect_proxy.targets == [f"localhost:{cdn.port}"]


def test_proxy_refuses_targets_off_this_machine(connect_proxy, test_pki):
    code, _, _ = curl(test_pki.trusted, "https://untrusted.example/", "--proxy", f"http://{connect_proxy.address}")
    assert code == 56 and connect_proxy.tunnels == 0  # 56: the proxy refused the CONNECT
    assert connect_proxy.refused == ["CONNECT untrusted.example:443 HTTP/1.1"]


# -- under Wine ------------------------------------------------------------------------

@pytest.fixture
def https_probe(wine, support_exe):
    probe = support_exe("https_probe.exe")

    def run(url, *args):
        result = wine.run(probe, url, *args, timeout=60)
        return result.code, probe_lines(result)

    return run


def test_windows_program_fetches_from_the_cdn_once_the_ca_is_trusted(cdn, trusted_ca, https_probe, quill):
    meta_size = str((quill.directory / "meta.json").stat().st_size)
    assert https_probe(quill.meta_url) == (0, {"status": "200", "content-length": meta_size, "bytes": meta_size})
    code, lines = https_probe(quill.package_url, "--range", "1000")
    assert (code, lines["status"], lines["bytes"]) == (0, "206", str(len(PACKAGE) - 1000))


def test_windows_program_refuses_the_untrusted_certificate(trusted_ca, https_probe, test_pki):
    with FaultServer(test_pki.untrusted) as untrusted:
        code, lines = https_probe(untrusted.url("range/x"))
    assert (code, lines["error"]) == (2, "send 12157")  # ERROR_WINHTTP_SECURE_CHANNEL_ERROR


def test_windows_program_uses_the_system_proxy(cdn, trusted_ca, https_probe, quill, connect_proxy, system_proxy):
    system_proxy.set(connect_proxy.address)
    code, lines = https_probe(quill.meta_url, "--system-proxy")
    assert (code, lines["status"]) == (0, "200")
    assert connect_proxy.targets == [f"localhost:{cdn.port}"]


def test_fault_server_sees_absolute_form_inside_a_wine_tunnel(trusted_ca, https_probe, fault_server, connect_proxy):
    code, lines = https_probe(fault_server.url("range/t?size=100"), "--proxy", connect_proxy.address)
    assert (code, lines["status"], lines["bytes"]) == (0, "200", "100")
    [seen] = fault_server.requests
    assert (seen.target, seen.path) == (fault_server.url("range/t?size=100"), "/range/t?size=100")


@pytest.mark.parametrize("path, status, size", [
    ("redirect-untrusted/w?size=10", "200", "10"),  # the address passes TLS: the engine's host check decides
    ("short/w?size=1000", "200", "500"),  # WinHTTP ends the body at the close without an error
    ("nolength/w?size=1000", "200", "1000"),
])
def test_wine_winhttp_meets_the_fault_server(trusted_ca, https_probe, fault_server, path, status, size):
    code, lines = https_probe(fault_server.url(path))
    assert (code, lines["status"], lines["bytes"]) == (0, status, size)
