#!/usr/bin/env bash
# Tests the protocol schema (docs/protocol.schema.json) against the real monitor: every line it
# wrote in the test runs captured in $TREEMON_EVENT_CAPTURE (without one, this script captures the
# end-to-end tests' own run), the commands of the docs, and a table of refused commands.
# Usage: scripts/test-python.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build}
# Debian's packages install for Debian's interpreter, whatever python3 comes first on PATH.
python=/usr/bin/python3
scripts/install-deps.sh python3-jsonschema python3-pytest

cmake -S . -B "$build" -G Ninja >/dev/null
if [ -z "${TREEMON_EVENT_CAPTURE:-}" ]; then
  echo "== the end-to-end tests, their output captured"
  ninja -C "$build" treemon treemon_tests >/dev/null
  TREEMON_EVENT_CAPTURE=$(mktemp -d)
  export TREEMON_EVENT_CAPTURE
  trap 'rm -rf "$TREEMON_EVENT_CAPTURE"' EXIT
  timeout 600 "$build/treemon_tests" --gtest_filter='Monitor*:Faults*' >/dev/null
else
  ninja -C "$build" treemon >/dev/null
fi
echo "== $(cat "$TREEMON_EVENT_CAPTURE"/events-*.jsonl 2>/dev/null | wc -l) captured lines in $TREEMON_EVENT_CAPTURE"

echo "== the protocol schema"
export TREEMON_BINARY=$root/$build/treemon
timeout 900 "$python" -m pytest -q -p no:cacheprovider tests/python
