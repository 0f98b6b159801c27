#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any named after it, when any is
# missing. Usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libbenchmark-dev nlohmann-json3-dev python3 "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  echo "installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
