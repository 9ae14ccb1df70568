"""The MSIX test support under Wine, checked against what Windows does, because the MSIX
install tests lean on it: the test subject interface package lets WinVerifyTrust read an MSIX
signature (through the engine's own verification, verify_probe.exe), and the PowerShell
stand-in deploys, checks framework dependencies, answers the engine's queries and removes
packages where detection looks.
"""

import json
import zipfile

import pytest

import codesign  # tests/servers, on the path through conftest.py
import msix_packages
from msix_fixtures import AppxPrefix, quoted

pytestmark = pytest.mark.usefixtures("msix_sip")

NO_SIGNATURE = 0x800B0100
VCLIBS = msix_packages.FRAMEWORK_BY_ID["Microsoft.VCLibs.140.00"]


class Built:
    def __init__(self, root):
        pki = codesign.generate(root / "pki")
        apps = msix_packages.msix_apps()
        self.apps = apps
        needs = [(VCLIBS.identity, VCLIBS.min_version)]
        self.abacus = msix_packages.build_app(apps["abacus"], "2.0.0.0", root / "abacus", pki.yoxa, needs)
        self.lumen = msix_packages.build_app(apps["lumen"], "3.1.0.0", root / "lumen", pki.yoxa)
        self.other_case = msix_packages.build_app(apps["abacus"], "2.0.0.0", root / "other", pki.other_case)
        self.vclibs = msix_packages.build_framework(VCLIBS, VCLIBS.min_version, root / "fw", pki.yoxa)
        self.vclibs_old = msix_packages.build_framework(VCLIBS, "14.0.30000.0", root / "fw-old", pki.yoxa)


@pytest.fixture(scope="module")
def built(tmp_path_factory) -> Built:
    codesign.osslsigncode()
    return Built(tmp_path_factory.mktemp("msix-support"))


@pytest.fixture
def appx(wine, powershell_standin, built):
    prefix = AppxPrefix(wine, powershell_standin, msix_packages.publisher_map(list(built.apps.values())))
    prefix.reset()
    yield prefix
    prefix.reset()


def verify(wine, support_exe, path) -> dict:
    result = wine.run(support_exe("verify_probe.exe"), "package", wine.windows_path(path), "0" * 64, "--hash=self",
                      timeout=120)
    assert result.code == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def test_winverifytrust_reads_msix_and_bundle_signatures(wine, support_exe, built):
    for package in (built.abacus.path, built.lumen.path):
        assert verify(wine, support_exe, package)["checks"] == [f"file:trusted:{codesign.YOXA_SIGNER}"], package
    assert verify(wine, support_exe, built.other_case.path)["checks"] == [
        f"file:trusted:{codesign.OTHER_CASE_SIGNER}"]
    unsigned = verify(wine, support_exe, built.abacus.unsigned)
    assert unsigned["checks"][0] == f"file:failed:0x{NO_SIGNATURE:08X}"
    assert unsigned["ok"] is False


def test_a_missing_framework_fails_the_deployment_as_windows_does(wine, appx, built):
    code, _, err = appx.powershell(f"Appx\\Add-AppxPackage -Path {quoted(wine.windows_path(built.abacus.path))}")
    assert code == 1
    assert "Deployment failed with HRESULT: 0x80073CF3" in err
    assert f'Provide the framework "{VCLIBS.identity}" published by' in err
    assert appx.installed_versions("YoxaCorporation.YoxaAbacus") is None

    # A framework below the minimum does not count either.
    appx.install(built.vclibs_old.path)
    code, _, err = appx.powershell(f"Appx\\Add-AppxPackage -Path {quoted(wine.windows_path(built.abacus.path))}")
    assert code == 1 and "0x80073CF3" in err


def test_deploy_query_and_remove_for_the_user(wine, appx, built):
    path, framework = wine.windows_path(built.abacus.path), wine.windows_path(built.vclibs.path)
    code, _, err = appx.powershell(f"Appx\\Add-AppxPackage -Path {quoted(path)} -DependencyPath {quoted(framework)}")
    assert code == 0, err
    assert appx.requests() == [{"command": "Add-AppxPackage", "path": path, "dependencies": [framework]}]
    assert appx.installed_versions(VCLIBS.identity) == VCLIBS.min_version
    family = built.apps["abacus"].family_name
    root = appx.windows_apps / f"YoxaCorporation.YoxaAbacus_2.0.0.0_x64__{built.apps['abacus'].publisher_id}"
    assert (root / "AppxManifest.xml").is_file()
    code, out, _ = appx.powershell("Appx\\Get-AppxPackage -Name 'YoxaCorporation.YoxaAbacus*' | "
                                   "Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Version -First 1")
    assert (code, out.strip()) == (0, "2.0.0.0")

    # Another family with the same name prefix is left alone.
    code, _, _ = appx.powershell("Appx\\Get-AppxPackage -Name 'YoxaCorporation.YoxaAbacus*' | "
                                 "Microsoft.PowerShell.Core\\Where-Object { $_.PackageFamilyName -eq "
                                 "'YoxaCorporation.YoxaAbacus_0000000000000' } | Appx\\Remove-AppxPackage")
    assert code == 0 and appx.installed_versions("YoxaCorporation.YoxaAbacus") == "2.0.0.0"
    code, _, _ = appx.powershell("Appx\\Get-AppxPackage -Name 'YoxaCorporation.YoxaAbacus*' | "
                                 "Microsoft.PowerShell.Core\\Where-Object { $_.PackageFamilyName -eq "
                                 f"{quoted(family)} }} | Appx\\Remove-AppxPackage")
    assert code == 0 and appx.installed_versions("YoxaCorporation.YoxaAbacus") is None
    assert not root.exists()


def test_provision_bundle_then_deprovision(wine, appx, built):
    path = wine.windows_path(built.lumen.path)
    code, _, err = appx.powershell(f"Dism\\Add-AppxProvisionedPackage -Online -PackagePath {quoted(path)} -SkipLicense")
    assert code == 0, err
    query = ("Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName "
             "-eq 'YoxaCorporation.YoxaLumen' } | Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty "
             "DisplayName -First 1")
    assert appx.powershell(query)[1].strip() == "YoxaCorporation.YoxaLumen"
    # The bundle's inner x64 package gives the identity.
    assert appx.installed_versions("YoxaCorporation.YoxaLumen", all_users=True) == "3.1.0.0"

    code, _, _ = appx.powershell(
        "Dism\\Get-AppxProvisionedPackage -Online | Microsoft.PowerShell.Core\\Where-Object { $_.DisplayName -eq "
        "'YoxaCorporation.YoxaLumen' } | Microsoft.PowerShell.Core\\ForEach-Object { "
        "Dism\\Remove-AppxProvisionedPackage -Online -PackageName $_.PackageName }")
    assert code == 0 and appx.powershell(query)[1].strip() == ""


def hostile_packages(built, root):
    """Files no deployment or signature check may crash on, by name."""
    signed = built.abacus.path.read_bytes()
    made = {"random.msix": bytes(range(256)) * 64, "empty.msix": b"", "truncated.msix": signed[: len(signed) // 2],
            "tail-only.msix": signed[-200:]}
    with zipfile.ZipFile(root / "no-identity.msix", "w") as archive:
        archive.writestr("AppxManifest.xml", "<Package><Properties/></Package>")
    with zipfile.ZipFile(root / "missing-inner.msixbundle", "w") as archive:
        archive.writestr("AppxMetadata/AppxBundleManifest.xml",
                         '<Bundle><Package Type="application" Architecture="x64" FileName="gone.msix"/></Bundle>')
    # A deflated manifest whose directory entry claims far more than it holds.
    with zipfile.ZipFile(root / "lying-size.msix", "w", compression=zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("AppxManifest.xml", "<Package/>" * 1000)
    data = bytearray((root / "lying-size.msix").read_bytes())
    directory = data.rfind(b"PK\x01\x02")
    data[directory + 24:directory + 28] = (1 << 31).to_bytes(4, "little")
    made["lying-size.msix"] = bytes(data)
    for name, content in made.items():
        (root / name).write_bytes(content)
    return sorted(p for p in root.iterdir() if p.is_file())


def test_hostile_packages_are_refused_without_a_crash(wine, support_exe, appx, built, tmp_path):
    for package in hostile_packages(built, tmp_path):
        code, _, err = appx.powershell(f"Appx\\Add-AppxPackage -Path {quoted(wine.windows_path(package))}")
        assert code == 1 and "Deployment failed with HRESULT: 0x80073CF0" in err, (package.name, err)
        if not package.read_bytes().startswith(b"PK"):
            continue  # not claimed by the subject interface package: Wine's own answer
        outcome = verify(wine, support_exe, package)
        assert outcome["ok"] is False and outcome["checks"], (package.name, outcome)
        assert all(c.startswith(("file:failed:", "catalog:")) for c in outcome["checks"]), (package.name, outcome)
    assert appx.installed_versions("YoxaCorporation.YoxaAbacus") is None
