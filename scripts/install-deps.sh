#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when they are there.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev zlib1g-dev
  wine wine64
  python3 python3-pytest
  msitools wixl
  nginx openssl curl osslsigncode unzip
  python3-jsonschema python3-rich python3-cryptography tmux
  clang-16 libclang-rt-16-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
