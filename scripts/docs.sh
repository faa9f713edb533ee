#!/usr/bin/env bash
# Builds the user guide and API reference into .work/docs/html, warnings as
# errors, against velkor installed into its own environment.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${VELKOR_WORK:-$PWD/.work}"
env="$work/docs-env"
python=$(bash scripts/find-python.sh 3.12 2>/dev/null || bash scripts/find-python.sh 3.13)
wheel=$(ls "$work"/wheelhouse/velkor-*manylinux*.whl 2>/dev/null | head -n 1 || true)
echo "docs: installing velkor and Sphinx into $env (about a minute)"
rm -rf "$env"
"$python" -m venv "$env"
"$env/bin/python" -m pip install -q --upgrade pip
"$env/bin/python" -m pip install -q "${wheel:-.}[all]" sphinx myst-parser
echo "docs: building into $work/docs/html"
"$env/bin/python" -m sphinx -W --keep-going -q -b html docs "$work/docs/html"
echo "docs: open $work/docs/html/index.html"
