"""The library's log lines reach Python's logger "zelm", not standard
output, from the calling thread and from the library's own."""

import logging

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


def test_a_query_that_throws_is_an_error_on_the_zelm_logger(sim_config, plugin_copy, caplog):
    sim_config(sim_devices(1, faults={"open_device_error": "cable unplugged"}))
    with caplog.at_level(logging.DEBUG, logger="zelm"):
        zelm.scan(plugin_copy())
    assert [(record.levelno, "cable unplugged" in record.getMessage()) for record in caplog.records] == [
        (logging.ERROR, True)]


def test_lines_below_the_loggers_level_are_left_out(tmp_path, caplog):
    with caplog.at_level(logging.ERROR, logger="zelm"):
        zelm.scan(tmp_path / "gone_manager.so")
    assert caplog.records == []
