"""tarniff.read timed in one process, for tniff_bench's Python row:
    python3 python_read.py PACKAGE_PARENT FILE RUNS
prints the median wall and CPU milliseconds of RUNS reads of FILE (each read and the freeing of
its arrays), after one read that loads the module file, as any program reading many files has."""

import statistics
import sys
import time

sys.path.insert(0, sys.argv[1])
import tarniff  # noqa: E402

path, runs = sys.argv[2], int(sys.argv[3])
del tarniff.read(path).pixels
walls, cpus = [], []
for _ in range(runs):
    wall, cpu = time.perf_counter(), time.process_time()
    image = tarniff.read(path)
    del image
    walls.append((time.perf_counter() - wall) * 1e3)
    cpus.append((time.process_time() - cpu) * 1e3)
print(f"{statistics.median(walls):.3f} {statistics.median(cpus):.3f}")
