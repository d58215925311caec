"""tarniff.read in threads against processes, on a fixed number of reads:
    python3 bench/python_threads.py PACKAGE_PARENT FILE [READS [ROUNDS]]
reads FILE READS times (default 48) with 1, 2 and 8 threads of one process, then with 1, 2
and 8 worker processes, ROUNDS times over (default 3), and prints for each the shortest wall
time of its rounds, the reads a second that gives, and the CPU time of that round (all
workers') and how many cores that kept busy on average. Threads take turns on the module (one operation at a time per process), so only
processes read side by side. Workers are started and have loaded the module before the clock
starts; each read's arrays are freed in the worker, nothing is sent back."""

import concurrent.futures
import multiprocessing
import sys
import threading
import time

sys.path.insert(0, sys.argv[1])
import tarniff  # noqa: E402


def read_times(path, count):
    """Reads path count times; gives the CPU seconds this took."""
    cpu = time.process_time()
    for _ in range(count):
        image = tarniff.read(path)
        del image
    return time.process_time() - cpu


def shares(total, parts):
    return [total // parts + (1 if i < total % parts else 0) for i in range(parts)]


def in_threads(path, reads, count):
    threads = [threading.Thread(target=read_times, args=(path, share)) for share in shares(reads, count)]
    start, cpu = time.perf_counter(), time.process_time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start, time.process_time() - cpu


def in_processes(path, reads, count):
    with concurrent.futures.ProcessPoolExecutor(count, mp_context=multiprocessing.get_context("fork")) as pool:
        # Every worker started and with the module loaded: one read each, waited for together.
        list(pool.map(read_times, [path] * count, [1] * count, chunksize=1))
        start = time.perf_counter()
        cpus = list(pool.map(read_times, [path] * count, shares(reads, count), chunksize=1))
        return time.perf_counter() - start, sum(cpus)


def main():
    path = sys.argv[2]
    reads = int(sys.argv[3]) if len(sys.argv) > 3 else 48
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    read_times(path, 1)
    print(f"{reads} reads of {path}, the shortest of {rounds} rounds")
    for how, run in (("threads", in_threads), ("processes", in_processes)):
        for count in (1, 2, 8):
            seconds, cpu = min(run(path, reads, count) for _ in range(rounds))
            print(f"{count} {how:9}: {seconds:7.2f} s, {reads / seconds:6.1f} reads a second, CPU {cpu:6.2f} s "
                  f"({cpu / seconds:.2f} cores busy)")


if __name__ == "__main__":
    main()
