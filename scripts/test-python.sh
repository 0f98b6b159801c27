#!/usr/bin/env bash
# Tests the Python client (clients/python) against the real monitor and `python -m treemon record`
# against the native treemon-watch: mypy --strict, installed without network into a fresh virtual
# environment, then its pytest suite against the installed package, and the examples of
# docs/embedding.md and clients/python/README.md. The protocol schema, whose tests share the
# suite's folder, is checked by scripts/test-schema.sh.
# Usage: scripts/test-python.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
# Debian's packages install for Debian's interpreter, whatever python3 comes first on PATH.
python=/usr/bin/python3
scripts/install-deps.sh python3-jsonschema python3-pytest mypy python3-venv python3-setuptools python3-wheel

cmake -S . -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon treemon-watch >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TREEMON_BINARY=$root/$build/treemon TREEMON_WATCH_BINARY=$root/$build/treemon-watch

echo "== mypy --strict"
(cd clients/python && mypy --strict --python-version 3.9 --cache-dir "$scratch/mypy" treemon)

echo "== the client installed without network into a fresh virtual environment"
"$python" -m venv --system-site-packages "$scratch/env"
PIP_NO_INDEX=1 PIP_FIND_LINKS= "$scratch/env/bin/pip" install -q --no-build-isolation --no-deps "$root/clients/python"
rm -rf clients/python/build clients/python/treemon.egg-info

echo "== the client's tests, against the installed package"
(cd "$scratch" && timeout 900 "$scratch/env/bin/python" -m pytest -q -p no:cacheprovider \
  --rootdir "$root/tests/python" "$root/tests/python" --ignore "$root/tests/python/test_protocol_schema.py" \
  --installed-client)

echo "== the documented examples, with treemon on PATH"
run_example() {  # DOCUMENT: runs its first Python example and prints what it wrote
  sed -n '/^```python$/,/^```$/p' "$1" | sed '1d;/^```$/,$d' >"$scratch/example.py"
  cat "$scratch/example.py" >&2
  (cd "$scratch" && env -u TREEMON_BINARY PATH="$root/$build:$PATH" timeout 60 "$scratch/env/bin/python" example.py)
}
output=$(run_example docs/embedding.md)
echo "$output"
grep -q ' sleep 2 ' <<<"$output" || { echo "FAIL: the example did not show the tree"; exit 1; }
grep -q '^kept so far: [0-9]* snapshots$' <<<"$output" || { echo "FAIL: the example did not read the history"; exit 1; }
output=$(run_example clients/python/README.md)
echo "$output"
grep -q ' sleep 2 ' <<<"$output" || { echo "FAIL: the README's example did not show the command it started"; exit 1; }
echo "python checks passed"
