#!/usr/bin/env python3
"""The Python package's cost per call, against the same requests made from C.

    bench/python_bench.py [--build build/native] [--requests 10000] [--async-requests 1000]
                          [--rounds 5]

Starts the stand-in server, compiles bench/python_bench_baseline.c against the library, then
interleaves round by round: N sync "get" through the library from C (a child process), N sync
"get" through dravolin, and 1,000 async "get" in flight on one connection (and spread over 10
connections) against 1,000 sync ones. The server and the benchmark share CPU 0 ("1 CPU" placement of BENCHMARKS.md), so
wall time and CPU time per request both count the client's work. Prints the medians and the
ranges over the rounds; the Python overhead is Python's per-request time minus C's.
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
USER, PASSWORD = "bench", "bench-secret"


def median_range(values):
    return "%.2f [%.2f-%.2f]" % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(REPO, "build", "native"))
    parser.add_argument("--requests", type=int, default=10000)
    parser.add_argument("--async-requests", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    library = os.path.join(args.build, "lib", "libDravolinClient.so.1")
    server_path = os.path.join(args.build, "bin", "dravolin-testserver")
    os.environ["DRAVOLIN_LIBRARY"] = library
    sys.path.insert(0, os.path.join(REPO, "python"))
    import dravolin

    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {0})  # children (server, C baseline) inherit CPU 0
    work = tempfile.mkdtemp(prefix="python-bench-")
    baseline = os.path.join(work, "python_bench_baseline")
    subprocess.run(["cc", "-O2", "-I", os.path.join(REPO, "include"),
                    os.path.join(HERE, "python_bench_baseline.c"), "-o", baseline, library,
                    "-Wl,-rpath," + os.path.dirname(library)], check=True)
    server = subprocess.Popen([server_path, "--exit-on-stdin-close", "--user",
                               "%s:%s" % (USER, PASSWORD)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(server.stdout.readline().split()[2]) - 1
    n, m = args.requests, args.async_requests
    c_wall, c_cpu, py_wall, py_cpu, sync_m, async_m = [], [], [], [], [], []
    spread_m = []  # the same 1,000 async requests spread over 10 connections

    def c_round():
        out = subprocess.run([baseline, str(port), USER, PASSWORD, str(n)], check=True,
                             capture_output=True, text=True).stdout.split()
        c_wall.append(int(out[0]) / n / 1000)
        c_cpu.append(int(out[1]) / n / 1000)

    def python_round(conn):
        get = conn.get
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            get("MaxSessions")
        py_wall.append((time.perf_counter() - wall) / n * 1e6)
        py_cpu.append((time.process_time() - cpu) / n * 1e6)

    async def async_round(conn):
        wall = time.perf_counter()
        replies = await asyncio.gather(*(conn.get("MaxSessions") for _ in range(m)))
        async_m.append((time.perf_counter() - wall) * 1000)
        assert len(replies) == m

    def sync_round(conn):
        wall = time.perf_counter()
        for _ in range(m):
            conn.get("MaxSessions")
        sync_m.append((time.perf_counter() - wall) * 1000)

    async def run_async_rounds(count):
        conn = await dravolin.aio.connect("127.0.0.1", port)
        await conn.login(USER, PASSWORD)
        await async_round(conn)  # warm-up
        del async_m[-1]
        for _ in range(count):
            await async_round(conn)
        await conn.close()
        conns = [await dravolin.aio.connect("127.0.0.1", port) for _ in range(10)]
        for c in conns:
            await c.login(USER, PASSWORD)
        wall = time.perf_counter()
        replies = await asyncio.gather(*(conns[i % 10].get("MaxSessions") for i in range(m)))
        spread_m.append((time.perf_counter() - wall) * 1000)
        assert len(replies) == m
        for c in conns:
            await c.close()

    try:
        with dravolin.connect("127.0.0.1", port) as conn:
            conn.login(USER, PASSWORD)
            for _ in range(1000):  # warm-up
                conn.get("MaxSessions")
            for _ in range(args.rounds):
                c_round()
                python_round(conn)
                sync_round(conn)
                asyncio.run(run_async_rounds(1))
    finally:
        server.stdin.close()
        server.wait()

    overhead_wall = [p - c for p, c in zip(py_wall, c_wall)]
    overhead_cpu = [p - c for p, c in zip(py_cpu, c_cpu)]
    print("machine: %d CPUs, load %s; 1 CPU placement; %d rounds"
          % (os.cpu_count(), open("/proc/loadavg").read().split()[0], args.rounds))
    print("%d sync get, C:      %s us/request wall, %s us CPU" % (n, median_range(c_wall),
                                                                    median_range(c_cpu)))
    print("%d sync get, Python: %s us/request wall, %s us CPU" % (n, median_range(py_wall),
                                                                    median_range(py_cpu)))
    print("Python overhead per sync request: %s us wall, %s us CPU (target < 10 us)"
          % (median_range(overhead_wall), median_range(overhead_cpu)))
    print("%d async get in flight on one connection: %s ms; %d sync get: %s ms; async/sync "
          "speed %s" % (m, median_range(async_m), m, median_range(sync_m),
                         median_range([s / a for s, a in zip(sync_m, async_m)])))
    print("%d async get over 10 connections: %s ms; async/sync speed %s"
          % (m, median_range(spread_m), median_range([s / a for s, a in zip(sync_m, spread_m)])))


if __name__ == "__main__":
    main()
