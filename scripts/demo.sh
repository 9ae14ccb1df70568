#!/usr/bin/env bash
# The one-command demo: builds YoxaOfficeInstaller.exe with the test configuration,
# serves signed sample packages from a local CDN (nginx on https://localhost:47443),
# makes a throwaway Wine prefix that trusts the test CA and has the PowerShell
# stand-in, then drives the exe with the terminal launcher (tools/launcher.py) as the
# graphical launcher does: `hello`, `check-updates`, then `run --action install --apps quill` with a
# live progress bar (Ctrl-C cancels the run and ends the demo), then `hello` again.
# Everything it starts (the CDN, the Wine prefix and its server) is removed on exit.
#
# Usage: scripts/demo.sh [--raw]   --raw prints the engine's JSON lines instead
# Environment: YOXA_WINDOWS_BUILD  build directory (default build/windows-test)
#              JOBS                parallel build jobs (default: all cores)
set -euo pipefail
raw=()
[ "${1:-}" = --raw ] && raw=(--raw)
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(realpath -m "${YOXA_WINDOWS_BUILD:-build/windows-test}")
exe=$build/YoxaOfficeInstaller.exe

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

echo "== Local CDN with signed sample packages (quill, folio)"
# A coprocess: its standard input is our pipe, so it also stops if this script dies.
coproc CDN { exec /usr/bin/python3 tests/e2e/demo_cdn.py "$work/cdn"; }
cdn_pid=$CDN_PID
read -r state ca_der <&"${CDN[0]}" || { echo "the demo CDN did not start" >&2; exit 1; }
[ "$state" = ready ] || { echo "the demo CDN did not start: $state" >&2; exit 1; }

echo "== Wine prefix: $WINEPREFIX"
mkdir -p "$WINEPREFIX"
wineserver -p
wine wineboot -i </dev/null >"$work/wineboot.log" 2>&1
# Wine 8 prefixes report Windows 7; the engine installs from Windows 10 1809 on.
wine winecfg /v win10 </dev/null >/dev/null 2>&1
# The test CA in the machine Root store, so WinHTTP trusts the CDN.
wine "$build/tests/support/certtrust.exe" add "$(winepath -w "$ca_der")" </dev/null | cat
# Wine's powershell.exe is a stub; the stand-in answers the engine's file-hash and
# stop-app scripts.
powershell=$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0
mkdir -p "$powershell"
cp "$build/tests/support/powershell_standin.exe" "$powershell/powershell.exe"

show() {
  echo
  echo "\$ YoxaOfficeInstaller.exe $*"
  # The launcher reads the engine through a pipe and prints the exit code itself.
  /usr/bin/python3 tools/launcher.py --engine "$exe" "${raw[@]}" "$@" || true
}
show hello
show check-updates --apps quill,folio
show run --action install --apps quill
show hello

logs=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local/Yoxa/YoxaOffice/logs 2>/dev/null | head -1)
if [ -n "$logs" ]; then
  echo
  echo "== worker log (user scope): ${logs#"$WINEPREFIX"/}/installer.log"
  cat "$logs/installer.log"
fi
