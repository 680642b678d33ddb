#!/usr/bin/env bash
# Checks formatting and lint of the C++ and Python sources; fails on any finding.
# Usage: scripts/lint.sh [--fix]   (--fix applies the formatters instead)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${ZARNEL_VENV:-.venv}
mapfile -t cxx < <(git ls-files -co --exclude-standard 'src/minio_main/*.cpp' 'src/minio_main/*.hpp')

if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${cxx[@]}"
  "$VENV/bin/ruff" format .
  "$VENV/bin/ruff" check --fix .
  exit 0
fi

echo "lint: clang-format"
clang-format --dry-run --Werror "${cxx[@]}"
echo "lint: ruff"
"$VENV/bin/ruff" format --check --quiet .
"$VENV/bin/ruff" check --quiet .
echo "lint: clang-tidy"
db=$(ls -d build/*/compile_commands.json 2>/dev/null | head -n 1)
if [ -z "$db" ]; then
  echo "lint: no compile_commands.json; run 'make setup' first" >&2
  exit 1
fi
sources=()
for f in "${cxx[@]}"; do [[ $f == *.cpp ]] && sources+=("$f"); done
clang-tidy --quiet -p "$(dirname "$db")" "${sources[@]}" 2> >(grep -v -E '^[0-9]+ warnings? generated' >&2)
echo "lint: clean"
