"""Find hardware devices through plug-ins and own them across processes.

The library's scan, managers, ownership, devices and streams, for Python.
"""

from zelm._zelm import (
    Device,
    DeviceOccupied,
    Error,
    Failed,
    FileSystemError,
    Found,
    JSONError,
    Manager,
    Occupied,
    Owner,
    PluginLoadError,
    ScanResult,
    Stream,
    find_owner,
    load,
    lock_id,
    open,
    scan,
)

__all__ = [
    "Device",
    "DeviceOccupied",
    "Error",
    "Failed",
    "FileSystemError",
    "Found",
    "JSONError",
    "Manager",
    "Occupied",
    "Owner",
    "PluginLoadError",
    "ScanResult",
    "Stream",
    "find_owner",
    "load",
    "lock_id",
    "open",
    "scan",
]
