#!/usr/bin/env bash
# Makes the source distribution dist/dralm-<version>.tar.gz. It carries SimSIMD's C source
# (fetched here, from SimSIMD's own sdist on the package index; never committed), so that
#   pip install --no-build-isolation --no-index dist/dralm-*.tar.gz
# builds with no network, given the build requirements (scikit-build-core and, for the
# BLAS scan, scipy-openblas32) installed beside it.
# Usage: bash scripts/sdist.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/fetch_simsimd.sh
# -P keeps the checkout off sys.path: its build/ folder would shadow the `build` package.
python3 -P -c "import build.__main__" 2>/dev/null ||
  python3 -m pip install --quiet --disable-pip-version-check build
python3 -P -m build --sdist --outdir dist .
sdist=$(ls -t dist/dralm-*.tar.gz | head -n1)
# A missing SimSIMD would only show when someone builds offline: check it now.
listing=$(tar -tzf "$sdist")
grep -q '/third_party/simsimd-[^/]*/c/lib\.c$' <<<"$listing" ||
  { echo "$sdist lacks SimSIMD's source" >&2; exit 1; }
echo "$sdist"
