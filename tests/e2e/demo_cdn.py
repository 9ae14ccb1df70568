"""The package CDN of the demo: nginx on the test build's origin (https://localhost:47443)
serving signed sample packages of quill and folio, made with the Wine tests' fixtures and
published into its tree by tools/publish_cdn.py.

    /usr/bin/python3 tests/e2e/demo_cdn.py WORK_DIR

writes under WORK_DIR the TLS test PKI (WORK_DIR/pki/trusted/ca.der is the CA the
Wine prefix must trust), the code-signing PKI, the packages and nginx's tree, prints
one line "ready CA_DER" when it serves, and stops nginx on SIGTERM, SIGINT or when
its standard input closes.
"""

import signal
import sys
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "servers"))
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1] / "tools"))

import codesign  # noqa: E402
import pki  # noqa: E402
from cdn import TEST_SIGNING_KEY, CdnServer, next_sequence  # noqa: E402
from install_fixtures import build_app_msi  # noqa: E402
from packages import FOLIO, QUILL  # noqa: E402
from publish_cdn import Release, publish  # noqa: E402

TEST_CONFIG = HERE.parents[1] / "config" / "installer_config.test.json"

SAMPLES = [(QUILL, "1.4.2"), (FOLIO, "3.0.1")]


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    work = Path(sys.argv[1]).resolve()
    tls = pki.generate(work / "pki")
    signing = codesign.generate(work / "codesign")
    server = CdnServer(tls.trusted, work / "cdn")
    stop = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    server.start()
    try:
        for app, version in SAMPLES:
            built = build_app_msi(app, version, work / "packages" / app.app_id)
            codesign.sign(built.path, signing.yoxa)
            # Through the release engineers' publisher, as a real CDN tree is made.
            # Signed: the test configuration's engine refuses an unsigned meta.json. The
            # sequence outgrows what a kept prefix accepted in an earlier demo.
            release = Release(app.app_id, version, built.path, notes=[f"Sample release {version} of the demo"],
                              signing_key=TEST_SIGNING_KEY, sequence=next_sequence())
            published = publish(release, TEST_CONFIG, server.root)
            print(f"published {app.app_id} {version}: {published.meta_url}", file=sys.stderr)
        print(f"ready {tls.trusted.ca_der}", flush=True)
        # Standard input closing (the demo script went away) ends the server too.
        threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
        stop.wait()
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
