"""The engine's downloader (native build, libcurl) against nginx and the
fault-injecting server: resume, restart, cancellation, size and trust checks,
and the progress it reports."""

import json
import os
import subprocess

import pytest

MiB = 1024 * 1024


@pytest.fixture
def download(native_build, test_pki, tmp_path):
    """download(url, *extra) -> (events, result, log text); the quit file exists."""
    tool = native_build / "tests" / "support" / "download_tool"
    paths = {"temp": tmp_path / "pkg.partial", "final": tmp_path / "pkg.msi", "quit": tmp_path / "run.quit"}
    env = dict(os.environ, YOXA_TEST_CA_BUNDLE=str(test_pki.trusted.ca_pem))

    def run(url, *extra):
        paths["quit"].write_text("")
        log_dir = tmp_path / "logs"
        completed = subprocess.run(
            [str(tool), url, str(paths["temp"]), str(paths["final"]), str(paths["quit"]),
             "--trust", "localhost", "--log", str(log_dir), *extra],
            env=env, capture_output=True, timeout=120)
        lines = [json.loads(line) for line in completed.stdout.decode().splitlines()]
        log = (log_dir / "installer.log").read_text()
        return lines[:-1], lines[-1], log

    run.paths = paths
    return run


def progress(events):
    return [e for e in events if e["type"] == "progress"]


def test_resumes_a_partial_file_with_a_range_request(download, cdn):
    package = os.urandom(10 * MiB + 123)
    published = cdn.publish("quill", "msi", "1.0", files={"quill.msi": package})
    download.paths["temp"].write_bytes(package[:4 * MiB])

    events, result, log = download(published.package_url)
    assert result == {"result": True}
    assert download.paths["final"].read_bytes() == package
    assert not download.paths["temp"].exists()
    first = progress(events)[0]["detailArgs"]
    assert first["downloadedBytes"] >= 4 * MiB and first["totalBytes"] == len(package)
    assert "Found partial download, resuming from byte: 4194304" in log
    assert [r["range"] for r in cdn.requests()] == [f"bytes={4 * MiB}-"]


def test_restarts_when_the_server_ignores_the_range(download, fault_server):
    body = fault_server.body(3 * MiB, seed=7)
    download.paths["temp"].write_bytes(b"stale partial bytes")
    _, result, log = download(fault_server.url(f"/ignore-range/pkg?size={3 * MiB}&seed=7"))
    assert result == {"result": True}
    assert download.paths["final"].read_bytes() == body
    assert ("Resume from byte 19 not honored (HTTP 200); discarding the partial file and restarting "
            "the download from the beginning") in log
    assert [r.headers.get("Range") for r in fault_server.seen("/ignore-range")] == ["bytes=19-", None]


def test_cancelling_keeps_the_partial_file_and_the_next_call_resumes(download, cdn):
    package = os.urandom(12 * MiB)
    published = cdn.publish("quill", "msi", "1.0", files={"quill.msi": package})

    _, result, _ = download(published.package_url, "--cancel-after-bytes", str(2 * MiB))
    assert result == {"result": False, "message": "User cancelled the operation",
                      "detail": "User cancelled the operation"}
    kept = download.paths["temp"].stat().st_size
    assert 2 * MiB <= kept < len(package) and not download.paths["final"].exists()

    _, result, _ = download(published.package_url)
    assert result == {"result": True}
    assert download.paths["final"].read_bytes() == package
    assert cdn.requests()[-1]["range"] == f"bytes={kept}-"


def test_a_short_body_is_a_size_mismatch_and_stays_for_resuming(download, fault_server):
    size = 2 * MiB
    _, result, _ = download(fault_server.url(f"/short/pkg?size={size}"))
    assert result["result"] is False
    assert result["message"] == "Download failed. Please check your internet connection and try again."
    assert result["detail"] == f"Download size mismatch: ({size // 2}, {size})"
    assert download.paths["temp"].stat().st_size == size // 2


@pytest.mark.parametrize("path, had_partial", [("/redirect-untrusted/pkg", True), ("/redirect-untrusted/pkg", False)])
def test_a_redirect_off_the_trusted_hosts_is_refused_and_the_partial_removed(download, fault_server, path,
                                                                             had_partial):
    if had_partial:
        download.paths["temp"].write_bytes(b"x" * 1000)
    _, result, log = download(fault_server.url(path))
    assert result["result"] is False
    assert result["message"].startswith("The download came from an untrusted location")
    assert result["detail"].startswith("a download redirect rejected: https://127.0.0.1:")
    assert not download.paths["temp"].exists() and not download.paths["final"].exists()
    assert "refusing a download redirect" in log


def test_progress_runs_from_5_to_70_and_is_indeterminate_without_a_length(download, cdn, fault_server):
    package = os.urandom(5 * MiB)
    published = cdn.publish("quill", "msi", "1.0", files={"quill.msi": package})
    events, result, _ = download(published.package_url)
    assert result == {"result": True}
    steps = progress(events)
    assert all(e["detailCode"] == "DOWNLOADING" and e["app"] == "quill" and not e["indeterminate"] for e in steps)
    percents = [e["percent"] for e in steps]
    assert percents == sorted(percents) and 5 <= percents[0] and percents[-1] == 70
    assert steps[-1]["detailArgs"] == {"downloadedBytes": len(package), "totalBytes": len(package)}

    events, result, _ = download(fault_server.url(f"/nolength/pkg?size={MiB}"))
    assert result == {"result": True}
    steps = progress(events)
    assert steps and all(e["percent"] == 5 and e["indeterminate"] for e in steps)
    assert steps[-1]["detailArgs"] == {"downloadedBytes": MiB}


def test_a_connection_failure_removes_the_partial_file(download, fault_server):
    download.paths["temp"].write_bytes(b"partial")
    _, result, _ = download(fault_server.url("/drop/pkg"))
    assert result["result"] is False
    assert result["message"] == "Download failed. Please check your internet connection and try again."
    assert not download.paths["temp"].exists()
