#!/usr/bin/env bash
# The Python package's tests, as part of the test command:
#     bash python/tests/run_tests.sh BUILD
# installs the package the way the README says (pip from python/, no build isolation, nothing from
# a package index) into a virtual environment BUILD/python-venv that sees Debian's NumPy, Pillow
# and pytest, and runs python/tests against tniff and the file maker of BUILD. The package's own
# CMake build goes to BUILD/python-package, with warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: run_tests.sh BUILD}" && pwd)
python=/usr/bin/python3  # Debian's, with its packages (another python3 may come first on PATH)

cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tniff tniff_make_python_file
venv="$build/python-venv"
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
(cd "$root" && TARNIFF_BUILD_DIR="$build/python-package" TARNIFF_CMAKE_ARGS="-DTNIFF_WERROR=ON" \
  "$venv/bin/pip" install --no-build-isolation --no-index --quiet ./python)
# -P: the package is imported from the environment, never from a folder of the same name here.
cd "$build"
TARNIFF_TEST_TNIFF="$build/bin/tniff" TARNIFF_TEST_MAKE_FILE="$build/bin/tniff_make_python_file" \
  "$venv/bin/python" -P -m pytest -p no:cacheprovider -q "$root/python/tests"
