"""How long the command takes before it does any work: --version, --help, and a convert up to reading.

Each is a fresh process, best of ``--repeat`` runs (a busy machine only
ever adds time): its wall time, and its processor time, which a shared
machine disturbs less. "convert, to reading" runs ``velkor convert``
on a file that does not exist: it imports and sets up everything a convert
needs, then stops where reading would start. Then ``-X importtime`` shows
the slowest imports of the convert path, cumulative, best of three.

Targets: --version and --help within 0.12 s, a convert within 0.2 s of its
start to reading.  Usage: python bench/bench_startup.py [--repeat N]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

VELKOR = [sys.executable, "-m", "velkor"]
COMMANDS = {
    "python -c pass (the interpreter alone)": [sys.executable, "-c", "pass"],
    "velkor --version": [*VELKOR, "--version"],
    "velkor --help": [*VELKOR, "--help"],
    "velkor convert --help": [*VELKOR, "convert", "--help"],
    "convert, to reading": [*VELKOR, "convert", "missing.jpg", "-o", "out.png"],
}
CONVERT_IMPORTS = "import velkor.cli.main, velkor.io.reading, velkor.run.export, velkor.run.tiled, velkor.model.presets"


def best_times(command: list[str], repeat: int, folder: str) -> tuple[float, float]:
    """The best wall time and the best processor time (user + system) of the command, in seconds.

    On a shared machine the processor time is the steadier of the two: it
    leaves out the time spent waiting for a processor.
    """
    wall = cpu = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        child = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, _, usage = os.wait4(child.pid, 0)
        child.returncode = 0  # reaped here: Popen must not wait for it again
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, usage.ru_utime + usage.ru_stime)
    return wall, cpu


def slowest_imports(code: str, count: int = 12) -> list[tuple[str, float]]:
    """(module, cumulative seconds) of the slowest top-level imports, best of three runs each."""
    best: dict[str, float] = {}
    for _ in range(3):
        log = subprocess.run([sys.executable, "-X", "importtime", "-c", code], capture_output=True, text=True).stderr
        for line in log.splitlines():
            match = re.match(r"import time:\s+\d+ \|\s+(\d+) \|( *)(\S+)", line)
            if match and len(match[2]) <= 2:  # what the code itself imported, not what those imported
                best[match[3]] = min(best.get(match[3], float("inf")), int(match[1]) / 1e6)
    return sorted(best.items(), key=lambda item: -item[1])[:count]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        best_times(COMMANDS["convert, to reading"], 1, folder)  # warms the file cache
        print(f"{'best of ' + str(args.repeat):40} {'wall':>7} {'cpu':>7}")
        for name, command in COMMANDS.items():
            wall, cpu = best_times(command, args.repeat, folder)
            print(f"{name:40} {wall:6.3f}s {cpu:6.3f}s")
    print("\nslowest imports of a convert (cumulative seconds, python -X importtime):")
    for module, seconds in slowest_imports(CONVERT_IMPORTS):
        print(f"  {module:36} {seconds:6.3f}")


if __name__ == "__main__":
    main()
