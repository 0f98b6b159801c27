#!/usr/bin/env bash
# Tests the packages of scripts/release.sh as their users get them, each carrying both
# executables, the monitor treemon and the watch tool treemon-watch: the .deb (its files, a clean
# lintian report, its treemon-watch run) and the Windows zip; the npm package installed into an
# empty project: the documented example, `npx treemon-watch` running the native tool with nothing
# on PATH, and the errors for bad input; its Python wheels: each one's layout and RECORD, the
# locator's choice on each machine, the aarch64 binaries under qemu, and the x86_64 wheel
# installed without network into an empty virtual environment by Debian's interpreter and by a
# second one when the machine has one: the documented example and `python -m treemon record` with
# nothing on PATH. Also `cmake --install` of BUILD_DIR. Runs scripts/release.sh when dist/ lacks a
# package.
# Usage: scripts/test-packages.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}

# Node.js 20 and npm come with the machine; Debian's packages are the fallback.
scripts/install-deps.sh python3-venv python3-wheel file nodejs=node npm=npm unzip=unzip lintian=lintian \
  qemu-user=qemu-aarch64

version=$(sed -n 's/^project(treemon VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
deb=$root/dist/treemon_${version}_amd64.deb
zip=$root/dist/treemon-$version-windows-x86_64.zip
tarball=$root/dist/treemon-$version.tgz
for package in "$deb" "$zip" "$tarball"; do
  [ -f "$package" ] || { scripts/release.sh; break; }
done
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT

echo "== cmake --install of $build"
cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon treemon-watch treemon_package_text
cmake --install "$build" --prefix "$staging/prefix" >/dev/null
for file in bin/treemon bin/treemon-watch share/man/man1/treemon.1.gz share/man/man1/treemon-watch.1.gz; do
  [ -e "$staging/prefix/$file" ] || { echo "FAIL: cmake --install did not install $file"; exit 1; }
done

echo "== the .deb"
listing=$(dpkg-deb -c "$deb")
echo "$listing"
for file in ./usr/bin/treemon ./usr/bin/treemon-watch ./usr/share/doc/treemon/protocol.md \
    ./usr/share/doc/treemon/protocol.schema.json ./usr/share/doc/treemon/README \
    ./usr/share/doc/treemon/copyright ./usr/share/doc/treemon/changelog.gz \
    ./usr/share/man/man1/treemon.1.gz ./usr/share/man/man1/treemon-watch.1.gz; do
  grep -q " $file\$" <<<"$listing" || { echo "FAIL: $deb does not hold $file"; exit 1; }
done
# No errors and no warnings: the package's lintian report is clean.
lintian --fail-on error,warning --tag-display-limit 0 "$deb"
dpkg-deb -x "$deb" "$staging/deb"
for tool in treemon treemon-watch; do
  answer=$("$staging/deb/usr/bin/$tool" --version)
  [ "$answer" = "$tool $version (linux x86_64)" ] || { echo "FAIL: the .deb's $tool answered $answer"; exit 1; }
done
status=0
"$staging/deb/usr/bin/treemon-watch" -- sh -c 'exit 3' 2>"$staging/deb.err" || status=$?
[ "$status" = 3 ] && grep -qx 'summary: sh -c exit 3' "$staging/deb.err" ||
  { cat "$staging/deb.err"; echo "FAIL: the .deb's treemon-watch -- sh -c 'exit 3': status $status"; exit 1; }

echo "== the Windows zip"
zip_listing=$(unzip -l "$zip")
echo "$zip_listing"
for file in treemon.exe treemon-watch.exe README.txt LICENSE.txt docs/windows.md protocol.md; do
  grep -q "treemon-[0-9.]*-windows-x86_64/$file\$" <<<"$zip_listing" || { echo "FAIL: the zip does not hold $file"; exit 1; }
done
# The repository's README speaks of scripts the zip does not carry.
! grep -q "README.md\$" <<<"$zip_listing" || { echo "FAIL: the zip holds the repository's README.md"; exit 1; }

echo "== the npm package, installed into an empty project, nothing of treemon on PATH"
package_listing=$(tar -tzf "$tarball")
grep -qx 'package/protocol.schema.json' <<<"$package_listing" || { echo "FAIL: the npm package does not hold the protocol schema"; exit 1; }
# Every relative link of the package's README leads to a file the package holds.
for link in $(tar -xzOf "$tarball" package/README.md | grep -o '](\([^)#:]*\))' | sed 's/^](//; s/)$//'); do
  grep -qx "package/$link" <<<"$package_listing" || { echo "FAIL: the npm README links $link, which the package lacks"; exit 1; }
done
cmp "$root/LICENSE" "$root/clients/node/LICENSE" || { echo "FAIL: clients/node/LICENSE differs from LICENSE"; exit 1; }
mkdir "$staging/app" "$staging/empty-path"
cd "$staging/app"
npm init -y >/dev/null
npm install --no-audit --no-fund "$tarball" >/dev/null
# Only node and the basic tools: a folder of links to them, so no compiler and no treemon.
for tool in node npm npx sh env sleep cat; do ln -s "$(command -v "$tool")" "$staging/empty-path/$tool"; done
clean_path=$staging/empty-path
PATH=$clean_path sh -c 'command -v treemon || command -v treemon-watch' && { echo "FAIL: treemon is on the clean PATH"; exit 1; }
sed -n '/^```js$/,/^```$/p' "$root/docs/embedding.md" | sed -n '2,/^```$/p' | sed '$d' >example.mjs
cat example.mjs
output=$(PATH=$clean_path node example.mjs)
echo "$output"
grep -q 'sleep 2' <<<"$output" || { echo "FAIL: the example did not show the tree"; exit 1; }
grep -q '^kept so far: [0-9]* snapshots$' <<<"$output" || { echo "FAIL: the example did not read the history"; exit 1; }
# The launcher runs the package's native tool, which returns the command's status.
answer=$(PATH=$clean_path npx --no-install treemon-watch --version)
[ "$answer" = "treemon-watch $version (linux x86_64)" ] || { echo "FAIL: npx treemon-watch --version: $answer"; exit 1; }
status=0
PATH=$clean_path npx --no-install treemon-watch -- sh -c 'sleep 1; exit 3' 2>"$staging/npx.err" || status=$?
[ "$status" = 3 ] && grep -qx 'summary: sh -c sleep 1; exit 3' "$staging/npx.err" ||
  { cat "$staging/npx.err"; echo "FAIL: npx treemon-watch -- sh -c 'sleep 1; exit 3': status $status"; exit 1; }
echo "npx treemon-watch --version: $answer; npx treemon-watch -- sh -c 'sleep 1; exit 3': status $status"

echo "== bad input: one line of error, a non-zero status, no stack trace"
installed=$staging/app/node_modules/treemon
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
expect_error "an unknown option of treemon-watch" 40 "^treemon-watch: unknown option --frobnicate$" \
  npx --no-install treemon-watch --frobnicate -- sleep 1
expect_one_line_error "a missing TREEMON_WATCH_BINARY" "/nonexistent/treemon-watch \(TREEMON_WATCH_BINARY\): no such file" \
  env TREEMON_WATCH_BINARY=/nonexistent/treemon-watch npx --no-install treemon-watch -- sleep 1
# A package whose binaries are for another machine: the arm64 ones where the x64 ones should be.
mv "$installed/bin/linux-x64" "$staging/linux-x64"
cp -r "$installed/bin/linux-arm64" "$installed/bin/linux-x64"
expect_one_line_error "a binary for another platform" \
  "treemon-watch: cannot use the treemon-watch executable this package carries, .*: built for linux-arm64, not for this linux-x64 machine; reinstall the package, or set TREEMON_WATCH_BINARY\$" \
  npx --no-install treemon-watch -- sleep 1
expect_one_line_error "the library with a binary for another platform" "built for linux-arm64, not for this linux-x64 machine; .*pass binaryPath or set TREEMON_BINARY" \
  node -e "require('treemon').TreemonClient.start().catch((e) => { console.error(e.message); process.exit(1); })"
# No binary for the machine and none on PATH.
rm -rf "$installed/bin/linux-x64"
expect_one_line_error "no binary at all" \
  "treemon-watch: treemon-watch executable not found: this package carries none for linux-x64 and there is none on PATH; set TREEMON_WATCH_BINARY or put treemon-watch on PATH\$" \
  npx --no-install treemon-watch -- sleep 1

echo "== the Python wheels from scripts/release.sh"
wheels=$root/dist/treemon-$version-py3-none
linux_wheel=$(ls "$wheels"-manylinux_2_17_x86_64.*musllinux_1_1_x86_64.whl)
arm64_wheel=$(ls "$wheels"-manylinux_2_17_aarch64.*musllinux_1_1_aarch64.whl)
windows_wheel=$wheels-win_amd64.whl
sdist_listing=$(tar -tzf "$root/dist/treemon-$version.tar.gz")
grep -qx "treemon-$version/LICENSE" <<<"$sdist_listing" || { echo "FAIL: the sdist does not hold LICENSE"; exit 1; }
! grep -q '/bin/' <<<"$sdist_listing" || { echo "FAIL: the sdist carries a binary"; exit 1; }
# wheel unpack checks every file against RECORD's hash and size, as an installer may.
for wheel in "$arm64_wheel" "$linux_wheel" "$windows_wheel"; do
  /usr/bin/python3 -m wheel unpack -d "$staging/unpacked" "$wheel" >/dev/null
  grep -qx "treemon-$version.dist-info/LICENSE" <<<"$(unzip -Z1 "$wheel")" || { echo "FAIL: $wheel lacks LICENSE"; exit 1; }
done
for wheel in "$arm64_wheel" "$linux_wheel"; do
  for tool in treemon treemon-watch; do
    grep -q '^-rwxr-xr-x' <<<"$(zipinfo "$wheel" "treemon/bin/$tool")" || { echo "FAIL: $wheel: treemon/bin/$tool is not mode 755"; exit 1; }
  done
done
unpacked=$staging/unpacked/treemon-$version
# This wheel unpack keeps no file modes; pip does.
chmod 755 "$unpacked/treemon/bin/treemon" "$unpacked/treemon/bin/treemon-watch"
# The locator's choice on each machine, with the unpacked package first on the module path.
locate_as() {  # TOOL SYSTEM ARCH: prints the path found or the problem
  PYTHONPATH=$unpacked /usr/bin/python3 -c 'import sys; from treemon._locate import Machine, MONITOR, WATCH, find_executable
tool = WATCH if sys.argv[1] == WATCH.name else MONITOR
found = find_executable(tool, None, "binary", environment={}, machine=Machine(sys.argv[2], sys.argv[3]))
print(found.path or found.problem)' "$@"
}
expect_choice() {  # TOOL SYSTEM ARCH EXPECTED
  local choice
  choice=$(locate_as "$1" "$2" "$3")
  echo "$1 on $2-$3: $choice"
  [ "$choice" = "$4" ] || { echo "FAIL: expected $4"; exit 1; }
}
# The three wheels unpack into one folder, the x86_64 one over the aarch64 one: each binary sits
# where its machine's locator looks.
for tool in treemon treemon-watch; do
  expect_choice $tool windows x86_64 "$unpacked/treemon/bin/$tool.exe"
  grep -q '^PE32+ executable (console) x86-64' <<<"$(file -b "$unpacked/treemon/bin/$tool.exe")" ||
    { echo "FAIL: the Windows wheel's $tool.exe is not a Windows x86-64 program"; exit 1; }
  expect_choice $tool linux aarch64 \
    "cannot use the $tool executable this package carries, $unpacked/treemon/bin/$tool: built for linux-x86_64, not for this linux-aarch64 machine; reinstall the package, or pass binary or set $( [ $tool = treemon ] && echo TREEMON_BINARY || echo TREEMON_WATCH_BINARY)"
done
[ "$(grep /bin/ <<<"$(unzip -Z1 "$windows_wheel")" | sort | tr '\n' ' ')" = "treemon/bin/treemon-watch.exe treemon/bin/treemon.exe " ] ||
  { echo "FAIL: the Windows wheel carries more or less than treemon/bin/treemon.exe and treemon-watch.exe"; exit 1; }
rm "$unpacked/treemon/bin/treemon" "$unpacked/treemon/bin/treemon-watch"
/usr/bin/python3 -m wheel unpack -d "$staging/unpacked" "$arm64_wheel" >/dev/null
chmod 755 "$unpacked/treemon/bin/treemon" "$unpacked/treemon/bin/treemon-watch"
for tool in treemon treemon-watch; do
  expect_choice $tool linux aarch64 "$unpacked/treemon/bin/$tool"
  answer=$(qemu-aarch64 "$unpacked/treemon/bin/$tool" --version)
  [ "$answer" = "$tool $version (linux aarch64)" ] || { echo "FAIL: the aarch64 wheel's $tool answered $answer"; exit 1; }
done
grep -qx 'Tag: py3-none-win_amd64' <<<"$(unzip -p "$windows_wheel" "treemon-$version.dist-info/WHEEL")" ||
  { echo "FAIL: the Windows wheel is not tagged win_amd64"; exit 1; }

# Debian's interpreter, and a second one when the machine has one (pyenv's, say).
interpreters=(/usr/bin/python3)
other=$(python3 -c 'import sys; print(sys.executable)')
[ "$other" -ef /usr/bin/python3 ] || interpreters+=("$other")
sed -n '/^```python$/,/^```$/p' "$root/docs/embedding.md" | sed '1d;$d' >"$staging/app/example.py"
for python in "${interpreters[@]}"; do
  env_dir=$staging/env-$("$python" -c 'import sys; print(sys.version.split()[0])')-${#interpreters[@]}
  echo "== $(basename "$linux_wheel") installed by $python in an empty virtual environment, without network"
  "$python" -m venv "$env_dir"
  PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$env_dir/bin/pip" install -q --no-cache-dir "$linux_wheel"
  grep -qx 'License: MIT' <<<"$("$env_dir/bin/pip" show treemon)" || { echo "FAIL: pip show treemon does not say MIT"; exit 1; }
  cd "$staging/app"
  found=$(env -u TREEMON_BINARY PATH="$clean_path" "$env_dir/bin/python" -c 'import treemon; print(treemon.locate_monitor())')
  [[ "$found" == "$env_dir"/lib/python3*/site-packages/treemon/bin/treemon ]] || { echo "FAIL: the client found $found, not the wheel's binary"; exit 1; }
  output=$(timeout 60 env -u TREEMON_BINARY PATH="$clean_path" "$env_dir/bin/python" example.py)
  echo "$output"
  grep -q ' sleep 2 ' <<<"$output" || { echo "FAIL: the example did not show the tree"; exit 1; }
  grep -q '^kept so far: [0-9]* snapshots$' <<<"$output" || { echo "FAIL: the example did not read the history"; exit 1; }
  # The launcher runs the wheel's native tool, which returns the command's status.
  status=0
  timeout 60 env -u TREEMON_WATCH_BINARY PATH="$clean_path" "$env_dir/bin/python" -m treemon record -- \
    sh -c 'sleep 1; exit 3' >"$staging/record.csv" 2>"$staging/record.err" || status=$?
  [ "$status" = 3 ] && grep -q '^time_s,pid,' "$staging/record.csv" && grep -qx 'summary: sh -c sleep 1; exit 3' "$staging/record.err" ||
    { cat "$staging/record.csv" "$staging/record.err"; echo "FAIL: record -- sh -c 'sleep 1; exit 3': status $status"; exit 1; }
done
echo "== a wheel whose binary is for another machine"
carried=$(ls -d "$env_dir"/lib/python3*/site-packages/treemon/bin)
cp "$unpacked/treemon/bin/treemon" "$unpacked/treemon/bin/treemon-watch" "$carried"
expect_one_line_error "the Python library with a binary for another platform" \
  "^cannot use the treemon executable this package carries, .*: built for linux-aarch64, not for this linux-x86_64 machine; reinstall the package, or pass binary or set TREEMON_BINARY\$" \
  env -u TREEMON_BINARY "$env_dir/bin/python" -c 'import sys, treemon
try: treemon.Treemon.start()
except treemon.TreemonError as e: sys.exit(e.message)'
expect_one_line_error "record with a binary for another platform" \
  "^treemon record: cannot use the treemon-watch executable this package carries, .*: built for linux-aarch64, not for this linux-x86_64 machine; reinstall the package, or pass --binary PATH or set TREEMON_WATCH_BINARY\$" \
  env -u TREEMON_WATCH_BINARY "$env_dir/bin/python" -m treemon record -- sleep 1
echo "package checks passed"
