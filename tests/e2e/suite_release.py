"""The whole suite as a release engineer publishes it, for the demo and the guides' test:
signed packages of all four apps (quill and folio as MSI, abacus as MSIX, lumen as
MSIXBUNDLE) with the framework packages the MSIX apps need, newer quill and folio for updates,
and their CDN tree written by tools/publish_cdn.py from the test configuration.

Everything is signed by the test code-signing PKI as the engine's publisher; the Wine
prefix needs the MSIX subject interface package and the PowerShell stand-in's publisher
map (prepare_msix_prefix) to read and deploy the MSIX packages.
"""

import dataclasses
import shutil
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List

HERE = Path(__file__).resolve().parent
REPO_ROOT = HERE.parents[1]
sys.path.insert(0, str(REPO_ROOT / "tests" / "servers"))
sys.path.insert(0, str(REPO_ROOT / "tools"))

import codesign  # noqa: E402
import msix_packages  # noqa: E402
from cdn import TEST_SIGNING_KEY, next_sequence  # noqa: E402
from install_fixtures import build_app_msi  # noqa: E402
from packages import FOLIO, QUILL, BuiltMsi  # noqa: E402
from publish_cdn import Release, framework_dependency, publish  # noqa: E402

TEST_CONFIG = REPO_ROOT / "config" / "installer_config.test.json"
# What each MSIX app's package declares it needs, by framework identity.
MSIX_NEEDS = {"abacus": ["Microsoft.VCLibs.140.00", "Microsoft.WindowsAppRuntime.1.8"],
              "lumen": ["Microsoft.VCLibs.140.00"]}
MSIX_VERSIONS = {"abacus": "2.0.0.0", "lumen": "3.1.0.0"}


@dataclass(frozen=True)
class Suite:
    pki: codesign.CodeSigningPki
    quill: BuiltMsi  # 1.4.2
    quill_newer: BuiltMsi  # 1.5.0
    folio: BuiltMsi  # 3.0.1
    folio_newer: BuiltMsi  # 3.1.0
    msix: Dict[str, msix_packages.BuiltMsix]  # abacus, lumen
    frameworks: Dict[str, Path]  # identity -> the signed package under the file name publish_cdn.py knows
    msix_apps: Dict[str, msix_packages.MsixApp]

    @property
    def publishers(self) -> str:
        """The PowerShell stand-in's powershell_standin.publishers for these packages."""
        return msix_packages.publisher_map(list(self.msix_apps.values()))


def _signed_msi(app, version: str, root: Path, pki: codesign.CodeSigningPki) -> BuiltMsi:
    built = build_app_msi(app, version, root / f"{app.app_id}-{version}")
    signed = codesign.sign(built.path, pki.yoxa, root / f"{app.app_id}-{version}.msi")
    return dataclasses.replace(built, path=signed)


def build_suite(root: Path) -> Suite:
    """Builds and signs every package of the suite under root."""
    root = Path(root)
    pki = codesign.generate(root / "pki")
    apps = msix_packages.msix_apps()
    frameworks_by_id = msix_packages.FRAMEWORK_BY_ID
    msix = {}
    for app_id, needs in MSIX_NEEDS.items():
        requirements = [(name, frameworks_by_id[name].min_version) for name in needs]
        msix[app_id] = msix_packages.build_app(apps[app_id], MSIX_VERSIONS[app_id], root / app_id, pki.yoxa,
                                               requirements)
    frameworks = {}
    for framework in msix_packages.FRAMEWORKS:
        built = msix_packages.build_framework(framework, framework.min_version, root / "frameworks", pki.yoxa)
        named = root / "frameworks" / framework.file_name
        shutil.copyfile(built.path, named)
        frameworks[framework.identity] = named
    return Suite(pki, _signed_msi(QUILL, "1.4.2", root, pki), _signed_msi(QUILL, "1.5.0", root, pki),
                 _signed_msi(FOLIO, "3.0.1", root, pki), _signed_msi(FOLIO, "3.1.0", root, pki), msix, frameworks,
                 apps)


def _signed(release: Release) -> Release:
    # The test configuration's engine accepts only a meta.json signed by its test key; the
    # sequence outgrows what a prefix kept from an earlier demo accepted.
    return dataclasses.replace(release, signing_key=TEST_SIGNING_KEY, sequence=next_sequence())


def releases(suite: Suite) -> List[Release]:
    """The first release of each app, in the app table's order."""
    found = [Release("quill", suite.quill.version, suite.quill.path, notes=["First release of the suite"])]
    for app_id in ("abacus", "lumen"):
        built = suite.msix[app_id]
        found.append(Release(app_id, built.identity.version, built.path, notes=["First release of the suite"],
                             dependencies=[framework_dependency(suite.frameworks[name])
                                           for name in MSIX_NEEDS[app_id]]))
    found.append(Release("folio", suite.folio.version, suite.folio.path, notes=["First release of the suite"]))
    return [_signed(release) for release in found]


def newer_folio(suite: Suite) -> Release:
    """folio's next release. (An update of folio shows under Wine: it always installs for all users,
    whereas Wine's msiexec registers a per-user quill machine-wide, which a per-user run then leaves
    alone.)"""
    return _signed(Release("folio", suite.folio_newer.version, suite.folio_newer.path,
                           notes=["Tables of contents", "Faster start-up"]))


def publish_suite(suite: Suite, cdn_root: Path, config: Path = TEST_CONFIG) -> None:
    for release in releases(suite):
        publish(release, config, cdn_root)


def prepare_msix_prefix(powershell_dir: Path, suite: Suite) -> None:
    """Tells the PowerShell stand-in installed in powershell_dir which publisher the suite's
    family names stand for (the SIP itself is registered by msix_fixtures.register_msix_sip)."""
    (Path(powershell_dir) / "powershell_standin.publishers").write_text(suite.publishers)
