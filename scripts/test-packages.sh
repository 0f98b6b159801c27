#!/usr/bin/env bash
# Tests the packages as their users get them: the .deb (checked by lintian) and the Windows zip,
# and the npm package of scripts/release.sh, with its binaries, installed into an empty project:
# the documented example, treemon-watch, and the errors for bad input. Runs scripts/release.sh
# when dist/ lacks the package.
# Usage: scripts/test-packages.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

# Node.js 20 and npm come with the machine; Debian's packages are the fallback. dpkg-dev for the
# package's dependencies.
missing=()
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v unzip >/dev/null || missing+=(unzip)
command -v lintian >/dev/null || missing+=(lintian)
scripts/install-deps.sh "${missing[@]}"

echo "== the monitor"
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" treemon

echo "== packages"
cd "$root/$build"
rm -f treemon_*.deb
cpack -G DEB >/dev/null
deb=$(ls treemon_*.deb)
listing=$(dpkg-deb -c "$deb")
echo "$listing"
for file in ./usr/bin/treemon ./usr/share/doc/treemon/protocol.md \
    ./usr/share/doc/treemon/protocol.schema.json ./usr/share/doc/treemon/README \
    ./usr/share/doc/treemon/copyright ./usr/share/doc/treemon/changelog.gz \
    ./usr/share/man/man1/treemon.1.gz; do
  grep -q " $file\$" <<<"$listing" || { echo "FAIL: $deb does not hold $file"; exit 1; }
done
# No errors and no warnings: the package's lintian report is clean.
lintian --fail-on error,warning --tag-display-limit 0 "$deb"
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cmake --install . --prefix "$staging/prefix" >/dev/null
[ -x "$staging/prefix/bin/treemon" ] || { echo "FAIL: cmake --install did not install bin/treemon"; exit 1; }

if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "== the Windows zip"
  cmake -S "$root" -B "$root/$build-win-package" -G Ninja -DTREEMON_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  ninja -C "$root/$build-win-package" treemon >/dev/null
  (cd "$root/$build-win-package" && rm -f treemon-*.zip && cpack -G ZIP >/dev/null)
  zip_listing=$(unzip -l "$root/$build-win-package"/treemon-*-windows-x86_64.zip)
  echo "$zip_listing"
  for file in treemon.exe LICENSE.txt docs/windows.md protocol.md; do
    grep -q "treemon-[0-9.]*-windows-x86_64/$file\$" <<<"$zip_listing" || { echo "FAIL: the zip does not hold $file"; exit 1; }
  done
fi

echo "== the npm package from scripts/release.sh, installed into an empty project, no treemon on PATH"
version=$(node -p "require('$root/clients/node/package.json').version")
tarball=$root/dist/treemon-$version.tgz
[ -f "$tarball" ] || "$root/scripts/release.sh"
package_listing=$(tar -tzf "$tarball")
grep -qx 'package/protocol.schema.json' <<<"$package_listing" || { echo "FAIL: the npm package does not hold the protocol schema"; exit 1; }
cmp "$root/LICENSE" "$root/clients/node/LICENSE" || { echo "FAIL: clients/node/LICENSE differs from LICENSE"; exit 1; }
mkdir "$staging/app" "$staging/empty-path"
cd "$staging/app"
npm init -y >/dev/null
npm install --no-audit --no-fund "$tarball" >/dev/null
# Only node and the basic tools: a folder of links to them, so no compiler and no treemon.
for tool in node npm npx sh env sleep cat; do ln -s "$(command -v "$tool")" "$staging/empty-path/$tool"; done
clean_path=$staging/empty-path
PATH=$clean_path sh -c 'command -v treemon' && { echo "FAIL: treemon is on the clean PATH"; exit 1; }
sed -n '/^```js$/,/^```$/p' "$root/docs/embedding.md" | sed -n '2,/^```$/p' | sed '$d' >example.mjs
cat example.mjs
output=$(PATH=$clean_path node example.mjs)
echo "$output"
grep -q 'sleep 2' <<<"$output" || { echo "FAIL: the example did not show the tree"; exit 1; }
grep -q '^kept so far: [0-9]* snapshots$' <<<"$output" || { echo "FAIL: the example did not read the history"; exit 1; }
frames=$(PATH=$clean_path npx --no-install treemon-watch -- sleep 1)
grep -q 'TOTAL of 1 process' <<<"$frames" || { echo "FAIL: npx treemon-watch -- sleep 1: $frames"; exit 1; }
# A reader that stops early ends the view quietly; the command still runs to its end.
set +o pipefail
PATH=$clean_path npx --no-install treemon-watch --interval 250 -- sh -c 'sleep 1; exit 3' | head -n 1 >/dev/null
status=${PIPESTATUS[0]}
set -o pipefail
[ "$status" = 3 ] || { echo "FAIL: treemon-watch under head exited with $status, not the command's 3"; exit 1; }

echo "== bad input: one line of error, a non-zero status, no stack trace"
installed=$staging/app/node_modules/treemon
touch "$staging/not-executable"
chmod 644 "$staging/not-executable"
# The first line of standard error must match; LINES is how many it may have in all.
expect_error() {  # WHAT LINES PATTERN COMMAND...
  local what=$1 lines=$2 pattern=$3 status=0 err
  shift 3
  err=$(PATH=$clean_path "$@" 2>&1 >/dev/null) || status=$?
  echo "$what: status $status: $err"
  [ "$status" != 0 ] || { echo "FAIL: $what exited with 0"; exit 1; }
  [ "$(grep -c . <<<"$err")" -le "$lines" ] || { echo "FAIL: $what: more than $lines lines"; exit 1; }
  ! grep -Eq '^ +at ' <<<"$err" || { echo "FAIL: $what: a stack trace"; exit 1; }
  grep -Eq "$pattern" <<<"$(head -n 1 <<<"$err")" || { echo "FAIL: $what: not /$pattern/"; exit 1; }
}
expect_one_line_error() { expect_error "$1" 1 "${@:2}"; }
expect_error "an unknown option of treemon-watch" 40 "^treemon-watch: .*--frobnicate" \
  npx --no-install treemon-watch --frobnicate -- sleep 1
expect_one_line_error "a missing --treemon" "^treemon-watch: cannot use the treemon executable /nonexistent/treemon \(--treemon PATH\): no such file" \
  npx --no-install treemon-watch --treemon /nonexistent/treemon -- sleep 1
expect_one_line_error "an unreadable --treemon" "\(--treemon PATH\): not executable" \
  npx --no-install treemon-watch --treemon "$staging/not-executable" -- sleep 1
expect_one_line_error "a missing TREEMON_BINARY" "/nonexistent/treemon \(TREEMON_BINARY\): no such file" \
  env TREEMON_BINARY=/nonexistent/treemon npx --no-install treemon-watch -- sleep 1
# A package whose binary is for another machine: the arm64 one where the x64 one should be.
mv "$installed/bin/linux-x64" "$staging/linux-x64"
cp -r "$installed/bin/linux-arm64" "$installed/bin/linux-x64"
expect_one_line_error "a binary for another platform" \
  "treemon-watch: cannot use the treemon executable this package carries, .*: built for linux-arm64, not for this linux-x64 machine; reinstall the package, or pass --treemon PATH or set TREEMON_BINARY\$" \
  npx --no-install treemon-watch -- sleep 1
expect_one_line_error "the library with a binary for another platform" "built for linux-arm64, not for this linux-x64 machine; .*pass binaryPath or set TREEMON_BINARY" \
  node -e "require('treemon').TreemonClient.start().catch((e) => { console.error(e.message); process.exit(1); })"
# No binary for the machine and none on PATH.
rm -rf "$installed/bin/linux-x64"
expect_one_line_error "no binary at all" \
  "treemon-watch: treemon executable not found: this package carries none for linux-x64 and there is none on PATH; pass --treemon PATH, set TREEMON_BINARY or put treemon on PATH\$" \
  npx --no-install treemon-watch -- sleep 1
echo "embedding checks passed"
