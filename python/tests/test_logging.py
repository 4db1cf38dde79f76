"""The library's log lines reach Python's logger "zelm", not standard
output, from the calling thread and from the library's own."""

import logging
import subprocess
import sys
import textwrap

import pytest

import zelm
from conftest import sim_devices


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_skipped_plugin_is_a_warning_on_the_zelm_logger(tmp_path, caplog, capfd, jobs):
    missing = [tmp_path / "gone_manager.so", tmp_path / "lost_manager.so"]
    with caplog.at_level(logging.DEBUG, logger="zelm"):
        assert zelm.scan(missing, jobs=jobs) == []
    assert sorted((record.name, record.levelno, record.getMessage()) for record in caplog.records) == [
        ("zelm", logging.WARNING, f"Scanner skipped manager {path}: Device Manager not found: {path}")
        for path in missing]
    assert "Device Manager not found" not in capfd.readouterr().out


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_plugin_whose_list_fails_is_a_warning_saying_why(plugin_copy, caplog, jobs):
    broken, working = plugin_copy("broken_manager.so"), plugin_copy("working_manager.so")
    # The configuration beside a copy of the simulated plug-in is its own.
    broken.with_suffix(".json").write_text('{"devices": [{"description": {"serial": "X"}, "latency_ms": -1}]}')
    with caplog.at_level(logging.DEBUG, logger="zelm"):
        results = zelm.scan([broken, working], jobs=jobs)
    assert [result.plugin_path for result in results] == [working] * 3
    [record] = caplog.records
    assert record.levelno == logging.WARNING
    assert record.getMessage().startswith(f"Scanner skipped manager {broken}: Bad sim configuration ")


def test_a_query_that_throws_is_an_error_on_the_zelm_logger(sim_config, plugin_copy, caplog):
    sim_config(sim_devices(1, faults={"open_device_error": "cable unplugged"}))
    with caplog.at_level(logging.DEBUG, logger="zelm"):
        zelm.scan(plugin_copy())
    assert [(record.levelno, "cable unplugged" in record.getMessage()) for record in caplog.records] == [
        (logging.ERROR, True)]


def test_lines_below_the_loggers_level_are_left_out(tmp_path, caplog):
    with caplog.at_level(logging.ERROR, logger="zelm"):
        zelm.scan([tmp_path / "gone_manager.so"])
    assert caplog.records == []


# A handler that scans again when a query fails, as a program might to
# retry; the library logs once it has let go of the device's locks.
RESCANNING_HANDLER = textwrap.dedent("""
    import logging, sys
    import zelm

    plugin, jobs = sys.argv[1], int(sys.argv[2])
    rescans = []

    class Rescan(logging.Handler):
        def emit(self, record):
            if record.levelno == logging.ERROR and not rescans:
                rescans.append(zelm.scan(plugin, jobs=jobs))

    logging.getLogger("zelm").addHandler(Rescan())
    scanned = zelm.scan(plugin, jobs=jobs)
    print([type(result).__name__ for result in scanned + rescans[0]])
""")


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_handler_may_scan_again_when_a_query_fails(sim_config, plugin_copy, jobs):
    sim_config(sim_devices(1, faults={"open_device_error": "cable unplugged"}))
    finished = subprocess.run([sys.executable, "-c", RESCANNING_HANDLER, str(plugin_copy()), str(jobs)],
                              capture_output=True, text=True, timeout=30)
    assert (finished.returncode, finished.stdout) == (0, "['Failed', 'Failed']\n"), finished.stderr
