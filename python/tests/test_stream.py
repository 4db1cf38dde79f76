"""A device's read stream as an iterator of bytes: to the end, ended early
(the stream stops and leaves no thread behind), and ended by an error."""

import faulthandler
import os
import threading
import time

import pytest

import zelm
from conftest import sim_devices

MEMORY = 4096  # the simulated devices' memory size


@pytest.fixture(autouse=True)
def no_hang():
    """A stream that never stops fails the test instead of hanging it."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def open_device(sim_config, plugin_copy):
    """Owns a simulated device whose streams are configured as given."""
    opened = []

    def open_with(**stream):
        sim_config(sim_devices(1, **stream))
        dev = zelm.open(plugin_copy(), "serial=SIM-0001")
        opened.append(dev)
        return dev

    yield open_with
    for dev in opened:
        dev.close()


def threads():
    return len(os.listdir("/proc/self/task"))


def memory(address, size):
    return bytes((address + i) % MEMORY & 0xFF for i in range(size))


def test_a_stream_yields_its_bytes_to_the_end(open_device):
    dev = open_device(stream={"chunk_size": 1000, "chunks_per_second": 0})
    before = threads()
    with dev.stream(100, 5000) as stream:
        chunks = list(stream)
    assert {type(chunk) for chunk in chunks} == {bytes}
    assert b"".join(chunks) == memory(100, 5000)
    assert stream.closed
    assert threads() == before


def let_the_device_fill_the_queue():
    """The stream then ends while the device waits for room in the queue."""
    time.sleep(0.2)


def end_by_break(stream):
    with stream:
        for count, _ in enumerate(stream, 1):
            if count == 3:
                let_the_device_fill_the_queue()
                break


def end_by_exception(stream):
    with pytest.raises(KeyError):
        with stream:
            for _ in stream:
                let_the_device_fill_the_queue()
                raise KeyError("raised in the loop")


def end_by_close(stream):
    next(stream)
    let_the_device_fill_the_queue()
    stream.close()
    with pytest.raises(StopIteration):
        next(stream)


@pytest.mark.parametrize("end", [end_by_break, end_by_exception, end_by_close])
def test_a_stream_ended_early_stops_and_leaves_no_thread(open_device, end):
    # Unthrottled small chunks: the device is held back by the full queue.
    dev = open_device(stream={"chunk_size": 16, "chunks_per_second": 0})
    before = threads()
    stream = dev.stream(0, 0)
    assert threads() > before
    end(stream)
    assert stream.closed
    assert threads() == before
    dev.close()


def test_a_stream_dropped_unclosed_stops_and_leaves_no_thread(open_device):
    dev = open_device(stream={"chunk_size": 16, "chunks_per_second": 0})
    before = threads()
    for _ in dev.stream(0, 0):
        let_the_device_fill_the_queue()
        break
    assert threads() == before


def test_a_stream_that_fails_raises_error_with_its_message(open_device):
    dev = open_device(stream={"chunk_size": 1024, "chunks_per_second": 0},
                      faults={"stream_error": "sensor unplugged", "stream_error_after": 2048})
    received = bytearray()
    with dev.stream(0, 0) as stream:
        with pytest.raises(zelm.Error) as raised:
            for chunk in stream:
                received += chunk
    assert str(raised.value) == "sensor unplugged"
    assert bytes(received) == memory(0, 2048)


def test_closing_ends_an_iteration_waiting_in_another_thread(open_device):
    # A chunk every 1000 s: the iterating thread waits, without the GIL, so
    # this thread runs on and closes the stream.
    dev = open_device(stream={"chunk_size": 16, "chunks_per_second": 0.001})
    stream = dev.stream(0, 0)
    waiting = threading.Event()
    received = []

    def iterate():
        waiting.set()
        received.extend(stream)

    iterating = threading.Thread(target=iterate)
    iterating.start()
    waiting.wait()
    time.sleep(0.2)  # into the wait; holding the GIL there would hang this thread
    stream.close()
    iterating.join(60)
    assert not iterating.is_alive()
    assert len(received) <= 1


def close_device(dev):
    dev.close()


def leave_the_with_block(dev):
    with dev:
        pass


@pytest.mark.parametrize("end", [close_device, leave_the_with_block])
def test_closing_the_device_stops_its_streams_before_another_process_owns_it(open_device, hold, end):
    # A chunk every 10 ms while the stream runs.
    dev = open_device(stream={"chunk_size": 16, "chunks_per_second": 100})
    before = threads()
    streams = [dev.stream(0, 0), dev.stream(16, 0)]
    iterated = []
    iterating = threading.Thread(target=lambda: iterated.extend(streams[1]), daemon=True)
    iterating.start()
    assert len(next(streams[0])) == 16
    end(dev)
    hold(dev.plugin, "serial=SIM-0001")  # owned by another process from now on
    assert all(stream.closed for stream in streams)
    with pytest.raises(StopIteration):
        next(streams[0])
    iterating.join(60)
    assert not iterating.is_alive()
    assert threads() == before


def test_a_stream_started_from_a_closed_device_is_refused(open_device):
    dev = open_device(stream={"chunk_size": 16, "chunks_per_second": 0})
    dev.close()
    with pytest.raises(zelm.Error, match="on a closed device"):
        dev.stream(0, 0)
