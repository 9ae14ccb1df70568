"""The package CDN of the demo: nginx on the test build's origin (https://localhost:47443)
serving the whole suite — quill and folio (MSI), abacus (MSIX) and lumen (MSIX bundle) with
the framework packages they need — signed with a test code-signing PKI and published into
its tree by tools/publish_cdn.py (tests/e2e/suite_release.py, as the guides' test does).

    /usr/bin/python3 tests/e2e/demo_cdn.py WORK_DIR

writes under WORK_DIR the TLS test PKI, the code-signing PKI, the packages and nginx's tree,
and two files for the Wine prefix: msix_sip.reg (registers the MSIX test subject interface
package, for reg import) and powershell_standin.publishers (for the PowerShell stand-in).
When it serves it prints one line "ready CA_DER SIP_REG SIP_DLL PUBLISHERS": the CA the
prefix must trust, the registry file, the file name the subject interface package must have
in system32, and the publisher map. Then it reads commands from its standard input:

    newer     publishes folio 3.1.0 and answers "published folio 3.1.0"

and stops nginx on SIGTERM, SIGINT or when its standard input closes.
"""

import signal
import sys
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "servers"))
sys.path.insert(0, str(HERE))

import pki  # noqa: E402
import suite_release  # noqa: E402
from cdn import CdnServer  # noqa: E402
from msix_fixtures import MSIX_SIP_DLL, msix_sip_registration  # noqa: E402
from publish_cdn import publish  # noqa: E402


def commands(suite: suite_release.Suite, server: CdnServer, stop: threading.Event) -> None:
    for line in sys.stdin:
        if line.strip() == "newer":
            release = suite_release.newer_folio(suite)
            publish(release, suite_release.TEST_CONFIG, server.root)
            print(f"published {release.app_id} {release.version}", flush=True)
    # Standard input closing (the demo script went away) ends the server too.
    stop.set()


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    work = Path(sys.argv[1]).resolve()
    tls = pki.generate(work / "pki")
    suite = suite_release.build_suite(work / "packages")
    sip_reg = work / "msix_sip.reg"
    sip_reg.write_text(msix_sip_registration(), encoding="utf-16")
    publishers = work / "powershell_standin.publishers"
    publishers.write_text(suite.publishers)
    server = CdnServer(tls.trusted, work / "cdn")
    stop = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stop.set())
    server.start()
    try:
        suite_release.publish_suite(suite, server.root)
        print(f"ready {tls.trusted.ca_der} {sip_reg} {MSIX_SIP_DLL} {publishers}", flush=True)
        threading.Thread(target=commands, args=(suite, server, stop), daemon=True).start()
        stop.wait()
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
