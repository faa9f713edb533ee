"""What the worker pool costs and what it gains, measured on encode_srgb.

1. Per-call cost on tiny images: an empty image (no loop work at all, so the
   call frame alone) against 1x1 and 4x4 images, with one worker and with the
   default count.  Loops of fewer than 8 elements run on the calling thread;
   larger ones go through the pool.
2. Speed-up on a 4000x6000 single-channel image, 2 workers against 1, with
   the process's CPU time beside the wall time: the second shows what the
   division of work itself costs.

Each configuration runs in a fresh interpreter, since the pool's size is
fixed when the pool is made.  Usage: python bench/bench_pool.py
"""

import json
import os
import subprocess
import sys
import textwrap

TINY = """
import json, time
import numpy as np
import velkor_core

def per_call_us(img, calls=20000, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            velkor_core.encode_srgb(img)
        best = min(best, (time.perf_counter() - start) / calls)
    return best * 1e6

shapes = [(0, 1, 3), (1, 1, 3), (1, 1, 8), (4, 4, 3)]
for shape in shapes:  # warm up, and make the pool
    velkor_core.encode_srgb(np.ones(shape, np.float32))
print(json.dumps({str(s): per_call_us(np.ones(s, np.float32)) for s in shapes}))
"""

LARGE = """
import json, time
import numpy as np
import velkor_core

img = np.random.default_rng(1).uniform(0.0, 1.0, (4000, 6000, 1)).astype(np.float32)
velkor_core.encode_srgb(img)
runs = []
for _ in range(5):
    cpu, wall = time.process_time(), time.perf_counter()
    velkor_core.encode_srgb(img)
    runs.append(((time.perf_counter() - wall) * 1e3, (time.process_time() - cpu) * 1e3))
print(json.dumps(min(runs)))
"""


def measure(code, threads):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)


def main():
    default = len(os.sched_getaffinity(0))
    print(f"processors available: {default}, load average: {os.getloadavg()[0]:.2f}")
    print("\nper call, best of 5 x 20000 calls (microseconds)")
    columns = {"1 worker": measure(TINY, 1), f"{default} workers": measure(TINY, None)}
    print(f"{'shape':>12}" + "".join(f"{name:>14}" for name in columns))
    for shape in next(iter(columns.values())):
        print(f"{shape:>12}" + "".join(f"{column[shape]:>14.2f}" for column in columns.values()))
    for name, column in columns.items():
        overhead = column["(1, 1, 3)"] - column["(0, 1, 3)"]
        print(f"1x1x3 over the empty call, {name}: {overhead:+.2f} us")

    print("\nencode_srgb on (4000, 6000, 1), fastest of 5 (milliseconds)")
    (one, one_cpu), (two, two_cpu) = measure(LARGE, 1), measure(LARGE, 2)
    print(f"1 worker: {one:.1f} wall, {one_cpu:.1f} cpu")
    print(f"2 workers: {two:.1f} wall, {two_cpu:.1f} cpu")
    print(f"speed-up: {one / two:.2f}x; cpu spent on division of work: {two_cpu - one_cpu:+.1f} ms")
    print("(on a machine busy with other work the wall times say little; the cpu times still hold)")


if __name__ == "__main__":
    main()
