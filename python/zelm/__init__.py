"""Find hardware devices through plug-ins and own them across processes.

The library's scan, managers, ownership, devices and streams, for Python,
and lab-wide ownership of network devices through an etcd cluster.
zelm.open(plugin, description) owns and opens one device; it is left out of
__all__, so that `from zelm import *` keeps the built-in open().
"""

from zelm._zelm import (
    AmbiguousSelector,
    ClusterUnavailable,
    Device,
    DeviceOccupied,
    Error,
    Failed,
    FileSystemError,
    Found,
    InvalidSelector,
    JSONError,
    LockUnusable,
    Manager,
    NoDeviceMatches,
    Occupied,
    Owner,
    OwnershipLost,
    PluginLoadError,
    ScanResult,
    Stream,
    __version__,
    cluster_host_id,
    default_plugin_directory,
    find_owner,
    in_cluster,
    join_cluster,
    leave_cluster,
    load,
    lock_id,
    open,
    scan,
)

# Not open: `from zelm import *` would hide the built-in open(); it is
# zelm.open.
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
