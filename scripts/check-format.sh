#!/usr/bin/env bash
# Checks that every source is as its formatter writes it: clang-format (.clang-format) for the
# C++, prettier (the Node client's dev dependency, .prettierrc.json) for the TypeScript, and
# Debian's black at 120 columns for the Python. With --fix, formats them instead.
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang-format black nodejs=node npm=npm
fix=false
[ "${1:-}" = "--fix" ] && fix=true

mapfile -t cpp < <(git ls-files '*.cpp' '*.h')
mapfile -t python < <(git ls-files '*.py')
(cd clients/node && npm ci --no-audit --no-fund >/dev/null)
if $fix; then
  clang-format -i "${cpp[@]}"
  black --quiet --line-length 120 "${python[@]}"
  (cd clients/node && npm run --silent format)
else
  echo "== clang-format: ${#cpp[@]} files"
  clang-format --dry-run --Werror "${cpp[@]}"
  echo "== black: ${#python[@]} files"
  black --check --quiet --line-length 120 "${python[@]}"
  echo "== prettier"
  (cd clients/node && npm run --silent format:check)
fi
