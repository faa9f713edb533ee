#!/usr/bin/env bash
# Installs velkor with every extra (velkor[all]) into a fresh virtual
# environment, so that every example of the README runs, and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
work="${VELKOR_WORK:-$PWD/.work}"
python=$(bash scripts/find-python.sh 3.12 3.13)
step() { echo "demo: $* ($(date +%T))"; }
step "creating $work/demo-env with $("$python" --version)"
"$python" -m venv "$work/demo-env"
"$work/demo-env/bin/python" -m pip install -q --upgrade pip
step "building velkor and installing it with every extra: compiling the native module takes 2 to 4 minutes" \
     "on 2 cores (longer on a busy machine), fetching the dependencies (about 330 MB) a minute or two"
start=$SECONDS
"$work/demo-env/bin/python" -m pip install -q ".[all]"
step "installed in $((SECONDS - start)) s; converting the bundled sample"
"$work/demo-env/bin/velkor" convert -o "$work/astronaut_bw.png" --overwrite
echo "demo: done; activate with: source $work/demo-env/bin/activate"
