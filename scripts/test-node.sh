#!/usr/bin/env bash
# Tests what embedders get: the Node client and treemon-watch against the real monitor, the .deb
# and the documented example, run from a package installed the way the docs say.
# Usage: scripts/test-node.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

# Node.js 20 and npm come with the machine; Debian's packages are the fallback. tmux and
# rsvg-convert are for the tests of the live view and the chart; dpkg-dev for the package's
# dependencies.
missing=()
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
command -v tmux >/dev/null || missing+=(tmux)
command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v unzip >/dev/null || missing+=(unzip)
scripts/install-deps.sh "${missing[@]}"

echo "== the monitor"
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" treemon
binary=$root/$build/treemon

echo "== the Node package"
cd clients/node
npm ci --no-audit --no-fund
npm run build
TREEMON_BINARY=$binary node --test --test-concurrency=1 dist/test/*.test.js

echo "== packages"
cd "$root/$build"
rm -f treemon_*.deb
cpack -G DEB >/dev/null
deb=$(ls treemon_*.deb)
listing=$(dpkg-deb -c "$deb")
echo "$listing"
grep -q ' ./usr/bin/treemon$' <<<"$listing" || { echo "FAIL: $deb does not hold usr/bin/treemon"; exit 1; }
grep -q ' ./usr/share/doc/treemon/protocol.md$' <<<"$listing" || { echo "FAIL: $deb does not hold the protocol document"; exit 1; }
grep -q ' ./usr/share/doc/treemon/protocol.schema.json$' <<<"$listing" || { echo "FAIL: $deb does not hold the protocol schema"; exit 1; }
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
  grep -q 'treemon-[0-9.]*-windows-x86_64/treemon.exe$' <<<"$zip_listing" || { echo "FAIL: the zip does not hold treemon.exe"; exit 1; }
fi

echo "== the documented example, from the packed package, with treemon from the .deb on PATH"
cd "$root/clients/node"
npm pack --pack-destination "$staging" >/dev/null 2>&1
package_listing=$(tar -tzf "$staging"/treemon-*.tgz)
grep -qx 'package/protocol.schema.json' <<<"$package_listing" || { echo "FAIL: the npm package does not hold the protocol schema"; exit 1; }
dpkg-deb -x "$root/$build/$deb" "$staging/deb"
mkdir "$staging/app"
cd "$staging/app"
npm init -y >/dev/null
npm install --no-audit --no-fund "$staging"/treemon-*.tgz >/dev/null
sed -n '/^```js$/,/^```$/p' "$root/docs/embedding.md" | sed -n '2,/^```$/p' | sed '$d' >example.mjs
cat example.mjs
output=$(PATH="$staging/deb/usr/bin:$PATH" node example.mjs)
echo "$output"
grep -q 'sleep 2' <<<"$output" || { echo "FAIL: the example did not show the tree"; exit 1; }
grep -q '^kept so far: [0-9]* snapshots$' <<<"$output" || { echo "FAIL: the example did not read the history"; exit 1; }
frames=$(PATH="$staging/deb/usr/bin:$PATH" npx --no-install treemon-watch --interval 250 -- sh -c 'sleep 1')
grep -q 'TOTAL of [12] process' <<<"$frames" || { echo "FAIL: treemon-watch from the installed package"; exit 1; }
# A reader that stops early ends the view quietly; the command still runs to its end.
set +o pipefail
PATH="$staging/deb/usr/bin:$PATH" npx --no-install treemon-watch --interval 250 -- sh -c 'sleep 1; exit 3' | head -n 1 >/dev/null
status=${PIPESTATUS[0]}
set -o pipefail
[ "$status" = 3 ] || { echo "FAIL: treemon-watch under head exited with $status, not the command's 3"; exit 1; }
echo "embedding checks passed"
