"""The process-wide worker pool as Python sees it: its size from the
environment, results independent of that size, concurrent callers, fork."""

import hashlib
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest
from pool_images import sample_image

import velkor_core

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "support")
DEFAULT = len(os.sched_getaffinity(0))

# Prints how many threads the process gained by importing velkor_core, by its
# first kernel call, and by a call after the environment changed, as the
# operating system counts them.
COUNT_THREADS = """
import json, os
import numpy as np

def threads():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))

before = threads()
import velkor_core
after_import = threads()
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
after_call = threads()
os.environ["RAYON_NUM_THREADS"] = "1"  # read once, when the pool was made
velkor_core.encode_srgb(np.ones((64, 64, 3), np.float32))
print(json.dumps([after_import - before, after_call - before, threads() - before]))
"""


def run_python(code, num_threads=None, rs_num_cpus=None):
    """Runs `code` in a fresh interpreter with the two pool variables set as
    given (None: unset) and returns what it printed, parsed as JSON."""
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if rs_num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = rs_num_cpus
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, expected",
    [
        ("1", None, 1),
        ("3", "2", 3),
        ("+4", None, 4),
        ("0", "3", DEFAULT),  # 0 asks for the default and ends the search
        ("abc", "3", 3),  # malformed: the second variable decides
        (" 4", "2", 2),
        ("-4", None, DEFAULT),
        (None, "3", 3),
        (None, None, DEFAULT),
    ],
)
def test_pool_size_follows_environment_on_first_call(num_threads, rs_num_cpus, expected):
    at_import, at_first_call, later = run_python(COUNT_THREADS, num_threads, rs_num_cpus)
    assert (at_import, at_first_call, later) == (0, expected, expected)


def test_pool_creation_failure_is_reported_on_every_call():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("an address-space limit breaks the sanitizer's own reservations")
    code = """
    import json, resource
    import numpy as np
    import velkor_core

    with open("/proc/self/status") as status:
        mapped_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    # Room for small allocations, none for 64 worker stacks.
    limit = (mapped_kb + 32 * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    img = np.ones((16, 16, 1), np.float32)
    texts = []
    for _ in range(2):
        try:
            velkor_core.encode_srgb(img)
        except BaseException as failure:
            texts.append([type(failure).__name__, str(failure)])
    print(json.dumps(texts))
    """
    (first_type, first), (second_type, second) = run_python(code, num_threads="64")
    prefix = "The global thread pool has not been initialized.: "
    assert first_type == second_type == "PanicException"
    assert first.startswith(prefix + "could not start 64 worker threads: ")
    assert second == prefix + "The global thread pool has already been initialized."


ENCODE_DIGEST = """
import hashlib, json
import velkor_core
from pool_images import sample_image
print(json.dumps(hashlib.sha256(velkor_core.encode_srgb(sample_image()).tobytes()).hexdigest()))
"""


def test_encoding_is_bit_identical_for_any_thread_count(monkeypatch):
    monkeypatch.setenv("PYTHONPATH", SUPPORT)
    digests = {n: run_python(ENCODE_DIGEST, num_threads=str(n)) for n in (1, 2, 3, 7)}
    here = hashlib.sha256(velkor_core.encode_srgb(sample_image()).tobytes()).hexdigest()
    assert digests == dict.fromkeys(digests, here)


def test_concurrent_callers_share_the_pool():
    shapes = [(1, 1, 3), (2, 3, 1), (64, 64, 3), (300, 400, 1), (5, 1000, 4)]
    images = [sample_image(shape, seed) for seed, shape in enumerate(shapes)]
    expected = [velkor_core.encode_srgb(img).tobytes() for img in images]
    start = threading.Barrier(8)
    mismatches = []

    def caller(index):
        start.wait()
        for round in range(40):
            k = (index + round) % len(images)
            if velkor_core.encode_srgb(images[k]).tobytes() != expected[k]:
                mismatches.append((index, round))

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []


@pytest.fixture
def pool_started():
    """The parent's pool exists, so a child inherits a process whose workers
    it does not have."""
    velkor_core.encode_srgb(np.ones((256, 256, 3), np.float32))
    with warnings.catch_warnings():
        # Forking a process with worker threads is exactly what is under test.
        warnings.simplefilter("ignore", DeprecationWarning)
        yield


def test_call_in_forked_child(pool_started):
    img = sample_image((200, 300, 3))
    expected = velkor_core.encode_srgb(img).tobytes()
    pid = os.fork()
    if pid == 0:
        os._exit(_child_encodes(img, expected))
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def _child_encodes(img, expected):
    try:
        signal.alarm(20)  # a deadlocked child fails instead of hanging the suite
        same = velkor_core.encode_srgb(img).tobytes() == expected
        return 0 if same else 1
    except BaseException:
        return 2


def test_multiprocessing_fork_pool(pool_started):
    images = [sample_image((120, 80, 3), seed) for seed in range(6)]
    with multiprocessing.get_context("fork").Pool(2) as workers:
        results = workers.map_async(velkor_core.encode_srgb, images, chunksize=1).get(timeout=60)
    for img, result in zip(images, results):
        assert result.tobytes() == velkor_core.encode_srgb(img).tobytes()
