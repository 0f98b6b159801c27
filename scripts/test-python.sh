#!/usr/bin/env bash
# Tests the protocol schema and the Python client against the real monitor.
# - the schema (docs/protocol.schema.json): every line the monitor wrote in the test runs captured
#   in $TREEMON_EVENT_CAPTURE (without one, this script captures the end-to-end tests' own run),
#   the commands of the docs, and a table of refused commands;
# - the client (clients/python): mypy --strict, installed without network into a fresh virtual
#   environment, then the whole pytest suite against the installed package, and the example of
#   docs/embedding.md.
# Usage: scripts/test-python.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
# Debian's packages install for Debian's interpreter, whatever python3 comes first on PATH.
python=/usr/bin/python3
scripts/install-deps.sh python3-jsonschema python3-pytest mypy python3-venv python3-setuptools python3-wheel

cmake -S . -B "$build" -G Ninja >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ -z "${TREEMON_EVENT_CAPTURE:-}" ]; then
  echo "== the end-to-end tests, their output captured"
  ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon treemon_tests >/dev/null
  export TREEMON_EVENT_CAPTURE=$scratch/capture
  mkdir "$TREEMON_EVENT_CAPTURE"
  timeout 600 "$build/treemon_tests" --gtest_filter='Monitor*:Faults*' >"$scratch/end_to_end.log" ||
    { tail -n 50 "$scratch/end_to_end.log"; exit 1; }
else
  ninja -C "$build" -j"${TREEMON_JOBS:-2}" treemon >/dev/null
fi
echo "== $(cat "$TREEMON_EVENT_CAPTURE"/events-*.jsonl 2>/dev/null | wc -l) captured lines in $TREEMON_EVENT_CAPTURE"
export TREEMON_BINARY=$root/$build/treemon

echo "== mypy --strict"
(cd clients/python && mypy --strict --python-version 3.9 --cache-dir "$scratch/mypy" treemon)

echo "== the client installed without network into a fresh virtual environment"
"$python" -m venv --system-site-packages "$scratch/env"
PIP_NO_INDEX=1 PIP_FIND_LINKS= "$scratch/env/bin/pip" install -q --no-build-isolation --no-deps "$root/clients/python"
rm -rf clients/python/build clients/python/treemon.egg-info

echo "== the schema and the client, against the installed package"
(cd "$scratch" && timeout 900 "$scratch/env/bin/python" -m pytest -q -p no:cacheprovider \
  --rootdir "$root/tests/python" "$root/tests/python" --installed-client)

echo "== the documented example, with treemon on PATH"
sed -n '/^```python$/,/^```$/p' docs/embedding.md | sed '1d;$d' >"$scratch/example.py"
cat "$scratch/example.py"
output=$(cd "$scratch" && env -u TREEMON_BINARY PATH="$root/$build:$PATH" timeout 60 "$scratch/env/bin/python" example.py)
echo "$output"
grep -q ' sleep 2 ' <<<"$output" || { echo "FAIL: the example did not show the tree"; exit 1; }
grep -q '^kept so far: [0-9]* snapshots$' <<<"$output" || { echo "FAIL: the example did not read the history"; exit 1; }
echo "python checks passed"
