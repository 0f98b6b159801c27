#!/usr/bin/env bash
# Installs the Debian packages that are missing: with --build, only what building the monitor
# needs (compiler, CMake, Ninja; Python for the demo); otherwise also what the tests need, and any
# package named after the options; one named PACKAGE=COMMAND only when COMMAND is not on PATH
# (Node.js, say, may come with the machine rather than from Debian). Says what it installs before
# it does, and shows apt-get's work.
# Does nothing when everything is present. Updates the package lists before installing unless
# TREEMON_APT_UPDATED says that the caller (.ci/run) has just done so.
# Usage: scripts/install-deps.sh [--build] [PACKAGE | PACKAGE=COMMAND ...]
set -euo pipefail
packages=(g++ cmake ninja-build python3)
options=()
if [ "${1:-}" = "--build" ]; then
  shift
  purpose="to build treemon"
  # Only the named packages: the compiler's and CMake's recommendations are not needed.
  options=(--no-install-recommends)
else
  packages+=(clang libclang-rt-dev libgtest-dev libbenchmark-dev nlohmann-json3-dev)
  purpose="to build and test treemon"
fi
for p in "$@"; do
  if [[ $p == *=* ]]; then
    command -v "${p#*=}" >/dev/null || packages+=("${p%%=*}")
  else
    packages+=("$p")
  fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "== installing the Debian packages needed $purpose: ${missing[*]}"
[ -n "${TREEMON_APT_UPDATED:-}" ] || "${sudo_cmd[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${options[@]}" "${missing[@]}"
