"""A real etcd server for the tests of lab-wide ownership: one member on
free loopback ports with its own data directory, stopped (and killed with
the test process, should that die first) when the test ends."""

import base64
import json
import socket
import subprocess
import time
import urllib.error
import urllib.request

ETCD = "/usr/bin/etcd"
ETCDCTL = "/usr/bin/etcdctl"
START_TIMEOUT = 30  # seconds; the machine is shared and may be slow


def free_loopback_port():
    """A loopback port that was free a moment ago (the kernel's pick)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class EtcdServer:
    def __init__(self, directory):
        self.directory = directory
        self.endpoint = f"http://127.0.0.1:{free_loopback_port()}"
        peer = f"http://127.0.0.1:{free_loopback_port()}"
        self.log = directory / "etcd.log"
        self.process = subprocess.Popen(
            ["/usr/bin/setpriv", "--pdeathsig", "KILL", "--", ETCD, "--name", "m0",
             "--data-dir", str(directory / "data"),
             "--listen-client-urls", self.endpoint, "--advertise-client-urls", self.endpoint,
             "--listen-peer-urls", peer, "--initial-advertise-peer-urls", peer,
             "--initial-cluster", f"m0={peer}", "--initial-cluster-state", "new",
             "--logger", "zap", "--log-level", "warn", "--log-outputs", str(self.log)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_until_ready()

    def _answers(self):
        request = urllib.request.Request(
            self.endpoint + "/v3/kv/range", method="POST",
            data=json.dumps({"key": base64.b64encode(b"/zelm-test/ready").decode()}).encode())
        try:
            with urllib.request.urlopen(request, timeout=2) as response:
                return response.status == 200
        except (urllib.error.URLError, OSError):
            return False

    def _wait_until_ready(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"etcd exited ({self.process.returncode}): {self.log.read_text()}")
            if self._answers():
                return
            time.sleep(0.1)
        self.stop()
        raise RuntimeError(f"etcd did not answer within {START_TIMEOUT} s")

    def etcdctl(self, *arguments):
        """etcdctl's output for `arguments`: a client independent of the library."""
        return subprocess.run([ETCDCTL, "--endpoints", self.endpoint, "--dial-timeout", "2s",
                               "--command-timeout", "5s", *arguments],
                              check=True, capture_output=True, text=True, timeout=30).stdout

    def leases_under(self, prefix):
        """The leases (hexadecimal, as etcdctl takes them) of the keys under `prefix`."""
        answer = json.loads(self.etcdctl("get", "--prefix", prefix, "-w", "json"))
        return [format(entry["lease"], "x") for entry in answer.get("kvs", [])]

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
