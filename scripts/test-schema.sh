#!/usr/bin/env bash
# Checks the protocol schema (docs/protocol.schema.json) against the real monitor: every line the
# monitor wrote in the test runs captured in $TREEMON_EVENT_CAPTURE (without one, this script
# captures the end-to-end tests' own run), the commands and events of the docs, and a table of
# commands the monitor refuses. The Python client is tested by scripts/test-python.sh.
# Usage: scripts/test-schema.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
# Debian's packages install for Debian's interpreter, whatever python3 comes first on PATH.
python=/usr/bin/python3
scripts/install-deps.sh python3-jsonschema python3-pytest

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

echo "== the schema against the monitor"
(cd "$scratch" && timeout 900 "$python" -m pytest -q -p no:cacheprovider \
  --rootdir "$root/tests/python" "$root/tests/python/test_protocol_schema.py")
echo "schema checks passed"
