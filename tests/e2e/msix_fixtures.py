"""The MSIX deployments of the Wine prefix, as the PowerShell stand-in records them
(tests/support/appx_commands.h): what a test can set up (a framework already installed) and
read back (the deployment requests the engine made, with their dependency paths).
"""

import json
import shutil
from pathlib import Path
from typing import List, Optional, Sequence

from install_fixtures import wine_quiet

USER_PACKAGES = (r"HKCU\Software\Classes\Local Settings\Software\Microsoft\Windows\CurrentVersion\AppModel"
                 r"\Repository\Packages")
PROVISIONED = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Appx\AppxAllUserStore\Applications"
MSIX_SIP_DLL = "yoxa_test_msix_sip.dll"
# The subject type Windows uses for AppX/MSIX packages; Wine's crypt32 asks each registered
# CryptSIPDllIsMyFileType2 provider whether it claims a file it does not know itself.
MSIX_SIP_GUID = "{0AC5DF4B-CE07-4DE2-B76E-23C839A09FD1}"
MSIX_SIP_FUNCTIONS = {"IsMyFileType2": "MsixSipIsMyFileType2", "GetSignedDataMsg": "MsixSipGetSignedDataMsg",
                      "PutSignedDataMsg": "MsixSipPutSignedDataMsg",
                      "CreateIndirectData": "MsixSipCreateIndirectData",
                      "VerifyIndirectData": "MsixSipVerifyIndirectData",
                      "RemoveSignedDataMsg": "MsixSipRemoveSignedDataMsg"}
LEADING = ["-NoLogo", "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command"]


def quoted(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def msix_sip_registration() -> str:
    """The registry file (for reg import, written as UTF-16) that registers the test subject
    interface package MSIX_SIP_DLL from system32 for MSIX files."""
    base = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Cryptography\OID\EncodingType 0"
    lines = ["Windows Registry Editor Version 5.00", ""]
    for function, export in MSIX_SIP_FUNCTIONS.items():
        lines += [f"[{base}\\CryptSIPDll{function}\\{MSIX_SIP_GUID}]", f'"Dll"="{MSIX_SIP_DLL}"',
                  f'"FuncName"="{export}"', ""]
    return "\r\n".join(lines)


class AppxPrefix:
    """The prefix's MSIX state behind the stand-in installed at `standin` (a PowerShellStandIn)."""

    def __init__(self, wine, standin, publishers: str):
        self._wine = wine
        self._standin = standin
        self._journal = standin.path.parent / "powershell_standin.appx.jsonl"
        (standin.path.parent / "powershell_standin.publishers").write_text(publishers)

    @property
    def windows_apps(self) -> Path:
        return self._wine.prefix / "drive_c" / "Program Files" / "WindowsApps"

    def reset(self) -> None:
        """No package registered or provisioned, no request journalled."""
        for key in (USER_PACKAGES, PROVISIONED):
            wine_quiet(self._wine, "reg", "delete", key, "/f")
        shutil.rmtree(self.windows_apps, ignore_errors=True)
        self._journal.unlink(missing_ok=True)

    def requests(self, command: Optional[str] = None) -> List[dict]:
        """The requests journalled since the last reset: {"command", "path", "dependencies"}."""
        if not self._journal.exists():
            return []
        found = [json.loads(line) for line in self._journal.read_text(encoding="utf-8").splitlines() if line]
        return [r for r in found if command is None or r["command"] == command]

    def powershell(self, script: str):
        """Runs one script through the stand-in as the engine would: (code, stdout, stderr)."""
        result = self._wine.run(self._standin.path, *LEADING, script)
        return result.code, result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace")

    def install(self, package: Path, dependencies: Sequence[Path] = ()) -> None:
        """Deploys a package for the user (a framework a test wants present), outside the journal."""
        script = f"Appx\\Add-AppxPackage -Path {quoted(self._wine.windows_path(package))}"
        if dependencies:
            script += " -DependencyPath " + ",".join(quoted(self._wine.windows_path(d)) for d in dependencies)
        before = self._journal.read_bytes() if self._journal.exists() else None
        code, _, err = self.powershell(script)
        assert code == 0, err
        if before is None:
            self._journal.unlink(missing_ok=True)
        else:
            self._journal.write_bytes(before)

    def installed_versions(self, name: str, all_users: bool = False) -> Optional[str]:
        """The highest version registered for name, through the framework query the engine uses."""
        scope = " -AllUsers" if all_users else ""
        script = (f"$v = @(Get-AppxPackage -Name {quoted(name)}{scope} | ForEach-Object {{ $_.Version }} | "
                  f"Sort-Object {{ [version]$_ }} -Descending | Select-Object -First 1); "
                  f"if ($v) {{ {quoted(name + '|')} + $v[0] }}")
        code, out, err = self.powershell(script)
        assert code == 0, err
        out = out.strip()
        return out.split("|", 1)[1] if out else None
