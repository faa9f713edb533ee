#!/usr/bin/env bash
# Prints the path of a CPython of the asked minor version (3.12, 3.13), looking
# at pyenv's installs first, then PATH.  Exits non-zero when there is none.
set -euo pipefail
want="${1:-3.12}"
candidates=()
root="${PYENV_ROOT:-$HOME/.pyenv}"
for dir in "$root"/versions/"$want".*; do
  [ -x "$dir/bin/python" ] && candidates+=("$dir/bin/python")
done
candidates+=("$(command -v "python$want" || true)")
for python in "${candidates[@]}"; do
  [ -n "$python" ] || continue
  if "$python" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))" 2>/dev/null; then
    echo "$python"
    exit 0
  fi
done
echo "no CPython $want found (pyenv versions or python$want on PATH)" >&2
exit 1
