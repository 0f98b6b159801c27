#!/usr/bin/env bash
# Builds the release binaries, the monitor treemon and the watch tool treemon-watch, from this one
# Linux machine into dist/, checks each one, and makes the packages around them:
#
#   dist/linux-x64/treemon[-watch]          x86-64 Linux, native compiler
#   dist/linux-arm64/treemon[-watch]        arm64 Linux, Debian's g++-aarch64-linux-gnu
#   dist/win32-x64/treemon[-watch].exe      x86-64 Windows, MinGW-w64
#   dist/treemon_VERSION_amd64.deb          the Debian package: both executables, dynamically
#                                           linked as Debian packages are, their manual pages
#                                           and the docs
#   dist/treemon-VERSION-windows-x86_64.zip the Windows zip: both .exe, README.txt, the docs
#   dist/treemon-VERSION.tgz                the npm package (clients/node) carrying the binaries
#                                           of the three platforms
#   dist/treemon-VERSION-py3-none-PLATFORM.whl
#                                           the Python client (clients/python) with one
#                                           platform's two binaries in treemon/bin: manylinux
#                                           and musllinux x86_64 and aarch64 (the binaries are
#                                           static), win_amd64
#   dist/treemon-VERSION.tar.gz             the Python client's sdist, without a binary
#   dist/SHA256SUMS
#
# The Linux binaries of dist/ are linked statically: treemon uses no name services and loads
# nothing at run time, so a static glibc is sound, and the binary then runs on any Linux with a
# kernel of the last decade, whatever its C library, instead of only on systems with a glibc at
# least as new as the build machine's. Each binary is checked with `file` and by answering
# --version with its own platform and architecture (arm64 under qemu-aarch64, Windows under Wine).
#
# The arm64 and Windows builds keep their tests enabled in build-arm64 and build-win, the folders
# scripts/test-arm64.sh and scripts/test-windows.sh test in, so the shipped binaries are the
# tested ones, stripped; cpack packs what the build made, the zip in build-win.
#
# Usage: scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
version=$(sed -n 's/^project(treemon VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
for package in clients/python/pyproject.toml clients/node/package.json; do
  grep -Eq "^ *\"?version\"? *[=:] *\"$version\"" "$package" ||
    { echo "FAIL: $package does not give the version $version"; exit 1; }
done
# Node.js and npm may come with the machine rather than from Debian.
scripts/install-deps.sh g++-aarch64-linux-gnu qemu-user g++-mingw-w64-x86-64-posix wine wine64 googletest \
  python3-build python3-setuptools python3-wheel file=file dpkg-dev=dpkg-shlibdeps nodejs=node npm=npm

tools=(treemon treemon-watch)
build_one() {  # BUILD_DIR CMAKE_OPTIONS...
  local dir=$1
  shift
  echo "== building $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  ninja -C "$dir" -j"${TREEMON_JOBS:-2}" "${tools[@]}"
}

build_one build-release-x64 -DTREEMON_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS=-static
build_one build-arm64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
build_one build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
# The .deb installs the compressed manual pages and changelog as well.
build_one build-release-deb -DTREEMON_TESTS=OFF
ninja -C build-release-deb treemon_package_text >/dev/null

rm -rf dist
mkdir -p dist/linux-x64 dist/linux-arm64 dist/win32-x64
for tool in "${tools[@]}"; do
  strip -o "dist/linux-x64/$tool" "build-release-x64/$tool"
  aarch64-linux-gnu-strip -o "dist/linux-arm64/$tool" "build-arm64/$tool"
  x86_64-w64-mingw32-strip -o "dist/win32-x64/$tool.exe" "build-win/$tool.exe"
done
binaries=(linux-x64/treemon linux-x64/treemon-watch linux-arm64/treemon linux-arm64/treemon-watch
  win32-x64/treemon.exe win32-x64/treemon-watch.exe)

scratch=$(mktemp -d)
# shellcheck source=SCRIPTDIR/wine-prefix.sh
source scripts/wine-prefix.sh
trap 'wine_prefix_stop; rm -rf "$scratch"' EXIT

check() {  # FOLDER SUFFIX FILE_PATTERN PLATFORM LAUNCHER...: both tools of one platform
  local folder=$1 suffix=$2 pattern=$3 platform=$4 tool binary described answer
  shift 4
  for tool in "${tools[@]}"; do
    binary=dist/$folder/$tool$suffix
    described=$(file -b "$binary")
    echo "$binary: $described"
    grep -Eq "$pattern" <<<"$described" || { echo "FAIL: $binary is not $pattern"; exit 1; }
    answer=$(timeout 300 "$@" "$binary" --version </dev/null)
    # A console program's text on Windows may end its lines with CR LF.
    answer=${answer%$'\r'}
    echo "$binary --version: $answer"
    [ "$answer" = "$tool $version ($platform)" ] || { echo "FAIL: expected '$tool $version ($platform)'"; exit 1; }
  done
}
echo "== checking the binaries"
check linux-x64 '' '^ELF 64-bit LSB executable, x86-64, .*statically linked' "linux x86_64" env
check linux-arm64 '' '^ELF 64-bit LSB executable, ARM aarch64, .*statically linked' "linux aarch64" qemu-aarch64
wine_prefix_start "$scratch/wine"
check win32-x64 .exe '^PE32\+ executable \(console\) x86-64' "windows x86_64" wine

echo "== the .deb and the Windows zip"
(cd build-release-deb && rm -f treemon_*.deb && cpack -G DEB >/dev/null)
(cd build-win && rm -f treemon-*.zip && cpack -G ZIP >/dev/null)
cp "build-release-deb/treemon_${version}_amd64.deb" "build-win/treemon-$version-windows-x86_64.zip" dist/

echo "== the npm package"
rm -rf clients/node/bin
mkdir -p clients/node/bin
cp -r dist/linux-x64 dist/linux-arm64 dist/win32-x64 clients/node/bin/
(cd clients/node && npm ci --no-audit --no-fund >/dev/null && npm pack --pack-destination "$root/dist")
listing=$(tar -tzvf "dist/treemon-$version.tgz")
for binary in "${binaries[@]}"; do
  grep -Eq "^-rwxr-xr-x .* package/bin/$binary\$" <<<"$listing" ||
    { echo "FAIL: the npm package lacks bin/$binary, or it is not executable"; exit 1; }
done

echo "== the Python wheels and sdist"
# Debian's interpreter, with Debian's build, setuptools and wheel: no package index needed. The
# sdist is built first and the pure wheel from it, so the sdist is known to be complete.
/usr/bin/python3 -m build --no-isolation --outdir "$scratch/python" clients/python >/dev/null
rm -rf clients/python/build clients/python/treemon.egg-info
cp "$scratch/python/treemon-$version.tar.gz" dist/
/usr/bin/python3 scripts/platform_wheels.py "$scratch/python/treemon-$version-py3-none-any.whl" dist \
  manylinux_2_17_x86_64.manylinux2014_x86_64.musllinux_1_1_x86_64=dist/linux-x64/treemon,dist/linux-x64/treemon-watch \
  manylinux_2_17_aarch64.manylinux2014_aarch64.musllinux_1_1_aarch64=dist/linux-arm64/treemon,dist/linux-arm64/treemon-watch \
  win_amd64=dist/win32-x64/treemon.exe,dist/win32-x64/treemon-watch.exe

(cd dist && sha256sum "${binaries[@]}" "treemon_${version}_amd64.deb" "treemon-$version-windows-x86_64.zip" \
  "treemon-$version.tgz" "treemon-$version.tar.gz" treemon-"$version"-*.whl >SHA256SUMS)
cat dist/SHA256SUMS
