"""Find hardware devices through plug-ins and own them across processes.

The library's scan, managers, ownership, devices and streams, for Python.
"""

from zelm._zelm import (
    Device,
    DeviceOccupied,
    Error,
    FileSystemError,
    JSONError,
    Manager,
    Owner,
    PluginLoadError,
    Stream,
    find_owner,
    load,
    lock_id,
    open,
)

__all__ = [
    "Device",
    "DeviceOccupied",
    "Error",
    "FileSystemError",
    "JSONError",
    "Manager",
    "Owner",
    "PluginLoadError",
    "Stream",
    "find_owner",
    "load",
    "lock_id",
    "open",
]
