import os
import pathlib
from types import TracebackType
from typing import Any, Callable, Optional, Sequence, Union

__version__: str

# Not open: `from zelm import *` would hide the built-in open().
__all__ = [
    "AmbiguousSelector",
    "ClusterUnavailable",
    "Device",
    "DeviceOccupied",
    "Error",
    "Failed",
    "FileSystemError",
    "Found",
    "InvalidSelector",
    "JSONError",
    "LockUnusable",
    "Manager",
    "NoDeviceMatches",
    "Occupied",
    "Owner",
    "OwnershipLost",
    "PluginLoadError",
    "ScanResult",
    "Stream",
    "cluster_host_id",
    "default_plugin_directory",
    "find_owner",
    "in_cluster",
    "join_cluster",
    "leave_cluster",
    "load",
    "lock_id",
    "scan",
]

StrPath = Union[str, os.PathLike[str]]
JSON = Any
Description = Union[str, dict[str, JSON], JSON]
# Any object that exports its bytes through the buffer protocol.
ReadableBuffer = Union[bytes, bytearray, memoryview, Any]

class Error(Exception):
    """Every error of the library, with the library's message unchanged."""

class DeviceOccupied(Error):
    """Another owner, in this process or another, holds the device; the message names it."""
    owner: Optional[Owner]

class PluginLoadError(Error):
    """A plug-in file is missing, not a plug-in, built for another interface, or its create_manager failed."""

class JSONError(Error, ValueError):
    """A description or other JSON text that is not valid JSON (or not valid UTF-8), or one nested deeper than the library takes (a value that contains itself among them)."""

class FileSystemError(Error, OSError):
    """A directory or file the library needs cannot be found or read."""

class ClusterUnavailable(Error):
    """The cluster cannot answer (no endpoint reachable, no quorum, a request timed out); an acquisition that raises it holds nothing."""

class OwnershipLost(Error):
    """The device's lab-wide ownership is lost, or may have lapsed: the device no longer forwards operations."""

class LockUnusable(Error):
    """A device's ownership lock cannot be taken safely (an unsafe lock directory, a lock file that is a link); nothing was owned or opened."""
    path: Optional[pathlib.Path]

class InvalidSelector(Error, ValueError):
    """Text given to zelm.open that names no device by the selector rules, or a row of the zelm tool's last scan ("@2")."""

class NoDeviceMatches(Error, LookupError):
    """No listed device matches what zelm.open was given; `incomplete` when a device could not be queried."""
    incomplete: bool

class AmbiguousSelector(Error, LookupError):
    """Several listed devices match what zelm.open was given; `candidates` holds their descriptions."""
    candidates: tuple[JSON, ...]

class Owner:
    """The process that holds a device: its ownership lock, or for a lab-wide device in a cluster, its key."""
    def __init__(self, pid: int, command: Optional[str] = None, host: Optional[str] = None,
                 user: Optional[str] = None, since: Optional[str] = None, lab_wide: bool = False) -> None: ...
    @property
    def pid(self) -> int: ...
    @property
    def command(self) -> Optional[str]: ...
    @property
    def host(self) -> Optional[str]:
        """The host the holder runs on (its cluster host id in a cluster, else this machine's name), or None when unknown."""
    @property
    def user(self) -> Optional[str]:
        """The holder's user name (or numeric user id), or None when unknown."""
    @property
    def since(self) -> Optional[str]:
        """When the holder took the device, UTC, ISO 8601 ("2026-12-11T10:54:06Z"), or None when unknown."""
    @property
    def lab_wide(self) -> bool:
        """True when the device is held through the cluster's key, not only this machine's lock."""

class Manager:
    """A device family's manager, shared by everything in this process that uses its plug-in."""
    @property
    def name(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def path(self) -> pathlib.Path: ...
    def list_devices(self) -> list[JSON]: ...

def default_plugin_directory() -> pathlib.Path:
    """$ZELM_PLUGIN_DIR when set and not empty, else the plug-ins installed with this package.

    zelm.scan() scans it when given nothing; a bare plug-in file name
    ("sim_manager.so") given to zelm.scan, zelm.load or zelm.open is looked
    up there, never in the working directory.
    """

def load(plugin: StrPath) -> Manager:
    """The live manager of the plug-in file, loading the plug-in when none lives.

    A bare file name ("sim_manager.so") names a file in default_plugin_directory().
    """

def lock_id(manager_path: StrPath, description: Description) -> str:
    """The lock identity ("device_<hex>") of the device that `description` names under `manager_path`."""

def find_owner(manager_path: StrPath, description: Description) -> Optional[Owner]:
    """The process holding the device, or None when it is free or its holder cannot be identified."""

class ScanResult:
    """One device as a scan reports it: found, occupied or failed."""
    @property
    def plugin_path(self) -> pathlib.Path:
        """The plug-in file as the scan was given it, a bare file name in default_plugin_directory()."""
    @property
    def description(self) -> JSON:
        """The device's description as its plug-in lists it (usually a dict)."""

class Found(ScanResult):
    """A free device that answered its query."""
    @property
    def serial_number(self) -> Optional[str]: ...
    @property
    def api(self) -> Optional[str]: ...
    @property
    def info(self) -> JSON: ...
    @property
    def status(self) -> JSON:
        """The device's status, or None when it gave none."""

class Occupied(ScanResult):
    """A device that another owner holds; it was not queried."""
    @property
    def owner(self) -> Optional[Owner]: ...

class Failed(ScanResult):
    """A free device whose query gave no information."""
    @property
    def error(self) -> str: ...

def scan(plugins: Union[StrPath, Sequence[StrPath], None] = None, *,
         jobs: int = 1) -> list[Union[Found, Occupied, Failed]]:
    """Scans plug-ins for devices: one result per device, plug-in by plug-in in device-list order.

    `plugins` is a directory (its plug-in files in name order), one plug-in
    file or a list of them; by default default_plugin_directory(), where a
    bare file name is also looked up. `jobs` scans that many plug-ins at
    once. A plug-in that cannot be loaded or listed is a warning on the
    "zelm" logger, a failed query an error there. Raises
    zelm.FileSystemError when the directory or the one plug-in file given
    does not exist or cannot be read.
    """

class Stream:
    """A running read stream of a device, made by Device.stream().

    Iterating yields the stream's data as bytes, in order, and ends when the
    stream stops; a stream that fails raises zelm.Error with the device's
    message. The device waits while chunks are waiting for Python to take
    them. close(), or leaving the `with` block (also by break or an
    exception), stops the stream and waits until the device has left it; so
    does closing the device. Ctrl-C raises KeyboardInterrupt while the
    iteration waits for a chunk.
    """
    def __iter__(self) -> Stream: ...
    def __next__(self) -> bytes: ...
    def close(self) -> None:
        """Stops the stream and waits for it; iteration then ends. Closing a closed stream does nothing."""
    @property
    def closed(self) -> bool:
        """True once the stream is closed."""
    def __enter__(self) -> Stream: ...
    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...

class Device:
    """A device owned by this process, made by zelm.open().

    The device is owned, across processes, from zelm.open() until close() or
    the end of the `with` block that opened it, which first stop the
    device's streams and wait for them; every call after that raises
    zelm.Error. Device calls release the GIL. A result that reports failure
    raises zelm.Error naming the operation. A lab-wide device whose
    ownership is lost raises zelm.OwnershipLost on every call, without
    reaching the device.
    """
    def get_register(self, address: int) -> int:
        """Reads the device's registers and returns the value of the one at `address`."""
    def set_register(self, address: int, value: int, operand: int = 0) -> None:
        """Sets the register at `address` to `value` and sends it to the device."""
    def read(self, address: int, length: int) -> bytes:
        """Reads `length` bytes from `address`."""
    def write(self, address: int, data: ReadableBuffer) -> None:
        """Writes the bytes of `data` (any bytes-like object, passed without a copy where it is contiguous) to `address`."""
    def trigger(self, address: int, operand: int) -> None:
        """Triggers `address` with `operand`."""
    def stream(self, address: int, size: int) -> Stream:
        """Starts a read stream of `size` bytes (0: until closed) from `address`."""
    @property
    def info(self) -> JSON:
        """The device's information, as the device answers it now (parsed JSON)."""
    @property
    def status(self) -> JSON:
        """The device's status, as the device answers it now (parsed JSON)."""
    @property
    def description(self) -> JSON:
        """The description that names the device in its plug-in's list (parsed JSON)."""
    @property
    def plugin(self) -> pathlib.Path:
        """The plug-in file the device was opened through."""
    @property
    def closed(self) -> bool:
        """True once the device is closed."""
    @property
    def lab_wide(self) -> bool:
        """True when the device is owned lab-wide, through the cluster this process joined."""
    @property
    def ownership_lost(self) -> Optional[str]:
        """Why the device's lab-wide ownership is lost (or may have lapsed), or None while it holds."""
    def on_ownership_lost(self, callback: Optional[Callable[[str], object]]) -> None:
        """Calls `callback(reason)` once when the lab-wide ownership is lost (at once when it is already), on the library's thread; None removes it."""
    def close(self) -> None:
        """Stops the device's streams and waits for them, then closes the device and gives up its ownership. Closing a closed device does nothing."""
    def __enter__(self) -> Device: ...
    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...

def open(plugin: StrPath, description: Description) -> Device:
    """Owns, then opens, one device of the plug-in file `plugin` (a bare file name in default_plugin_directory()).

    `description` names the device: a description as scan results and
    list_devices() give it (a dict), its JSON text, or a selector: a serial
    number as a scan shows it ("SIM-0002"), or a key=value filter over the
    description's members ("model=sim-memory,serial=SIM-0003"). Exactly one
    listed device must match. A serial number names an occupied device by
    the serial number it showed when it was last free, so opening a held
    device by its serial number raises zelm.DeviceOccupied. Rows of the zelm
    tool's last scan ("@2") are the tool's own and raise
    zelm.InvalidSelector: name the device by its description, serial number
    or key=value instead. The device's ownership lock is taken before the
    device is opened. Raises zelm.DeviceOccupied (with .owner) when another
    owner holds the device (for a lab-wide device in a cluster, also on
    another host), zelm.ClusterUnavailable when the device is lab-wide and
    the cluster cannot answer (nothing is then held), zelm.InvalidSelector
    (a ValueError) for text that is no selector, zelm.NoDeviceMatches or
    zelm.AmbiguousSelector (with .candidates) when no device or several
    match, zelm.PluginLoadError when the plug-in does not load,
    zelm.LockUnusable when the device's lock cannot be taken safely, and
    zelm.Error when the device does not open. Ctrl-C raises
    KeyboardInterrupt at once, also while a lab-wide device waits for the
    cluster; a device acquired after that is released on the way.
    """

def join_cluster(endpoints: Union[str, Sequence[str]], *, host_id: Optional[str] = None, ttl: float = 5.0) -> None:
    """Joins the etcd cluster at `endpoints` (URLs, or one text of them separated by commas).

    From now on this process owns lab-wide devices through the cluster as
    well as through their local locks. `host_id` names this host (default:
    the machine's host name); `ttl` is the lease's time-to-live in whole
    seconds (at least 2). Raises ValueError for a bad endpoint, host id or
    time-to-live.
    """

def leave_cluster() -> None:
    """Leaves the cluster: this process's keys go at once and its lab-wide devices lose their ownership."""

def in_cluster() -> bool:
    """True between join_cluster() and leave_cluster()."""

def cluster_host_id() -> Optional[str]:
    """This host's id in the cluster, or None when not in one."""
