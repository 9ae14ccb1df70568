"""A small HTTPS server that misbehaves on request, selected by path.

Bodies are deterministic: body(size, seed) gives the bytes any body path serves
for ?size=N&seed=S (defaults DEFAULT_SIZE and 0), so a test can compare hashes.

  /range/...              the body; honours "Range: bytes=A-" and "bytes=A-B" with 206
  /ignore-range/...       the whole body with 200, Range or not
  /flaky/N/...            503 for the first N requests of this exact path, then as /range
  /status/CODE/...        status CODE with a short text body
  /short/...              Content-Length of the whole body, half of it, then close
  /cut-once/N/...         the first request of this exact path: as /range, but the
                          connection drops once the body reaches offset N; later ones as /range
  /nolength/...           the body without Content-Length, ended by closing
  /drop/...               closes the connection without answering
  /stall-headers/...      reads the request and never answers (until stop() or stall_limit)
  /stall-body/...         headers and half the body, then nothing (as above)
  /redirect?to=URL        302 to URL
  /redirect-untrusted/... 302 to the same server under https://127.0.0.1:PORT/range/...
                          (a host outside the trusted suffix localhost that still
                          passes TLS, for curl and for Wine's WinHTTP alike)
  /redirect-chain/N/...   N relative redirects (302 to /redirect-chain/N-1/...), then as /range
  anything else           404

Every request is recorded in `requests` (SeenRequest: method, target, path,
headers), absolute-form targets ("GET https://localhost:P/x HTTP/1.1", as sent
inside a CONNECT tunnel) included.
"""

import functools
import hashlib
import http.server
import re
import socket
import ssl
import threading
from dataclasses import dataclass, field
from email.message import Message
from typing import List, Optional
from urllib.parse import parse_qs, urlsplit

from pki import TlsIdentity

DEFAULT_SIZE = 65536


@functools.lru_cache(maxsize=32)
def body(size: int = DEFAULT_SIZE, seed: int = 0) -> bytes:
    return hashlib.shake_256(f"yoxa-test-body-{seed}".encode()).digest(size) if size else b""


def sha256_hex(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


@dataclass
class SeenRequest:
    method: str
    target: str  # as on the request line
    path: str  # origin-form path with the query, also for an absolute-form target
    headers: Message = field(repr=False)  # case-insensitive: headers["range"]


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_Server"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def setup(self):
        super().setup()
        # Bounds every read and write, the TLS handshake included.
        self.connection.settimeout(self.server.owner.io_timeout)

    def do_GET(self):  # noqa: N802 - the base class's name
        target = self.path
        parts = urlsplit(target)
        path = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        self.server.owner._record(SeenRequest(self.command, target, path, self.headers))
        query = {key: values[-1] for key, values in parse_qs(parts.query).items()}
        self._size = int(query.get("size", DEFAULT_SIZE))
        self._seed = int(query.get("seed", 0))
        self._route(parts.path or "/", path, query)

    do_HEAD = do_GET  # noqa: N815

    # -- routing ------------------------------------------------------------------

    def _route(self, route: str, path: str, query: dict) -> None:
        owner = self.server.owner
        segments = route.strip("/").split("/")
        head = segments[0]
        if head == "range":
            return self._serve_body(honour_range=True)
        if head == "ignore-range":
            return self._serve_body(honour_range=False)
        if head == "flaky" and len(segments) > 1 and segments[1].isdigit():
            if owner._count(route) <= int(segments[1]):
                return self._simple(503, b"busy, try again\n")
            return self._serve_body(honour_range=True)
        if head == "status" and len(segments) > 1 and segments[1].isdigit():
            return self._simple(int(segments[1]), b"status page\n")
        if head == "cut-once" and len(segments) > 1 and segments[1].isdigit():
            if owner._count(route) == 1:
                return self._serve_body(honour_range=True, cut_at=int(segments[1]))
            return self._serve_body(honour_range=True)
        if head == "short":
            return self._serve_cut(len(body(self._size, self._seed)))
        if head == "nolength":
            return self._serve_cut(None)
        if head == "drop":
            self.close_connection = True
            return None
        if head == "stall-headers":
            owner._stop.wait(owner.stall_limit)
            self.close_connection = True
            return None
        if head == "stall-body":
            data = body(self._size, self._seed)
            self._headers(200, len(data))
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            owner._stop.wait(owner.stall_limit)
            self.close_connection = True
            return None
        if head == "redirect" and "to" in query:
            return self._redirect(query["to"])
        if head == "redirect-untrusted":
            rest = "/".join(segments[1:])
            suffix = f"?{urlsplit(path).query}" if "?" in path else ""
            return self._redirect(f"https://127.0.0.1:{owner.port}/range/{rest}{suffix}")
        if head == "redirect-chain" and len(segments) > 1 and segments[1].isdigit():
            hops = int(segments[1])
            if hops == 0:
                return self._serve_body(honour_range=True)
            rest = "/".join(["redirect-chain", str(hops - 1), *segments[2:]])
            suffix = f"?{urlsplit(path).query}" if "?" in path else ""
            return self._redirect(f"/{rest}{suffix}")
        return self._simple(404, b"not found\n")

    # -- responses ----------------------------------------------------------------

    def _headers(self, status: int, length: Optional[int], extra: Optional[dict] = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()

    def _write(self, data: bytes) -> None:
        if self.command != "HEAD":
            self.wfile.write(data)

    def _simple(self, status: int, text: bytes) -> None:
        self._headers(status, len(text))
        self._write(text)

    def _redirect(self, location: str) -> None:
        self._headers(302, 0, {"Location": location})

    def _serve_body(self, honour_range: bool, cut_at: Optional[int] = None) -> None:
        data = body(self._size, self._seed)
        if cut_at is not None:
            self._write = functools.partial(self._write_until, cut_at=cut_at)
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
        if not honour_range or not match:
            self._headers(200, len(data), {"Accept-Ranges": "bytes"} if honour_range else None)
            return self._write(data)
        first = int(match.group(1))
        last = min(int(match.group(2)), len(data) - 1) if match.group(2) else len(data) - 1
        if first >= len(data) or last < first:
            return self._headers(416, 0, {"Content-Range": f"bytes */{len(data)}"})
        self._headers(206, last - first + 1,
                      {"Accept-Ranges": "bytes", "Content-Range": f"bytes {first}-{last}/{len(data)}"})
        self._write(data[first:last + 1])

    def _write_until(self, data: bytes, cut_at: int) -> None:
        """Writes the part of a response body that lies before absolute offset cut_at
        (the body starts at the Range's first byte), then drops the connection."""
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", "").strip())
        first = int(match.group(1)) if match else 0
        if self.command != "HEAD":
            self.wfile.write(data[: max(0, cut_at - first)])
            self.wfile.flush()
        self.close_connection = True
        # Dropped, not closed: no TLS close_notify.
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _serve_cut(self, announced: Optional[int]) -> None:
        """Writes a body that ends with the connection: announced bytes promised,
        half of them sent (or, with no length, all of them)."""
        data = body(self._size, self._seed)
        self._headers(200, announced, {"Connection": "close"})
        self._write(data if announced is None else data[: len(data) // 2])
        self.wfile.flush()
        self.close_connection = True
        # A TLS close_notify, so that clients see the end of a close-delimited body
        # and not a truncation attack; without waiting for the client's, which
        # Wine's WinHTTP does not send while it still expects bytes.
        self.connection.settimeout(0)
        try:
            self.connection.unwrap()
        except (OSError, ValueError):
            pass


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    owner: "FaultServer"

    def handle_error(self, request, client_address):
        # Clients that hang up, time out or refuse the certificate are expected here.
        pass


class FaultServer:
    """Usable as a context manager: with FaultServer(pki.trusted) as faults: ..."""

    def __init__(self, identity: TlsIdentity, stall_limit: float = 30, io_timeout: float = 60):
        self.identity = identity
        self.stall_limit = stall_limit
        self.io_timeout = io_timeout
        self.requests: List[SeenRequest] = []
        self._lock = threading.Lock()
        self._counts: dict = {}
        self._stop = threading.Event()
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None
        self.port = 0

    @property
    def origin(self) -> str:
        return f"https://localhost:{self.port}"

    def url(self, path: str) -> str:
        return f"{self.origin}/{path.lstrip('/')}"

    def start(self) -> "FaultServer":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(str(self.identity.cert), str(self.identity.key))
        self._server = _Server(("127.0.0.1", 0), _Handler, bind_and_activate=True)
        self._server.owner = self
        # The handshake happens in the connection's own thread, on first read, so
        # a client that never completes one cannot block the accepting thread.
        self._server.socket = context.wrap_socket(self._server.socket, server_side=True,
                                                  do_handshake_on_connect=False)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name=f"fault-server-{self.port}", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=10)
        self._server = None

    def __enter__(self) -> "FaultServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def body(self, size: int = DEFAULT_SIZE, seed: int = 0) -> bytes:
        return body(size, seed)

    def seen(self, prefix: str = "/") -> List[SeenRequest]:
        """The requests whose path starts with prefix, oldest first."""
        with self._lock:
            return [r for r in self.requests if r.path.startswith(prefix)]

    def _record(self, request: SeenRequest) -> None:
        with self._lock:
            self.requests.append(request)

    def _count(self, key: str) -> int:
        with self._lock:
            self._counts[key] = self._counts.get(key, 0) + 1
            return self._counts[key]
