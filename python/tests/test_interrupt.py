"""Ctrl-C interrupts what waits: a scan of a slow device, a stream waiting
for its next chunk, and an acquisition waiting for a cluster that does not
answer all raise KeyboardInterrupt within a fraction of a second."""

import json
import os
import selectors
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import sim_devices

PROMPT = 1.0  # seconds from SIGINT to KeyboardInterrupt, at most
WAIT = 60  # seconds: a bound on every other wait, never a measure

# Prints "waiting" just before the call that waits, and "interrupted" once
# KeyboardInterrupt arrives; the process then ends as usual.
SCRIPT = textwrap.dedent("""
    import sys
    import zelm

    plugin, work, endpoints = sys.argv[1], sys.argv[2], sys.argv[3:]

    def scan():
        print("waiting", flush=True)
        zelm.scan(plugin)

    def stream():
        with zelm.open(plugin, "SIM-0001") as dev, dev.stream(0, 0) as chunks:
            next(chunks)  # the first chunk comes at once, the next in 1000 s
            print("waiting", flush=True)
            next(chunks)

    def acquisition():
        zelm.join_cluster(endpoints, host_id="bench-1", ttl=10)
        print("waiting", flush=True)
        zelm.open(plugin, {"serial": "SIM-0001"})  # a description: no scan first

    try:
        globals()[work]()
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")


@pytest.fixture
def silent_endpoints():
    """Cluster endpoints that accept connections (the kernel completes them)
    and never answer."""
    listeners = []
    for _ in range(3):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        listeners.append(listener)
    yield [f"http://127.0.0.1:{listener.getsockname()[1]}" for listener in listeners]
    for listener in listeners:
        listener.close()


def read_line(process, timeout):
    """The process's next line of output, or "" when none comes in time."""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        if not selector.select(timeout):
            return ""
    return process.stdout.readline()


CASES = {
    "a scan of a slow device": ("scan", {"latency_ms": {"get_info": 600_000}}),
    "a stream waiting for its next chunk": ("stream", {"stream": {"chunk_size": 16, "chunks_per_second": 0.001}}),
    "an acquisition waiting for the cluster": ("acquisition", {"lab_wide": True}),
}


@pytest.mark.parametrize("case", CASES.keys())
def test_ctrl_c_raises_keyboard_interrupt_at_once(case, sim_plugin, silent_endpoints, tmp_path):
    work, device = CASES[case]
    config = tmp_path / "sim.json"
    config.write_text(json.dumps(sim_devices(1, **device)))
    environment = dict(os.environ, ZELM_SIM_CONFIG=str(config))
    process = subprocess.Popen([sys.executable, "-c", SCRIPT, str(sim_plugin), work, *silent_endpoints],
                               stdout=subprocess.PIPE, text=True, env=environment)
    try:
        assert read_line(process, WAIT) == "waiting\n"
        time.sleep(0.3)  # into the wait
        process.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        line = read_line(process, PROMPT)
        elapsed = time.monotonic() - signalled
        assert line == "interrupted\n", f"after {elapsed:.1f} s: {line!r}"
        assert process.wait(WAIT) == 0
    finally:
        process.kill()
        process.wait()
