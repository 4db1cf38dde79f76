"""Lab-wide ownership: a process that joins a cluster owns its lab-wide
devices through the cluster too, sees their holders on other hosts, and
learns when it loses them. Hosts are processes with host ids of their own
and lock directories of their own, against a real etcd server."""

import os
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

import zelm
from conftest import sim_devices
from etcd_server import EtcdServer, free_loopback_port

TTL = 2  # etcd's minimum, so that lost leases show quickly
WAIT = 60  # seconds: a bound on every wait, never a measure
DEVICE = {"serial": "SIM-0001"}


@pytest.fixture
def etcd(tmp_path_factory):
    server = EtcdServer(tmp_path_factory.mktemp("etcd"))
    yield server
    zelm.leave_cluster()  # while the server still answers
    server.stop()


@pytest.fixture(autouse=True)
def out_of_the_cluster_afterwards():
    yield
    zelm.leave_cluster()


@pytest.fixture
def lab_wide_plugin(sim_config, plugin_copy, tmp_path):
    """A plug-in whose one device SIM-0001 is lab-wide; opens go to opens.log."""
    sim_config(dict(sim_devices(1, lab_wide=True), open_log=str(tmp_path / "opens.log")))
    return plugin_copy()


def opens(tmp_path):
    log = tmp_path / "opens.log"
    return [int(line.split()[0]) for line in log.read_text().splitlines()] if log.exists() else []


OTHER_HOST = textwrap.dedent("""
    import sys, zelm
    zelm.join_cluster(sys.argv[1], host_id=sys.argv[2], ttl=2)
    with zelm.open(sys.argv[3], "serial=SIM-0001"):
        print("owned", flush=True)
        sys.stdin.readline()
""")


@pytest.fixture
def other_host(tmp_path):
    """Starts a process that joins the cluster as another host, with a lock
    directory of its own, and owns SIM-0001 until the test ends."""
    started = []

    def start(endpoint, host_id, plugin):
        directory = tmp_path / host_id
        directory.mkdir()
        environment = dict(os.environ, TMPDIR=str(directory), XDG_RUNTIME_DIR=str(directory))
        process = subprocess.Popen([sys.executable, "-c", OTHER_HOST, endpoint, host_id, str(plugin)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=environment)
        started.append(process)
        line = process.stdout.readline()
        assert line == "owned\n", f"host {host_id} did not own the device: {line!r}"
        return process

    yield start
    for process in started:
        process.stdin.close()
        process.wait(timeout=WAIT)


@pytest.mark.parametrize("endpoints", [
    ["http://127.0.0.1:2379"],
    ["http://127.0.0.1:2379", "https://lab-etcd.example:2379/"],
    "http://127.0.0.1:2379,,http://127.0.0.1:2380",
], ids=["list", "two", "text"])
@pytest.mark.parametrize("host_id", [None, "bench-7"])
def test_joining_names_this_host_until_it_leaves(endpoints, host_id):
    zelm.join_cluster(endpoints, host_id=host_id, ttl=3)
    assert zelm.in_cluster()
    assert zelm.cluster_host_id() == (host_id or socket.gethostname())
    zelm.leave_cluster()
    assert not zelm.in_cluster()
    assert zelm.cluster_host_id() is None
    zelm.leave_cluster()  # not in a cluster: nothing to do


@pytest.mark.parametrize("arguments, message", [
    (dict(endpoints=[]), "Bad cluster endpoint: none given"),
    (dict(endpoints=" ,"), "Bad cluster endpoint: "),
    (dict(endpoints=","), "Bad cluster endpoint: none given"),
    (dict(endpoints="ftp://127.0.0.1:2379"), "Bad cluster endpoint: ftp://127.0.0.1:2379: not an http:// or https://"),
    (dict(endpoints="no url"), "Bad cluster endpoint: no url"),
    (dict(endpoints="http://127.0.0.1:2379", host_id="lab/a"), "Bad cluster host id: lab/a"),
    (dict(endpoints="http://127.0.0.1:2379", host_id="a\tb"), "Bad cluster host id: a\tb"),
    (dict(endpoints="http://127.0.0.1:2379", ttl=1), "Bad cluster time-to-live: 1 s (at least 2)"),
    (dict(endpoints="http://127.0.0.1:2379", ttl=2.5), "Bad cluster time-to-live: 2.5 s"),
    (dict(endpoints="http://127.0.0.1:2379", ttl=float("nan")), "Bad cluster time-to-live: nan s"),
])
def test_a_join_that_is_rejected_raises_value_error_and_joins_nothing(arguments, message):
    with pytest.raises(ValueError) as raised:
        zelm.join_cluster(**arguments)
    assert str(raised.value).startswith(message)
    assert not zelm.in_cluster()


def test_a_device_held_on_another_host_is_occupied_by_that_host(etcd, lab_wide_plugin, plugin_copy, other_host,
                                                               tmp_path):
    holder = other_host(etcd.endpoint, "host-b", lab_wide_plugin)
    zelm.join_cluster([etcd.endpoint], host_id="host-a", ttl=TTL)
    with pytest.raises(zelm.DeviceOccupied) as raised:
        zelm.open(lab_wide_plugin, DEVICE)
    owner = raised.value.owner
    assert (owner.pid, owner.command, owner.host, owner.lab_wide) == (holder.pid, "python3", "host-b", True)
    assert opens(tmp_path) == [holder.pid]

    # Two plug-in files of the family name the same device; on two threads
    # each is scanned on its own, and both results still name the holder.
    plugins = [lab_wide_plugin, plugin_copy("sim_again_manager.so")]
    for jobs in (1, 2):
        results = zelm.scan(plugins, jobs=jobs)
        assert [type(result) for result in results] == [zelm.Occupied, zelm.Occupied]
        assert [result.owner for result in results] == [owner] * 2


def test_a_device_owned_lab_wide_is_free_to_this_host_again_once_released(etcd, lab_wide_plugin, tmp_path):
    zelm.join_cluster([etcd.endpoint], host_id="host-a", ttl=TTL)
    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        assert dev.lab_wide
        assert dev.ownership_lost is None
        assert len(etcd.leases_under("/zelm/owners/")) == 1
    assert etcd.leases_under("/zelm/owners/") == []
    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        assert dev.lab_wide


def revoke_lease(etcd):
    [lease] = etcd.leases_under("/zelm/owners/")
    etcd.etcdctl("lease", "revoke", lease)


@pytest.mark.parametrize("lose", [revoke_lease, lambda etcd: zelm.leave_cluster()],
                         ids=["lease revoked", "left the cluster"])
def test_a_device_whose_ownership_is_lost_raises_on_its_next_call_and_is_not_touched(etcd, lab_wide_plugin, lose):
    zelm.join_cluster([etcd.endpoint], host_id="host-a", ttl=TTL)
    reasons = []
    told = threading.Event()
    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        dev.set_register(0x10, 1)
        dev.on_ownership_lost(lambda reason: (reasons.append(reason), told.set()))
        lose(etcd)
        assert told.wait(WAIT), "the ownership-lost callback was not called"
        assert dev.ownership_lost == reasons[0]
        with pytest.raises(zelm.OwnershipLost, match="^Lab-wide ownership lost: ") as raised:
            dev.set_register(0x10, 2)
        assert isinstance(raised.value, zelm.Error)
        with pytest.raises(zelm.OwnershipLost):
            dev.read(0, 1)
    assert len(reasons) == 1
    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        assert dev.get_register(0x10) == 1


EXITING_HOST = textwrap.dedent("""
    import sys, zelm
    zelm.join_cluster(sys.argv[1], host_id="host-x", ttl=2)
    dev = zelm.open(sys.argv[2], "serial=SIM-0001")
    dev.on_ownership_lost(lambda reason: print("lost:", reason, flush=True))
    kept = [dev]
    kept.append(kept)  # a cycle: the device outlives the module's globals
    print("owned", flush=True)
""")


def test_a_process_that_ends_holding_a_device_leaves_the_cluster_while_python_runs(etcd, lab_wide_plugin):
    ended = subprocess.run([sys.executable, "-c", EXITING_HOST, etcd.endpoint, str(lab_wide_plugin)],
                           capture_output=True, text=True, timeout=WAIT)
    assert ended.returncode == 0, ended.stderr
    assert ended.stdout.splitlines() == ["owned", "lost: left the cluster"]
    assert etcd.leases_under("/zelm/owners/") == []


def test_a_callback_registered_after_the_loss_is_called_at_once(etcd, lab_wide_plugin):
    zelm.join_cluster([etcd.endpoint], host_id="host-a", ttl=TTL)
    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        zelm.leave_cluster()
        reasons = []
        dev.on_ownership_lost(reasons.append)
        assert reasons == [dev.ownership_lost]


def test_closing_a_device_waits_for_its_callback_in_progress(etcd, lab_wide_plugin):
    zelm.join_cluster([etcd.endpoint], host_id="host-a", ttl=TTL)
    started, finish, finished = threading.Event(), threading.Event(), threading.Event()

    def slow_callback(reason):
        started.set()
        finish.wait(WAIT)
        finished.set()

    dev = zelm.open(lab_wide_plugin, DEVICE)
    dev.on_ownership_lost(slow_callback)
    revoke_lease(etcd)
    assert started.wait(WAIT), "the ownership-lost callback was not called"
    closer = threading.Thread(target=dev.close)
    closer.start()
    finish.set()  # the callback needs the GIL to end: close() must not hold it while it waits
    closer.join(WAIT)
    assert not closer.is_alive(), "close() did not return"
    assert finished.is_set()


def test_an_exception_of_the_callback_goes_to_the_unraisable_hook(etcd, lab_wide_plugin, monkeypatch):
    zelm.join_cluster([etcd.endpoint], host_id="host-a", ttl=TTL)
    raised = []
    monkeypatch.setattr(sys, "unraisablehook", raised.append)

    def failing(reason):
        raise RuntimeError("callback failed")

    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        dev.on_ownership_lost(failing)
        zelm.leave_cluster()
    assert [str(hook.exc_value) for hook in raised] == ["callback failed"]


def test_without_the_cluster_nothing_is_held_and_scans_do_not_call_devices_free(lab_wide_plugin, tmp_path):
    zelm.join_cluster([f"http://127.0.0.1:{free_loopback_port()}"], host_id="host-a", ttl=TTL)
    with pytest.raises(zelm.ClusterUnavailable, match="^Cluster unavailable: ") as raised:
        zelm.open(lab_wide_plugin, DEVICE)
    assert isinstance(raised.value, zelm.Error)
    assert zelm.find_owner(zelm.load(lab_wide_plugin).path, DEVICE) is None
    assert opens(tmp_path) == []
    [result] = zelm.scan(lab_wide_plugin)
    assert isinstance(result, zelm.Failed)
    assert result.error.startswith("Cluster unavailable: ")

    zelm.leave_cluster()
    with zelm.open(lab_wide_plugin, DEVICE) as dev:
        assert not dev.lab_wide
