"""Real MSIX packages of the suite's MSIX apps and of the framework packages they need, for the
Wine tests: zip files with AppxManifest.xml, AppxBlockMap.xml (SHA-256 hashes of 64 KiB
blocks) and [Content_Types].xml, a .msixbundle around one package for lumen, signed with
osslsigncode like every published package.

The app identities (package name, publisher id, architecture, format) are read from the
engine's compiled-in app table (src/core/app_table.cpp), so detection finds what the
PowerShell stand-in records. The manifests' Publisher is the test signer's name; the
stand-in is told which publisher id that name stands for (publisher_map), because the
build's family names were not made from the test signer's name.

Usage as a program: python3 msix_packages.py OUT_DIR  (builds and signs every package there)
"""

import base64
import hashlib
import re
import sys
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, Optional, Sequence, Tuple
from xml.sax.saxutils import escape, quoteattr

REPO_ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO_ROOT / "tests" / "servers"))

import codesign  # noqa: E402

APP_TABLE = REPO_ROOT / "src" / "core" / "app_table.cpp"
BLOCK = 65536
# The subject of the test signer's certificate, as Windows writes a distinguished name.
YOXA_PUBLISHER = f"CN={codesign.YOXA_SIGNER}, O={codesign.YOXA_SIGNER}, C=IN"
FRAMEWORK_PUBLISHER = "CN=Yoxa Test Framework Publisher"


@dataclass(frozen=True)
class MsixApp:
    app_id: str
    display_name: str
    family_name: str
    fmt: str  # "msix" or "msixbundle"
    process: str

    @property
    def package_name(self) -> str:
        return self.family_name.split("_", 1)[0]

    @property
    def publisher_id(self) -> str:
        return self.family_name.split("_", 1)[1]

    @property
    def apps_folder_path(self) -> str:
        return f"shell:AppsFolder\\{self.family_name}!App"


def msix_apps() -> Dict[str, MsixApp]:
    """The MSIX rows of the compiled-in app table, by app id."""
    row = re.compile(r'\{"(\w+)", "([^"]*)", "\d+", "[^"]*", "[^"]*", "([^"]+)", "(msix|msixbundle)", "(\w+)",')
    apps = {m[1]: MsixApp(m[1], m[2], m[3], m[4], m[5]) for m in row.finditer(APP_TABLE.read_text())}
    assert {"abacus", "lumen"} <= apps.keys(), f"the app table has changed: {sorted(apps)}"
    return apps


@dataclass(frozen=True)
class Framework:
    """A row of the engine's framework table: what check-updates reports and an MSIX app needs."""
    identity: str
    token: str
    min_version: str
    file_name: str


FRAMEWORKS = [
    Framework("Microsoft.VCLibs.140.00", "vclibs", "14.0.33519.0", "Microsoft.VCLibs.140.00_x64.appx"),
    Framework("Microsoft.VCLibs.140.00.UWPDesktop", "vclibs", "14.0.33728.0",
              "Microsoft.VCLibs.140.00.UWPDesktop_x64.appx"),
    Framework("Microsoft.WindowsAppRuntime.1.8", "winappruntime", "8000.625.330.0",
              "Microsoft.WindowsAppRuntime.1.8_x64.msix"),
]
FRAMEWORK_BY_ID = {f.identity: f for f in FRAMEWORKS}


def publisher_map(apps: Sequence[MsixApp]) -> str:
    """The stand-in's powershell_standin.publishers: the publisher id of the build's family names
    for the test signer's name."""
    ids = {app.publisher_id for app in apps}
    assert len(ids) == 1, f"the MSIX apps have different publisher ids: {ids}"
    return f"{ids.pop()} {YOXA_PUBLISHER}\n"


# -- the package format -----------------------------------------------------------------------

@dataclass(frozen=True)
class Identity:
    name: str
    publisher: str
    version: str
    architecture: str = "x64"


def _manifest(identity: Identity, dependencies: Sequence[Tuple[str, str]], framework: bool,
              display_name: str, executable: str) -> str:
    deps = "".join(f'\n    <PackageDependency Name={quoteattr(name)} MinVersion={quoteattr(version)} '
                   f'Publisher={quoteattr(FRAMEWORK_PUBLISHER)}/>' for name, version in dependencies)
    applications = "" if framework else (
        f'\n  <Applications>\n    <Application Id="App" Executable={quoteattr(executable)} '
        f'EntryPoint="Windows.FullTrustApplication"/>\n  </Applications>')
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Package xmlns="http://schemas.microsoft.com/appx/manifest/foundation/windows10">
  <Identity Name={quoteattr(identity.name)} Publisher={quoteattr(identity.publisher)} \
Version={quoteattr(identity.version)} ProcessorArchitecture={quoteattr(identity.architecture)}/>
  <Properties>
    <DisplayName>{escape(display_name)}</DisplayName>
    <PublisherDisplayName>Yoxa Test</PublisherDisplayName>
    <Logo>logo.png</Logo>{'''
    <Framework>true</Framework>''' if framework else ''}
  </Properties>
  <Dependencies>
    <TargetDeviceFamily Name="Windows.Desktop" MinVersion="10.0.17763.0" MaxVersionTested="10.0.22621.0"/>{deps}
  </Dependencies>
  <Resources><Resource Language="en-us"/></Resources>{applications}
</Package>
"""


def _block_map(files: Sequence[Tuple[str, bytes]]) -> str:
    """SHA-256 of every 64 KiB block of each file, stored uncompressed (so no block Size)."""
    entries = []
    for name, data in files:
        blocks = "".join(
            f'<Block Hash="{base64.b64encode(hashlib.sha256(data[i:i + BLOCK]).digest()).decode()}"/>'
            for i in range(0, len(data), BLOCK))
        windows_name = name.replace("/", "\\")
        local_header = 30 + len(name.encode())
        entries.append(f'<File Name={quoteattr(windows_name)} Size="{len(data)}" LfhSize="{local_header}">'
                       f'{blocks}</File>')
    return ('<?xml version="1.0" encoding="UTF-8" standalone="no"?>\n'
            '<BlockMap xmlns="http://schemas.microsoft.com/appx/2010/blockmap" '
            'HashMethod="http://www.w3.org/2001/04/xmlenc#sha256">' + "".join(entries) + "</BlockMap>")


def _content_types(extensions: Sequence[str], bundle: bool) -> str:
    types = {"xml": "application/vnd.ms-appx.manifest+xml", "png": "image/png",
             "exe": "application/x-msdownload", "msix": "application/vnd.ms-appx",
             "appx": "application/vnd.ms-appx", "bin": "application/octet-stream"}
    defaults = "".join(f'<Default Extension="{ext}" ContentType="{types.get(ext, "application/octet-stream")}"/>'
                       for ext in sorted(set(extensions)))
    manifest = ('<Override PartName="/AppxMetadata/AppxBundleManifest.xml" '
                'ContentType="application/vnd.ms-appx.bundlemanifest+xml"/>' if bundle else "")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">' + defaults +
            '<Override PartName="/AppxBlockMap.xml" ContentType="application/vnd.ms-appx.blockmap+xml"/>' +
            manifest + "</Types>")


def _write_zip(path: Path, files: Sequence[Tuple[str, bytes]], bundle: bool = False) -> Path:
    """The payload files, then the block map and the content types, all stored."""
    extensions = [name.rsplit(".", 1)[-1].lower() for name, _ in files if "." in name]
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        for name, data in files:
            archive.writestr(zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0)), data)
        archive.writestr(zipfile.ZipInfo("AppxBlockMap.xml", date_time=(2026, 1, 1, 0, 0, 0)), _block_map(files))
        archive.writestr(zipfile.ZipInfo("[Content_Types].xml", date_time=(2026, 1, 1, 0, 0, 0)),
                         _content_types(extensions + ["xml"], bundle))
    return path


def build_package(path: Path, identity: Identity, dependencies: Sequence[Tuple[str, str]] = (),
                  framework: bool = False, display_name: str = "Yoxa Test", executable: str = "App.exe",
                  padding_bytes: int = 0) -> Path:
    """An unsigned .msix/.appx at path; dependencies are (framework name, minimum version)."""
    files = [("AppxManifest.xml", _manifest(identity, dependencies, framework, display_name, executable).encode()),
             ("logo.png", b"\x89PNG\r\n\x1a\n stand-in logo"),
             (executable if not framework else "runtime.bin", b"MZ stand-in executable\n")]
    if padding_bytes:
        files.append(("padding.bin", bytes(i * 7919 % 251 for i in range(padding_bytes))))
    return _write_zip(path, files)


def build_bundle(path: Path, identity: Identity, inner: Path) -> Path:
    """An unsigned .msixbundle at path offering one x64 application package (inner)."""
    data = inner.read_bytes()
    manifest = f"""<?xml version="1.0" encoding="UTF-8"?>
<Bundle xmlns="http://schemas.microsoft.com/appx/2013/bundle" SchemaVersion="5.0">
  <Identity Name={quoteattr(identity.name)} Publisher={quoteattr(identity.publisher)} \
Version={quoteattr(identity.version)}/>
  <Packages>
    <Package Type="application" Version={quoteattr(identity.version)} Architecture="x64" \
FileName={quoteattr(inner.name)} Size="{len(data)}"><Resources><Resource Language="en-us"/></Resources></Package>
  </Packages>
</Bundle>
"""
    return _write_zip(path, [(inner.name, data), ("AppxMetadata/AppxBundleManifest.xml", manifest.encode())],
                      bundle=True)


# -- the suite's packages -------------------------------------------------------------------------

@dataclass(frozen=True)
class BuiltMsix:
    app: Optional[MsixApp]  # None for a framework package
    identity: Identity
    path: Path  # signed
    unsigned: Path
    dependencies: Tuple[Tuple[str, str], ...] = field(default_factory=tuple)

    @property
    def file_name(self) -> str:
        return self.path.name


def build_app(app: MsixApp, version: str, out_dir: Path, signer: codesign.CodeSigner,
              dependencies: Sequence[Tuple[str, str]] = (), padding_bytes: int = 0) -> BuiltMsix:
    """The app's package (for a bundle app, the bundle around its x64 package), signed."""
    out_dir = Path(out_dir)
    identity = Identity(app.package_name, YOXA_PUBLISHER, version)
    stem = f"{app.app_id}-{version}"
    package = build_package(out_dir / "unsigned" / f"{app.process}_{version}_x64.msix", identity, dependencies,
                            display_name=app.display_name, executable=f"{app.process}.exe",
                            padding_bytes=padding_bytes)
    if app.fmt == "msixbundle":
        # The inner package is signed too, as the packaging tools do.
        codesign.sign(package, signer)
        package = build_bundle(out_dir / "unsigned" / f"{stem}.msixbundle", identity, package)
    signed = codesign.sign(package, signer, out_dir / f"{stem}.{app.fmt}")
    return BuiltMsix(app, identity, signed, package, tuple(dependencies))


def build_framework(framework: Framework, version: str, out_dir: Path, signer: codesign.CodeSigner) -> BuiltMsix:
    identity = Identity(framework.identity, FRAMEWORK_PUBLISHER, version)
    out_dir = Path(out_dir)
    package = build_package(out_dir / "unsigned" / f"{framework.identity}-{version}{Path(framework.file_name).suffix}",
                            identity, framework=True, display_name=framework.identity)
    signed = codesign.sign(package, signer, out_dir / f"{framework.identity}-{version}{Path(framework.file_name).suffix}")
    return BuiltMsix(None, identity, signed, package)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: msix_packages.py OUT_DIR")
    out = Path(sys.argv[1])
    pki = codesign.generate(out / "pki")
    apps = msix_apps()
    for app_id, app in apps.items():
        built = build_app(app, "2.0.0.0", out, pki.yoxa, [(FRAMEWORKS[0].identity, FRAMEWORKS[0].min_version)])
        print(f"{app_id}: {built.path}")
    for framework in FRAMEWORKS:
        print(f"{framework.identity}: {build_framework(framework, framework.min_version, out, pki.yoxa).path}")
    print(publisher_map(list(apps.values())), end="")
