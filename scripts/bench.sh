#!/usr/bin/env bash
# The benchmark in one command: installs the peers (PyPI) and Fashion-MNIST (Debian) when
# missing, builds and installs dralm in release mode into a private virtual environment, then
# runs bench/run.py, which writes bench/results/ (results.json, results.md, PNG plots).
# Usage: bash scripts/bench.sh [--quick] [other bench/run.py arguments]
# The full run takes a long time: start it with nohup and follow bench/data/run.log.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${BENCH_VENV:-build/bench-venv}
PIP_FLAGS=(--quiet --disable-pip-version-check)

if [ ! -d /usr/share/datasets/fashion-mnist ]; then
  if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
    echo "== installing the Fashion-MNIST data set (Debian dataset-fashion-mnist)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dataset-fashion-mnist >/dev/null
  else
    echo "Fashion-MNIST is missing: install the Debian package dataset-fashion-mnist" >&2
    exit 1
  fi
fi
command -v taskset >/dev/null || { echo "taskset (util-linux) is needed" >&2; exit 1; }

if [ ! -x "$VENV/bin/python" ]; then
  echo "== creating $VENV"
  python3 -m venv "$VENV"
fi
echo "== installing the peers: $(grep -v '^#' bench/requirements.txt | tr '\n' ' ')"
"$VENV/bin/python" -m pip install "${PIP_FLAGS[@]}" -r bench/requirements.txt

if [ "${BENCH_SKIP_BUILD:-0}" != 1 ]; then
  # Build the committed HEAD, so the results name the code they measured; BENCH_FROM_TREE=1
  # builds the working tree as it is instead.
  SRC=.
  if [ "${BENCH_FROM_TREE:-0}" != 1 ] && git rev-parse --verify -q HEAD >/dev/null; then
    SRC=$(mktemp -d)
    git archive HEAD | tar -x -C "$SRC"
    export BENCH_DRALM_COMMIT=$(git rev-parse --short HEAD)
  fi
  echo "== building and installing dralm (release) from ${BENCH_DRALM_COMMIT:-the working tree}"
  # The project's build type is Release (pyproject.toml). With its dependency: the engine
  # finds the OpenBLAS of scipy-openblas32 beside itself in this environment.
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "$VENV/bin/python" -m pip install \
    "${PIP_FLAGS[@]}" --force-reinstall "$SRC" ||
    echo "   dralm did not build: the run measures the peers only"
fi

mkdir -p bench/data
echo "== running bench/run.py $*"
# Leave OpenBLAS's own kernel choice to the machine (NumPy computes the ground truth).
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$VENV/bin/python" bench/run.py "$@" 2>&1 |
  tee bench/data/run.log
