"""Find hardware devices through plug-ins and own them across processes.

The library's scan, managers, ownership, devices and streams, for Python.
"""

from zelm._zelm import (
    DeviceOccupied,
    Error,
    FileSystemError,
    JSONError,
    Manager,
    Owner,
    PluginLoadError,
    find_owner,
    load,
    lock_id,
)

__all__ = [
    "DeviceOccupied",
    "Error",
    "FileSystemError",
    "JSONError",
    "Manager",
    "Owner",
    "PluginLoadError",
    "find_owner",
    "load",
    "lock_id",
]
