#!/usr/bin/env bash
# Installs dralm (and the example's data and NumPy when missing), then runs the main
# example: build a database from Fashion-MNIST, search it, save and reopen it.
# Usage: bash scripts/example.sh [example arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -d /usr/share/datasets/fashion-mnist ] && command -v apt-get >/dev/null &&
   [ "$(id -u)" = 0 ]; then
  echo "== installing the Fashion-MNIST data set (Debian dataset-fashion-mnist)"
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
     apt-get install -y -qq dataset-fashion-mnist >/dev/null) ||
    echo "   not available; the example uses synthetic data instead"
fi
python3 -c "import numpy" 2>/dev/null ||
  python3 -m pip install --quiet --disable-pip-version-check numpy
bash scripts/fetch_simsimd.sh  # SimSIMD's source for the build, once (third_party/)
echo "== installing dralm"
python3 -m pip install --quiet --disable-pip-version-check .
echo "== running examples/fashion_search.py"
python3 examples/fashion_search.py "$@"
