"""Real MSI packages of the suite's apps, built with wixl for the Wine tests.

The upgrade codes and product names are the engine's (docs/app-identifiers.md),
so Wine's msiexec registers them exactly where the engine looks.
"""

import os
import subprocess
import uuid
from dataclasses import dataclass
from pathlib import Path

FIXTURES = Path(__file__).resolve().parent / "fixtures"


@dataclass(frozen=True)
class MsiApp:
    app_id: str
    product_name: str
    upgrade_code: str
    process: str


QUILL = MsiApp("quill", "Yoxa Quill", "{6F1B2A3C-4D5E-4F60-8172-93A4B5C6D7E8}", "YoxaQuill")
FOLIO = MsiApp("folio", "Yoxa Folio", "{8A7B6C5D-4E3F-4A2B-9C1D-0E1F2A3B4C5D}", "YoxaFolio")


@dataclass(frozen=True)
class BuiltMsi:
    app: MsiApp
    version: str
    product_code: str
    path: Path


def build_msi(app: MsiApp, version: str, out_dir: Path, major_upgrade: bool = False,
              padding_bytes: int = 0) -> BuiltMsi:
    """Builds an x64 MSI installing <ProgramFiles>\\<product name>\\<process>.exe.

    major_upgrade: the package also replaces an older version of itself, so an update
    leaves one registered product. padding_bytes: incompressible data that makes its
    download take a while on a throttled CDN."""
    out_dir.mkdir(parents=True, exist_ok=True)
    product_code = "{" + str(uuid.uuid4()).upper() + "}"
    payload = out_dir / f"{app.process}.exe"
    payload.write_bytes(b"MZ stand-in executable\n")
    source = (FIXTURES / "app.wxs.in").read_text()
    if major_upgrade:
        source = source.replace('<Media Id="1"', '<MajorUpgrade DowngradeErrorMessage="A newer version is installed."/>\n'
                                                  '    <Media Id="1"')
    if padding_bytes:
        padding = out_dir / f"padding-{version}.bin"
        padding.write_bytes(os.urandom(padding_bytes))
        source = source.replace('KeyPath="yes"/>',
                                f'KeyPath="yes"/>\n            <File Id="padding" Name="padding.bin" '
                                f'Source="{padding.name}"/>')
    replacements = {
        "@PRODUCT_CODE@": product_code,
        "@PRODUCT_NAME@": app.product_name,
        "@VERSION@": version,
        "@UPGRADE_CODE@": app.upgrade_code,
        "@DIR_NAME@": app.product_name,
        "@COMPONENT_CODE@": "{" + str(uuid.uuid4()).upper() + "}",
        "@PROCESS@": app.process,
        "@PAYLOAD@": payload.name,
    }
    for key, value in replacements.items():
        source = source.replace(key, value)
    wxs = out_dir / f"{app.app_id}-{version}.wxs"
    wxs.write_text(source)
    msi = out_dir / f"{app.app_id}-{version}.msi"
    subprocess.run(["wixl", "-a", "x64", "-o", str(msi), str(wxs)], cwd=out_dir, check=True,
                   capture_output=True, timeout=300)
    return BuiltMsi(app, version, product_code, msi)
