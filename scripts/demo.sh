#!/usr/bin/env bash
# Installs velkor into a fresh virtual environment and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${VELKOR_WORK:-$PWD/.work}"
python=$(bash scripts/find-python.sh 3.12)
echo "demo: creating $work/demo-env"
"$python" -m venv "$work/demo-env"
"$work/demo-env/bin/python" -m pip install -q --upgrade pip
echo "demo: building and installing velkor (compiles the native module: about a minute)"
"$work/demo-env/bin/python" -m pip install -q .
echo "demo: converting the bundled sample"
"$work/demo-env/bin/velkor" convert -o "$work/astronaut_bw.png" --overwrite
