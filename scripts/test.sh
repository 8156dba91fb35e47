#!/usr/bin/env bash
# Installs what the tests need (only what is missing), then checks the C++ formatting,
# runs the C++ tests, the clang check of the lock annotations and the fast pytest suite.
# Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the C++ tests; strace injects I/O errors in the Python tests; clang
# checks the lock annotations; clang-format 14 checks the layout of the C++ code.
missing=""
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
command -v strace >/dev/null || missing="$missing strace"
command -v clang++-14 >/dev/null || missing="$missing clang-14"
command -v clang-format-14 >/dev/null || missing="$missing clang-format-14"
if [ -n "$missing" ]; then
  echo "== installing from Debian:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
python3 -c "import pytest, numpy, hypothesis, mypy, ray" 2>/dev/null ||
  python3 -m pip install --quiet --disable-pip-version-check pytest numpy hypothesis mypy 'ray>=2.9'
# The optional extras' tests: the framework stores and to_arrow (langchain-tests
# brings pytest-asyncio for the standard suite's async tests).
python3 -c "import langchain_core, langchain_tests, llama_index.core, pyarrow" 2>/dev/null ||
  python3 -m pip install --quiet --disable-pip-version-check 'langchain-core>=0.3' \
    'langchain-tests>=0.3' 'llama-index-core>=0.12' pyarrow
# OpenBLAS for the C++ tests' build (the exact batch scan), as the package build gets it.
python3 -c "import scipy_openblas32" 2>/dev/null ||
  python3 -m pip install --quiet --disable-pip-version-check scipy-openblas32
# SimSIMD's source, once, for every build below (third_party/, ignored by git).
bash scripts/fetch_simsimd.sh
python=$(python3 -c 'import sys; print(sys.executable)')

echo "== C++ formatting (.clang-format)"
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format-14 --dry-run --Werror

echo "== C++ tests"
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRALM_BUILD_TESTS=ON \
  -DDRALM_BUILD_EXTENSION=OFF -DPython_EXECUTABLE="$python" ${CMAKE_ARGS:-} >/dev/null
cmake --build build/tests -j "$(nproc)"
(cd build/tests && ctest --output-on-failure -j "$(nproc)")

# The engine only (the binding takes no engine lock), unoptimised and without debug
# information: the analysis runs in the compiler's front end and nothing built here is
# run. C stays with the default compiler (SimSIMD's sources need a newer clang than 14).
echo "== lock annotations (clang -Wthread-safety)"
CXX=clang++-14 cmake -S . -B build/thread-safety -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DDRALM_THREAD_SAFETY_ANALYSIS=ON -DDRALM_BUILD_EXTENSION=OFF \
  -DPython_EXECUTABLE="$python" ${CMAKE_ARGS:-} >/dev/null
cmake --build build/thread-safety --target dralm_core -j "$(nproc)"

echo "== Python package"
python3 -m pip install --quiet --disable-pip-version-check .

echo "== Python tests"
python3 -m pytest -q -m "not slow" tests
