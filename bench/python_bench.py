"""The Python module's figures, each a ratio of the same work done through
zelm and from C++ (bench/python_bench_side.cpp) in this run:

- python_warm_scan_vs_cpp: a scan of 1,000 simulated devices whose answers
  are all cached, zelm.scan against zelm::scan_devices (target <= 1.15);
- python_stream_vs_cpp: stream throughput through the Python iterator
  against a C++ callback that takes the same chunks (target >= 0.8).

The sides alternate, which one goes first changing each round; each side's
best counts. Usage: python_bench.py BUILD_DIR (a Release build tree with
zelm_python and zelm_python_bench_side built).
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROUNDS = 5
STREAM_SIZE = 64 * 1024 * 1024


def runs_per_side():
    return max(1, int(os.environ.get("ZELM_BENCH_RUNS_PER_SIDE", "3")))


def print_figure(name, value, target, ok):
    print(f"{name}: {value:.2f} (target {target}) {'ok' if ok else 'MISS'}", flush=True)


def fastest(runs, run):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def cpp_side(side, *args):
    output = subprocess.run([str(side), *map(str, args)], check=True, capture_output=True, text=True).stdout
    return float(output)


def alternated(python_side, cpp):
    """The best time of each side over rounds that alternate which goes first."""
    best_python = best_cpp = float("inf")
    for round_index in range(ROUNDS):
        sides = [lambda: python_side(), lambda: cpp()]
        if round_index % 2:
            sides.reverse()
        times = [side() for side in sides]
        python_time, cpp_time = times if round_index % 2 == 0 else times[::-1]
        best_python, best_cpp = min(best_python, python_time), min(best_cpp, cpp_time)
    return best_python, best_cpp


def scan_figure(zelm, side, plugin):
    def python_side():
        if len(zelm.scan(plugin)) != 1000:  # the warm-up, as the C++ side has one
            raise RuntimeError("the warm-up scan did not find every device")
        return fastest(runs_per_side(), lambda: zelm.scan(plugin))

    python_time, cpp_time = alternated(python_side, lambda: cpp_side(side, "scan", plugin, runs_per_side()))
    print(f"warm scan of 1,000 devices: Python {python_time * 1e3:.2f} ms, C++ {cpp_time * 1e3:.2f} ms")
    ratio = python_time / cpp_time
    print_figure("python_warm_scan_vs_cpp", ratio, "<= 1.15", ratio <= 1.15)


def stream_figure(zelm, side, plugin):
    description = zelm.load(plugin).list_devices()[0]

    def read_all(device):
        received = 0
        with device.stream(0, STREAM_SIZE) as chunks:
            for chunk in chunks:
                received += len(chunk)
        if received != STREAM_SIZE:
            raise RuntimeError("the stream did not deliver every byte")

    def python_side():
        with zelm.open(plugin, description) as device:
            return fastest(runs_per_side(), lambda: read_all(device))

    python_time, cpp_time = alternated(python_side,
                                       lambda: cpp_side(side, "stream", plugin, STREAM_SIZE, runs_per_side()))
    mib = STREAM_SIZE / (1024 * 1024)
    print(f"stream of {mib:.0f} MiB: Python {mib / python_time:.0f} MiB/s, C++ {mib / cpp_time:.0f} MiB/s")
    ratio = cpp_time / python_time
    print_figure("python_stream_vs_cpp", ratio, ">= 0.8", ratio >= 0.8)


def main(build):
    side = build / "bin" / "zelm_python_bench_side"
    sys.path.insert(0, str(build / "python"))
    with tempfile.TemporaryDirectory(prefix="zelm-python-bench-") as scratch:
        os.environ["TMPDIR"] = scratch
        os.environ["XDG_RUNTIME_DIR"] = scratch
        os.environ.pop("ZELM_SIM_CONFIG", None)  # each plug-in copy reads the configuration beside it
        scan_plugin, stream_plugin = subprocess.run([str(side), "setup", scratch], check=True, capture_output=True,
                                                    text=True).stdout.split()
        import zelm  # noqa: E402 (after the environment is set)

        for name, target, figure, plugin in [
            ("python_warm_scan_vs_cpp", "<= 1.15", scan_figure, scan_plugin),
            ("python_stream_vs_cpp", ">= 0.8", stream_figure, stream_plugin),
        ]:
            try:
                figure(zelm, side, plugin)
            except Exception as error:  # a failure costs this figure only
                print(f"{name}: not measured, {error} (target {target}) MISS", flush=True)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
