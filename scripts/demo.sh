#!/usr/bin/env bash
# Builds YoxaOfficeInstaller.exe and runs it under Wine in a throwaway prefix:
# the help text and the headless front door's argument checks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build build/windows -j "$(nproc)"

. scripts/wine-env.sh
export WINEPREFIX="${WINEPREFIX:-$(mktemp -d)/prefix}"
echo "== Wine prefix: $WINEPREFIX"
wineboot -i >/dev/null 2>&1
exe=build/windows/YoxaOfficeInstaller.exe

show() {
  echo
  echo "\$ YoxaOfficeInstaller.exe $*"
  set +e
  wine "$exe" "$@" </dev/null 2>&1 | cat
  echo "(exit code ${PIPESTATUS[0]})"
  set -e
}
show --help
show
show --silent --apps quill,Lumen
show /S --scope all
show hello
echo
echo "== launcher log:"
cat "$WINEPREFIX"/drive_c/users/*/Temp/YoxaOffice/installer.log
wineserver -k || true
