"""tarniff.read timed in one process, for tniff_bench's Python rows:
    python3 python_read.py PACKAGE_PARENT FILE RUNS
prints the median wall and CPU milliseconds of RUNS reads of FILE (each read and the freeing of
its arrays), after one read that loads the module file, as any program reading many files has;
then those of RUNS `Image.open(FILE).size` with tarniff.pillow registered, which reads the
chunk headers only (-1 -1 where Pillow is missing)."""

import statistics
import sys
import time

sys.path.insert(0, sys.argv[1])
import tarniff  # noqa: E402


def median_ms(runs, work):
    walls, cpus = [], []
    for _ in range(runs):
        wall, cpu = time.perf_counter(), time.process_time()
        work()
        walls.append((time.perf_counter() - wall) * 1e3)
        cpus.append((time.process_time() - cpu) * 1e3)
    return statistics.median(walls), statistics.median(cpus)


def read():
    image = tarniff.read(path)
    del image


def size():
    with Image.open(path) as im:
        im.size


path, runs = sys.argv[2], int(sys.argv[3])
del tarniff.read(path).pixels
figures = list(median_ms(runs, read))
try:
    from PIL import Image
    import tarniff.pillow  # noqa: F401  (registers the format)
except ImportError:
    figures += [-1, -1]
else:
    size()
    figures += median_ms(runs, size)
print(" ".join(f"{figure:.3f}" for figure in figures))
