"""The package CDN of the test configuration, served by nginx over TLS.

nginx runs as a foreground child (no master process, no system service) with its
config, pid, logs and temp paths in a work directory, on the origin that
config/installer_config.test.json gives the test build of the engine, so that
file is the one place that names the port. The document root holds the package
tree; tests fill it with publish() and empty it with reset().

    with CdnServer(pki.trusted, work_dir) as cdn:
        cdn.publish("quill", "msi", "1.4.2", files={"quill.msi": msi_path})

The test configuration lists the public key of meta_signing_test_key.pem among its
"metaSigningKeys", so publish() signs every meta.json it writes (meta.json.sig beside
it) and gives it the signed members app, expires and sequence, the sequence growing
with every publication in this process (the engine remembers the highest it accepted,
in the prefix's registry, for the whole session).

A file whose name contains ".throttled." (throttled_name("folio.msi") gives
"folio.throttled.msi") is served at throttle_rate bytes per second, so a test can
act while its download is still running; every other file goes at full speed.
"""

import datetime
import hashlib
import itertools
import json
import shutil
import socket
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Mapping, Optional, Union
from urllib.parse import urlsplit

from pki import TlsIdentity

REPO_ROOT = Path(__file__).resolve().parents[2]
TEST_CONFIG = REPO_ROOT / "config" / "installer_config.test.json"
# The private half of the test configuration's metaSigningKeys entry.
TEST_SIGNING_KEY = Path(__file__).resolve().parent / "meta_signing_test_key.pem"

sys.path.insert(0, str(REPO_ROOT / "tools"))
import meta_signing  # noqa: E402  (tools/meta_signing.py: the format the engine verifies)

# Milliseconds since the epoch to start with, so a prefix kept from an earlier session
# (whose registry remembers its sequences) still accepts what this one publishes.
_sequences = itertools.count(int(time.time() * 1000))


def next_sequence() -> int:
    return next(_sequences)


def expires_in(days: float) -> str:
    when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


class _Omit:
    def __repr__(self) -> str:
        return "OMIT"


# A meta override with this value removes the member from the default meta.json.
OMIT = _Omit()

Content = Union[bytes, str, Path]


def sha256_hex(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def throttled_name(name: str) -> str:
    """The name under which the CDN serves a file slowly: "folio.msi" -> "folio.throttled.msi"."""
    stem, dot, extension = name.rpartition(".")
    return f"{stem}.throttled.{extension}" if dot else f"{name}.throttled."


@dataclass(frozen=True)
class CdnLayout:
    """Where the test configuration puts the tree: origin and path segments."""
    origin: str
    distribution_root: str
    apps_root: str
    flavour: str
    release: str
    download_page_url: str

    @classmethod
    def from_config(cls, path: Path = TEST_CONFIG) -> "CdnLayout":
        config = json.loads(Path(path).read_text())
        cdn = config["cdn"]
        return cls(origin=cdn["domains"][cdn["dataCenter"]].rstrip("/"),
                   distribution_root=cdn["distributionRoot"], apps_root=cdn["appsRoot"],
                   flavour=config["flavour"], release=cdn["release"],
                   download_page_url=config["downloadPageUrl"])

    @property
    def port(self) -> int:
        return urlsplit(self.origin).port or 443

    def package_dir_path(self, app_id: str, fmt: str, arch: str) -> str:
        """The package directory, relative to the document root."""
        return "/".join([self.distribution_root, self.apps_root, self.flavour, app_id, "windows", arch, fmt,
                         self.release])


@dataclass(frozen=True)
class Published:
    directory: Path  # the package directory on disk
    dir_url: str
    meta_url: str
    package_url: Optional[str]  # None when no package file was written
    package: Optional[Path]
    meta: Optional[dict]  # None when meta.json was written verbatim
    sha256: Optional[str]
    size: Optional[int]
    signature: Optional[Path] = None  # meta.json.sig, None when unsigned


_NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {run}/nginx.pid;
error_log {run}/error.log warn;
events {{ worker_connections 256; }}
http {{
    types {{ application/json json; text/html html; }}
    default_type application/octet-stream;
    client_body_temp_path {run}/client_body;
    proxy_temp_path {run}/proxy;
    fastcgi_temp_path {run}/fastcgi;
    uwsgi_temp_path {run}/uwsgi;
    scgi_temp_path {run}/scgi;
    log_format requests escape=json '{{"request":"$request","status":$status,"range":"$http_range",'
        '"user_agent":"$http_user_agent","cache_control":"$http_cache_control","bytes":$body_bytes_sent}}';
    access_log {run}/access.log requests;
    map $uri $throttle {{
        "~\\.throttled\\.[^/]*$" {throttle_rate};
        default 0;
    }}
    sendfile on;
    server_tokens off;
    server {{
        listen 127.0.0.1:{port} ssl;
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_protocols TLSv1.2 TLSv1.3;
        root {root};
        limit_rate $throttle;
        location / {{ try_files $uri =404; }}
        location = {download_path} {{
            default_type text/html;
            return {download_status} "<html><body>Download page</body></html>\\n";
        }}
    }}
}}
"""


class CdnServer:
    def __init__(self, identity: TlsIdentity, work_dir: Path, layout: Optional[CdnLayout] = None,
                 nginx: str = "nginx", throttle_rate: int = 1048576):
        self.layout = layout or CdnLayout.from_config()
        self.origin = self.layout.origin
        self.port = self.layout.port
        self.work_dir = Path(work_dir)
        self.root = self.work_dir / "root"
        self._nginx = shutil.which(nginx) or shutil.which(nginx, path="/usr/sbin:/sbin")
        if not self._nginx:
            raise RuntimeError("nginx is not installed (Debian package nginx; see scripts/install-deps.sh)")
        self.throttle_rate = throttle_rate  # bytes per second for throttled_name() files
        self._default_identity = identity
        self._identity = identity
        self._download_status = 200
        self._process: Optional[subprocess.Popen] = None
        self._log_offset = 0

    # -- process ------------------------------------------------------------------

    def start(self) -> "CdnServer":
        self._require_free_port()
        self.root.mkdir(parents=True, exist_ok=True)
        conf = self.work_dir / "nginx.conf"
        conf.write_text(_NGINX_CONF.format(
            run=self.work_dir, port=self.port, cert=self._identity.cert, key=self._identity.key, root=self.root,
            download_path=urlsplit(self.layout.download_page_url).path, download_status=self._download_status,
            throttle_rate=self.throttle_rate))
        command = [self._nginx, "-p", str(self.work_dir), "-e", str(self.work_dir / "error.log"), "-c", str(conf)]
        # Dies with the test process even when that is killed without clean-up,
        # so no orphan keeps the port from the next session.
        setpriv = shutil.which("setpriv")
        if setpriv:
            command = [setpriv, "--pdeathsig", "TERM", *command]
        with (self.work_dir / "nginx.out").open("ab") as out:
            self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self._wait_until_listening()
        return self

    def _require_free_port(self) -> None:
        # Another listener there (a second test session, a stray server) would
        # otherwise answer in nginx's place.
        probe = socket.socket()
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", self.port))
        except OSError as error:
            raise RuntimeError(f"127.0.0.1:{self.port} of the test CDN is in use: {error}") from None
        finally:
            probe.close()

    def _wait_until_listening(self, timeout: float = 10) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                break
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                if self._process.poll() is None:
                    return
            except OSError:
                time.sleep(0.02)
        log = self.work_dir / "error.log"
        details = log.read_text(errors="replace") if log.exists() else ""
        self.stop()
        raise RuntimeError(f"nginx did not start on 127.0.0.1:{self.port}: {details}")

    def stop(self) -> None:
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait(timeout=10)
        self._process = None

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def configure(self, identity: Optional[TlsIdentity] = None, download_status: Optional[int] = None) -> None:
        """Serves with another certificate (say pki.untrusted) or makes the download
        page answer another status; restarts nginx when something changed."""
        identity = identity or self._identity
        status = download_status or self._download_status
        if (identity, status) != (self._identity, self._download_status) or not self.running:
            self._identity, self._download_status = identity, status
            self.stop()
            self.start()

    def reset(self) -> None:
        """An empty tree, the default certificate and download page, no requests seen."""
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir(parents=True)
        self.configure(self._default_identity, 200)
        log = self.work_dir / "access.log"
        self._log_offset = log.stat().st_size if log.exists() else 0

    def __enter__(self) -> "CdnServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- tree -----------------------------------------------------------------------

    def url(self, path: str) -> str:
        return f"{self.origin}/{path.lstrip('/')}"

    def package_dir(self, app_id: str, fmt: str, arch: str = "x64") -> Path:
        return self.root / self.layout.package_dir_path(app_id, fmt, arch)

    def package_dir_url(self, app_id: str, fmt: str, arch: str = "x64") -> str:
        return self.url(self.layout.package_dir_path(app_id, fmt, arch))

    def put(self, path: str, content: Content) -> Path:
        """Writes one file at a path under the document root."""
        target = self.root / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, Path):
            shutil.copyfile(content, target)
        else:
            target.write_bytes(content.encode() if isinstance(content, str) else content)
        return target

    def publish(self, app_id: str, fmt: str, version: str, files: Optional[Mapping[str, Content]] = None,
                meta: Union[None, Mapping, str, bytes] = None, arch: str = "x64",
                release_notes: Union[None, Mapping, str, bytes] = None,
                signing_key: Optional[Path] = TEST_SIGNING_KEY) -> Published:
        """Writes a package directory: the files, then meta.json, its signature and,
        if given, release-notes.json.

        The package file is meta["destination"] when meta names one, else the first
        of files. A meta mapping is laid over the default document (version,
        destination, size and sha256 of the package, the coordinates, and the signed
        app, expires in a week and the next sequence); a value of OMIT drops a member.
        A meta str or bytes is written as it is. The exact bytes written are signed
        with signing_key; None writes no meta.json.sig.
        """
        files = dict(files or {})
        directory = self.package_dir(app_id, fmt, arch)
        shutil.rmtree(directory, ignore_errors=True)
        written = {name: self.put(f"{self.layout.package_dir_path(app_id, fmt, arch)}/{name}", content)
                   for name, content in files.items()}

        overrides = dict(meta) if isinstance(meta, Mapping) else {}
        destination = overrides.get("destination")
        if not isinstance(destination, str):
            destination = next(iter(files), f"{app_id}-{version}.{fmt}")
        package = written.get(destination)
        digest = size = None
        document = {"product": app_id, "version": version, "destination": destination, "flavour": self.layout.flavour,
                    "os": "windows", "arch": arch, "format": fmt, "release": self.layout.release,
                    "app": app_id, "expires": expires_in(7), "sequence": next_sequence()}
        if package is not None:
            data = package.read_bytes()
            digest, size = sha256_hex(data), len(data)
            document.update(size=size, sha256=digest)
        document.update(overrides)
        document = {key: value for key, value in document.items() if value is not OMIT}

        if isinstance(meta, (str, bytes)):
            meta_file = self.put(f"{self.layout.package_dir_path(app_id, fmt, arch)}/meta.json", meta)
            document = None
        else:
            meta_file = self.put(f"{self.layout.package_dir_path(app_id, fmt, arch)}/meta.json",
                                 json.dumps(document, indent=2))
        signature = None
        if signing_key is not None:
            signature = self.put(f"{self.layout.package_dir_path(app_id, fmt, arch)}/meta.json.sig",
                                 meta_signing.sign(meta_file.read_bytes(), meta_signing.load_private_key(signing_key)))
        if release_notes is not None:
            notes = release_notes if isinstance(release_notes, (str, bytes)) else json.dumps(release_notes, indent=2)
            self.put(f"{self.layout.package_dir_path(app_id, fmt, arch)}/release-notes.json", notes)

        dir_url = self.package_dir_url(app_id, fmt, arch)
        return Published(directory=directory, dir_url=dir_url, meta_url=f"{dir_url}/meta.json",
                         package_url=f"{dir_url}/{destination}" if package is not None else None,
                         package=package, meta=document, sha256=digest, size=size, signature=signature)

    def unpublish(self, app_id: str, fmt: str, arch: str = "x64") -> None:
        shutil.rmtree(self.package_dir(app_id, fmt, arch), ignore_errors=True)

    # -- what nginx saw ---------------------------------------------------------------

    def requests(self, at_least: int = 0, timeout: float = 5) -> list:
        """The requests answered since the last reset(), oldest first, as dicts with
        request ("GET /path HTTP/1.1"), status, range, user_agent, cache_control, bytes.
        nginx logs a request just after its last byte went out, so a test that has
        just read a response may wait for at_least entries."""
        deadline = time.monotonic() + timeout
        while True:
            seen = self._logged_requests()
            if len(seen) >= at_least or time.monotonic() > deadline:
                return seen
            time.sleep(0.02)

    def _logged_requests(self) -> list:
        log = self.work_dir / "access.log"
        if not log.exists():
            return []
        with log.open("rb") as f:
            f.seek(self._log_offset)
            lines = f.read().decode("utf-8", "replace").split("\n")
        # The last element is empty or a line still being written.
        return [json.loads(line) for line in lines[:-1] if line.strip()]
