#!/usr/bin/env bash
# The speed benchmark: builds an optimised tree (build-bench/) and runs bench/bench_main.cpp's
# workloads once, each figure the median of several runs, beside the I/O floor and libpng, and the
# Python package's read of the same files.
# Usage: bash scripts/bench.sh [tniff_bench options, e.g. --runs 5 --size 2048]
# The files go to build-bench/files (the floor is measured in the same folder).
set -euo pipefail
cd "$(dirname "$0")/.."

# The Python row (tarniff.read) where Debian's Python has NumPy and pybind11 to build it with.
python=/usr/bin/python3
python_option=OFF
python_targets=()
python_args=()
if "$python" -c "import numpy, pybind11" 2> /dev/null; then
  python_option=ON
  python_targets=(_tarniff)
  python_args=(--python "$PWD/build-bench/python" --python-exe "$python")
else
  echo "bench: no Python row ($python lacks NumPy or pybind11; bash scripts/setup.sh installs them)"
fi

mkdir -p build-bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTNIFF_PYTHON=$python_option \
  -DPython_EXECUTABLE="$python" > build-bench/configure.log 2>&1 \
  || { cat build-bench/configure.log; exit 1; }
cmake --build build-bench -j2 --target tniff_bench tniff TnIffFormat "${python_targets[@]}" > build-bench/build.log 2>&1 \
  || { tail -40 build-bench/build.log; exit 1; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(. /etc/os-release && echo "$PRETTY_NAME")"
echo "compiler: $(c++ --version | head -1), build type Release"
build-bench/bin/tniff_bench --dir build-bench/files --tool build-bench/bin/tniff "${python_args[@]}" "$@"
rm -rf build-bench/files
