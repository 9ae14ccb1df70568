"""Package verification under Wine: the engine's verify_package and
verify_checksum on real MSI packages built with wixl and Authenticode-signed with
osslsigncode, through verify_probe.exe and the real WinVerifyTrust.

The probe records the waits between attempts instead of sleeping, and counts the
signature attempts and hash runs, so three-attempt failures take no 15 s.

The code-signing CA of tests/servers/codesign.py is deliberately not added to the
prefix: Wine's WinVerifyTrust does not check the trust root of an Authenticode chain,
so a signature from an untrusted CA verifies (on Windows it would fail with
CERT_E_UNTRUSTEDROOT). What is real here: the signer's common name and the exact,
case-sensitive comparison with it, the unsigned status 0x800B0100, a tampered PE
(0x80096010), the attempts and waits, the hash script and the checksum comparison.

What Wine cannot show, covered by tests/unit/verification_test.cpp with fakes:
  - trust decisions: untrusted roots, revoked or expired certificates, MSI content
    hashes (Wine does not check them, so a signed MSI changed after signing passes);
  - catalogs: Wine fails CryptCATAdminAcquireContext2 with ERROR_CALL_NOT_IMPLEMENTED
    (120), so an unsigned file here ends in "OS Error: 120" instead of "The binary
    file didn't have any signature", and a file listed in a signed catalog cannot be
    shown to pass.

Hashes go through the PowerShell stand-in (`powershell_standin` in conftest.py),
which runs the engine's real hash command.
"""

import hashlib
import json
import shutil
from pathlib import Path

import pytest

import codesign  # tests/servers, on the path through conftest.py
import packages

VERIFY_FAILED = "Installer verification failed. Please try the offline installer or contact support for assistance."
NO_SIGNATURE = 0x800B0100
BAD_DIGEST = 0x80096010


class Packages:
    def __init__(self, root: Path):
        pki = codesign.generate(root / "pki")
        built = packages.build_msi(packages.QUILL, "1.2.3", root / "msi")
        self.unsigned = root / "quill-unsigned.msi"
        shutil.copyfile(built.path, self.unsigned)
        self.signed = codesign.sign(built.path, pki.yoxa, root / "quill-signed.msi")
        self.other_case = codesign.sign(built.path, pki.other_case, root / "quill-other-case.msi")
        self.quoted = root / "it's quill.msi"
        shutil.copyfile(self.unsigned, self.quoted)
        self.pki = pki


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture(scope="module")
def msi(tmp_path_factory) -> Packages:
    codesign.osslsigncode()  # fails with the package to install when it is missing
    return Packages(tmp_path_factory.mktemp("verification"))


@pytest.fixture
def hash_mode(powershell_standin) -> str:
    return "--hash=powershell"


@pytest.fixture
def verify(wine, support_exe, hash_mode):
    probe = support_exe("verify_probe.exe")

    def run(operation: str, path: Path, expected: str) -> dict:
        result = wine.run(probe, operation, wine.windows_path(path), expected, hash_mode, timeout=120)
        assert result.code == 0, result.stderr.decode(errors="replace")
        outcome = json.loads(result.stdout)
        outcome["log"] = result.stderr.decode(errors="replace")
        return outcome

    return run


def check(kind: str, status: int) -> str:
    return f"{kind}:failed:0x{status:08X}"


# -- verify_package --------------------------------------------------------------------

def test_package_signed_with_the_yoxa_name_passes(verify, msi):
    outcome = verify("package", msi.signed, sha256(msi.signed))  # lower case, as hashlib writes it
    assert outcome["ok"] is True, outcome
    assert outcome["checks"] == [f"file:trusted:{codesign.YOXA_SIGNER}"]
    assert outcome["signature_attempts"] == 1
    assert outcome["checksum_runs"] == 1
    assert outcome["waits"] == []
    assert "Checksum verification passed" in outcome["log"]
    assert "Installer verification completed\n" in outcome["log"]


def test_signer_name_in_other_letter_case_fails_after_one_attempt(verify, msi):
    outcome = verify("package", msi.other_case, sha256(msi.other_case))
    assert outcome["ok"] is False
    assert outcome["message"] == VERIFY_FAILED
    assert outcome["detail"] == "Signature verification failed: common name mismatch"
    assert outcome["checks"] == [f"file:trusted:{codesign.OTHER_CASE_SIGNER}"]
    assert outcome["signature_attempts"] == 1
    assert outcome["waits"] == []
    assert outcome["checksum_runs"] == 0
    assert f"Signature verification failed: unexpected common name '{codesign.OTHER_CASE_SIGNER}'" in outcome["log"]


def test_unsigned_package_fails_after_three_attempts(verify, msi):
    outcome = verify("package", msi.unsigned, sha256(msi.unsigned))
    assert outcome["ok"] is False
    assert outcome["message"] == VERIFY_FAILED
    assert outcome["signature_attempts"] == 3
    assert outcome["waits"] == [5, 10]
    assert outcome["checksum_runs"] == 0
    # Each attempt finds no embedded signature and then looks for a catalog.
    assert outcome["checks"][0::2] == [check("file", NO_SIGNATURE)] * 3
    catalog = outcome["checks"][1::2]
    assert len(catalog) == 3 and catalog[0].startswith("catalog:")
    if catalog[0] == check("catalog", 120):
        # Wine 8: CryptCATAdminAcquireContext2 is not implemented, so the catalog
        # lookup fails as a call. Windows answers "not in a catalog" here.
        failure = "OS Error: 120"
    else:
        assert catalog[0] == "catalog:not-in-catalog"
        failure = "The binary file didn't have any signature"
    assert outcome["detail"] == f"Signature verification failed: {failure}"
    for attempt in (1, 2, 3):
        assert f"Attempt {attempt} to verify signature failed (1): {failure}" in outcome["log"]


def test_tampered_signed_executable_fails_without_a_catalog_lookup(verify, msi, support_exe, tmp_path):
    signed = codesign.sign(support_exe("fake_shell.exe"), msi.pki.yoxa, tmp_path / "signed.exe")
    tampered = bytearray(signed.read_bytes())
    tampered[0x400] ^= 0xFF  # inside the code, covered by the Authenticode digest
    (tmp_path / "tampered.exe").write_bytes(tampered)
    outcome = verify("package", tmp_path / "tampered.exe", sha256(tmp_path / "tampered.exe"))
    assert outcome["ok"] is False
    assert outcome["detail"] == "Signature verification failed: OS Error: -2146869232"
    assert outcome["checks"] == [check("file", BAD_DIGEST)] * 3
    assert outcome["waits"] == [5, 10]


def test_signed_package_with_a_wrong_checksum_fails_after_the_signature(verify, msi):
    wrong = "ab" * 32
    outcome = verify("package", msi.signed, wrong)
    assert outcome["ok"] is False
    assert outcome["message"] == VERIFY_FAILED
    assert outcome["detail"] == f"Checksum mismatch: got {sha256(msi.signed).upper()} vs {wrong.upper()}"
    assert outcome["checks"] == [f"file:trusted:{codesign.YOXA_SIGNER}"]
    assert outcome["checksum_runs"] == 1


def test_signed_package_with_an_empty_checksum_fails(verify, msi):
    outcome = verify("package", msi.signed, "")
    assert outcome["ok"] is False
    assert outcome["detail"] == f"Checksum mismatch: got {sha256(msi.signed).upper()} vs "


# -- verify_checksum -------------------------------------------------------------------

def test_checksum_in_lower_case_passes_and_never_looks_at_signatures(verify, msi):
    outcome = verify("checksum", msi.unsigned, sha256(msi.unsigned))
    assert outcome["ok"] is True, outcome
    assert outcome["checks"] == []
    assert outcome["checksum_runs"] == 1
    assert outcome["waits"] == []
    assert "Installer verification completed (checksum only)" in outcome["log"]


def test_wrong_checksum_fails_at_once(verify, msi):
    wrong = sha256(msi.signed)
    outcome = verify("checksum", msi.unsigned, wrong)
    assert outcome["ok"] is False
    assert outcome["message"] == VERIFY_FAILED
    assert outcome["detail"] == f"Checksum mismatch: got {sha256(msi.unsigned).upper()} vs {wrong.upper()}"
    assert outcome["checksum_runs"] == 1
    assert outcome["waits"] == []


def test_empty_expected_checksum_fails(verify, msi):
    outcome = verify("checksum", msi.unsigned, "")
    assert outcome["ok"] is False
    assert outcome["detail"] == f"Checksum mismatch: got {sha256(msi.unsigned).upper()} vs "


def test_checksum_of_a_path_with_a_single_quote(wine, verify, msi):
    outcome = verify("checksum", msi.quoted, sha256(msi.quoted))
    assert outcome["ok"] is True, outcome
    quoted = wine.windows_path(msi.quoted).replace("'", "''")
    assert f"-LiteralPath '{quoted}' -Algorithm SHA256" in outcome["scripts"][0]


def test_hash_command_failing_three_times_gives_its_error(verify, msi, tmp_path):
    outcome = verify("checksum", tmp_path / "missing.msi", sha256(msi.unsigned))
    assert outcome["ok"] is False
    assert outcome["message"] == VERIFY_FAILED
    assert outcome["detail"].startswith("Command Failed: exit code: "), outcome
    assert outcome["checksum_runs"] == 3
    assert outcome["waits"] == [5, 10]
    for attempt in (1, 2, 3):
        assert f"Attempt {attempt} to compute checksum failed: {outcome['detail']}" in outcome["log"]

