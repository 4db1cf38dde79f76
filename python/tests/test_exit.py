"""A process whose daemon threads are inside the library (a scan, a read, a
stream, a log line) when the interpreter exits ends normally."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import sim_devices

# Starts a daemon thread that repeats one library call until the process
# ends, lets it run, and exits while it is inside the library.
SCRIPT = textwrap.dedent("""
    import sys, threading, time
    import zelm

    plugin, work = sys.argv[1], sys.argv[2]
    running = threading.Event()

    def repeat(call):
        running.set()
        while True:
            call()

    def scan():
        repeat(lambda: zelm.scan(plugin))

    def read():
        dev = zelm.open(plugin, "SIM-0001")
        repeat(lambda: dev.read(0, 4096))

    def stream():
        dev = zelm.open(plugin, "SIM-0001")
        repeat(lambda: [chunk for chunk in dev.stream(0, 64 * 1024)])

    def stream_without_data():
        dev = zelm.open(plugin, "SIM-0001")
        stream = dev.stream(0, 0)
        running.set()
        for chunk in stream:
            pass

    threading.Thread(target=globals()[work], daemon=True).start()
    running.wait()
    time.sleep(0.3)
    print("exiting", flush=True)
""")

CASES = {
    "scan": ("scan", {}),
    "a scan waiting for a slow device": ("scan", {"latency_ms": {"get_info": 5000}}),
    "a scan logging a failed query": ("scan", {"faults": {"get_info_error": "cable unplugged"}}),
    "read": ("read", {}),
    "stream": ("stream", {"stream": {"chunk_size": 64, "chunks_per_second": 0}}),
    "a stream waiting for data": ("stream_without_data", {"stream": {"chunk_size": 16, "chunks_per_second": 0.001}}),
}


@pytest.mark.parametrize("case", CASES.keys())
def test_an_exit_with_a_daemon_thread_inside_the_library_ends_normally(case, sim_plugin, tmp_path):
    work, device = CASES[case]
    config = tmp_path / "sim.json"
    config.write_text(json.dumps(sim_devices(1, **device)))
    environment = dict(os.environ, ZELM_SIM_CONFIG=str(config))
    finished = subprocess.run([sys.executable, "-c", SCRIPT, str(sim_plugin), work], env=environment,
                              capture_output=True, text=True, timeout=60)
    assert (finished.returncode, finished.stdout) == (0, "exiting\n"), finished.stderr
    assert "terminate" not in finished.stderr
