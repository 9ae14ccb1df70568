"""An HTTP CONNECT proxy on a free loopback port that tunnels to loopback targets
only and counts the tunnels it opened, so a test can tell that traffic went
through it.

    with ConnectProxy() as proxy:
        ... client configured with proxy.address ("127.0.0.1:PORT") ...
        assert proxy.targets == ["localhost:47443"]
"""

import socket
import threading
from typing import List, Optional

LOOPBACK_HOSTS = {"localhost", "127.0.0.1", "::1", "[::1]"}


class ConnectProxy:
    def __init__(self, io_timeout: float = 60):
        self.io_timeout = io_timeout
        self.targets: List[str] = []  # "host:port" of every tunnel opened, in order
        self.refused: List[str] = []  # request lines answered with an error
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listener: Optional[socket.socket] = None
        self._thread: Optional[threading.Thread] = None
        self._open: set = set()
        self.port = 0

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    @property
    def tunnels(self) -> int:
        with self._lock:
            return len(self.targets)

    def start(self) -> "ConnectProxy":
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._accept_loop, name=f"connect-proxy-{self.port}", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._listener is None:
            return
        self._stop.set()
        self._thread.join(timeout=10)
        self._listener.close()
        self._listener = None
        with self._lock:
            for sock in list(self._open):
                _close(sock)
            self._open.clear()

    def __enter__(self) -> "ConnectProxy":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _accept_loop(self) -> None:
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(self.io_timeout)
            self._track(client)
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _track(self, sock: socket.socket) -> None:
        with self._lock:
            self._open.add(sock)

    def _serve(self, client: socket.socket) -> None:
        try:
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 65536:
                chunk = client.recv(4096)
                if not chunk:
                    return
                head += chunk
            head, _, early = head.partition(b"\r\n\r\n")
            line = head.split(b"\r\n", 1)[0].decode("latin-1")
            parts = line.split()
            if len(parts) != 3 or parts[0] != "CONNECT":
                return self._refuse(client, line, b"405 Only CONNECT")
            host, _, port = parts[1].rpartition(":")
            if host not in LOOPBACK_HOSTS or not port.isdigit():
                return self._refuse(client, line, b"403 Loopback targets only")
            try:
                upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=self.io_timeout)
            except OSError:
                return self._refuse(client, line, b"502 Target unreachable")
            self._track(upstream)
            with self._lock:
                self.targets.append(parts[1])
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            if early:
                upstream.sendall(early)
            threading.Thread(target=_pipe, args=(upstream, client), daemon=True).start()
            _pipe(client, upstream)
        except OSError:
            _close(client)

    def _refuse(self, client: socket.socket, line: str, status: bytes) -> None:
        with self._lock:
            self.refused.append(line)
        try:
            client.sendall(b"HTTP/1.1 " + status + b"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        finally:
            _close(client)


def _pipe(source: socket.socket, sink: socket.socket) -> None:
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        _close(source)
        _close(sink)


def _close(sock: socket.socket) -> None:
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()
