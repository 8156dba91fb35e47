#!/usr/bin/env bash
# Installs what the tests need (only what is missing), then runs the C++ tests and
# the fast pytest suite. Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest for the C++ tests; strace injects I/O errors in the Python tests.
missing=""
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
command -v strace >/dev/null || missing="$missing strace"
if [ -n "$missing" ]; then
  echo "== installing from Debian:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
python3 -c "import pytest, numpy, hypothesis, mypy, ray" 2>/dev/null ||
  python3 -m pip install --quiet --disable-pip-version-check pytest numpy hypothesis mypy 'ray>=2.9'

echo "== C++ tests"
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRALM_BUILD_TESTS=ON \
  -DDRALM_BUILD_EXTENSION=OFF ${CMAKE_ARGS:-} >/dev/null
cmake --build build/tests -j "$(nproc)"
(cd build/tests && ctest --output-on-failure -j "$(nproc)")

echo "== Python package"
python3 -m pip install --quiet --disable-pip-version-check .

echo "== Python tests"
python3 -m pytest -q -m "not slow" tests
