"""A fork() racing the process's first kernel call: the child must find no
lock held, no half-made pool and no half-computed first-use value."""

import subprocess
import sys

# Forks at a random moment while another thread makes the first calls (the
# worker pool, the SIMD self-test, the CPU checks, the result's and the
# panic's classes); the child must finish its own calls within 10 s and
# compute the same bits as the parent.  The forking thread spins rather than
# sleeps, holding the interpreter lock for whole switch intervals, so the
# other thread spends them waiting for the lock wherever it asks for it: the
# moments a lock of our own held across that wait would be inherited.
SCRIPT = """
import hashlib, os, random, sys, threading, time, warnings
import numpy as np
import velkor_core as vc

warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process
img = np.random.default_rng(0).random((256, 256, 1), dtype=np.float32)
params = vc.GuidedFilterParams(2, 0.01)

def calls():
    try:
        vc.encode_srgb(img[:, ::2])  # a panic: its class is made on first use
    except BaseException:
        pass
    outs = vc.encode_srgb(img), vc.local_contrast(img, params, 0.5)
    return hashlib.sha256(b"".join(out.tobytes() for out in outs)).hexdigest()

first = threading.Thread(target=calls)
first.start()
deadline = time.perf_counter() + random.uniform(0.0, 0.03)
while time.perf_counter() < deadline:
    pass
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.write(write, calls().encode())
    os._exit(0)
os.close(write)
first.join()
deadline = time.monotonic() + 10
while not os.waitpid(pid, os.WNOHANG)[0]:
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        sys.exit("the forked child hung")
    time.sleep(0.005)
assert os.read(read, 100).decode() == calls(), "the child computed other bits"
"""


def test_a_fork_racing_the_first_call_leaves_a_working_child():
    failures = []
    for _ in range(20):  # 40 fresh interpreters, two at a time
        runs = [subprocess.Popen([sys.executable, "-c", SCRIPT], stderr=subprocess.PIPE, text=True)
                for _ in range(2)]
        for run in runs:
            try:
                error = run.communicate(timeout=60)[1]
            except subprocess.TimeoutExpired:
                run.kill()
                error = "the parent hung: " + run.communicate()[1]
            if run.returncode != 0:
                failures.append(error.strip().splitlines()[-1:])
    assert not failures
