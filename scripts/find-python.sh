#!/usr/bin/env bash
# Prints the path of a CPython of the first of the asked minor versions that
# is present (default: 3.12, then 3.13), looking at pyenv's installs first,
# then PATH.  Exits non-zero when there is none.
set -euo pipefail
[ $# -gt 0 ] || set -- 3.12 3.13
root="${PYENV_ROOT:-$HOME/.pyenv}"
for want in "$@"; do
  candidates=()
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
done
echo "no CPython $* found (pyenv versions or python3.x on PATH)" >&2
exit 1
