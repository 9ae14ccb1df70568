#!/usr/bin/env bash
# The one-command demo: the whole job of YoxaOfficeInstaller.exe, each step driven by the
# terminal launcher (tools/launcher.py) as the graphical launcher drives it: hello, install
# of the whole suite (quill and folio as MSI, abacus and lumen as MSIX with their framework
# packages), check-updates, an update of folio after a newer release is published,
# export-logs, and the uninstall of the suite. It builds the exe with the test
# configuration, serves the packages from a local CDN (nginx on https://localhost:47443) and
# runs everything in a throwaway Wine prefix; everything it starts is removed on exit.
# Ctrl-C during a run cancels that run (the launcher sends the cancel command) and ends the demo.
#
# Usage: scripts/demo.sh [--raw]   --raw prints the engine's JSON lines instead of the views
# Environment: YOXA_WINDOWS_BUILD  build directory (default build/windows-test)
#              JOBS                parallel build jobs (default: all cores)
set -euo pipefail
raw=()
[ "${1:-}" = --raw ] && raw=(--raw)
cd "$(dirname "$0")/.."
build=$(realpath -m "${YOXA_WINDOWS_BUILD:-build/windows-test}")
exe=$build/YoxaOfficeInstaller.exe

cat <<'EOF'
== What is real here and what is a test stand-in
Real: YoxaOfficeInstaller.exe (the engine, built from this tree), tools/launcher.py, the
      CDN tree written by tools/publish_cdn.py, Authenticode and SHA-256 verification,
      and Wine's msiexec installing the MSI apps.
Stand-ins (the Wine test suite's): Wine 8 instead of Windows; the test build's embedded
      configuration (its CDN is https://localhost:47443, served by nginx); sample packages
      of the four apps and their frameworks, signed by a test code-signing CA that the
      prefix trusts, as is the CDN's test TLS CA; a PowerShell stand-in for Wine's stub
      (file hashes, stopping apps, the app-package cmdlets that record MSIX deployments
      in the registry as Windows does, Compress-Archive); and a test subject interface
      package so that Wine's WinVerifyTrust reads MSIX signatures.
EOF

bash scripts/install-deps.sh
cmake --preset windows-test -B "$build" >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}"

. scripts/wine-env.sh
work=$(mktemp -d -t yoxa-demo.XXXXXX)
export WINEPREFIX=$work/prefix

cleanup() {
  set +e
  if [ -n "${cdn_pid:-}" ]; then kill "$cdn_pid" 2>/dev/null; wait "$cdn_pid" 2>/dev/null; fi
  if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Local CDN with the signed sample packages of the suite"
# A coprocess: its standard input is our pipe, so it also stops if this script dies.
coproc CDN { exec /usr/bin/python3 tests/e2e/demo_cdn.py "$work/cdn"; }
cdn_pid=$CDN_PID
read -r state ca_der sip_reg sip_dll publishers <&"${CDN[0]}" || { echo "the demo CDN did not start" >&2; exit 1; }
[ "$state" = ready ] || { echo "the demo CDN did not start: $state" >&2; exit 1; }

echo "== Wine prefix: $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p
wine wineboot -i </dev/null >"$work/wineboot.log" 2>&1
# Wine 8 prefixes report Windows 7; the engine installs from Windows 10 1809 on.
wine winecfg /v win10 </dev/null >/dev/null 2>&1
# The test CA in the machine Root store, so WinHTTP trusts the CDN.
wine "$build/tests/support/certtrust.exe" add "$(winepath -w "$ca_der")" </dev/null | cat
system32=$WINEPREFIX/drive_c/windows/system32
powershell=$system32/WindowsPowerShell/v1.0
mkdir -p "$powershell"
cp "$build/tests/support/powershell_standin.exe" "$powershell/powershell.exe"
cp "$publishers" "$powershell/powershell_standin.publishers"
cp "$build/tests/support/msix_sip.dll" "$system32/$sip_dll"
wine reg import "$(winepath -w "$sip_reg")" </dev/null >/dev/null 2>&1

failed=()
show() {
  echo
  echo "\$ YoxaOfficeInstaller.exe $*"
  # The launcher reads the engine through a pipe and prints the exit code itself.
  local code=0
  /usr/bin/python3 tools/launcher.py --engine "$exe" "${raw[@]}" "$@" || code=$?
  [ "$code" -eq 0 ] || failed+=("$* (exit code $code)")
}

show hello
show run --action install
show check-updates

echo
echo "== Publishing folio 3.1.0 on the CDN"
echo newer >&"${CDN[1]}"
read -r answer <&"${CDN[0]}" && echo "$answer"
show check-updates --apps folio
show run --action update --apps folio

support=$work/support
mkdir -p "$support"
show export-logs --out "$(winepath -w "$support")"
bundle=$(ls "$support"/YoxaOfficeInstaller-logs-*.zip 2>/dev/null | head -1)
if [ -n "$bundle" ]; then
  echo
  echo "== The log bundle a user would send to support: $(basename "$bundle")"
  unzip -l "$bundle"
  unzip -p "$bundle" error-summary.txt
fi

show run --action uninstall
show hello

echo
if ((${#failed[@]})); then
  printf 'Steps that did not end with exit code 0:\n' >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "Every step ended with exit code 0."
