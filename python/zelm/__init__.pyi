import os
import pathlib
from typing import Any, Optional, Union

StrPath = Union[str, os.PathLike[str]]
JSON = Any
Description = Union[str, dict[str, JSON], JSON]

class Error(Exception):
    """Every error of the library, with the library's message unchanged."""

class DeviceOccupied(Error):
    """Another owner, in this process or another, holds the device."""
    owner: Optional[Owner]

class PluginLoadError(Error):
    """A plug-in file is missing, not a plug-in, built for another interface, or its create_manager failed."""

class JSONError(Error, ValueError):
    """A description or other JSON text that is not valid JSON (or not valid UTF-8)."""

class FileSystemError(Error, OSError):
    """A directory or file the library needs cannot be found or read."""

class Owner:
    """The process that holds a device's ownership lock."""
    def __init__(self, pid: int, command: Optional[str] = None, host: Optional[str] = None) -> None: ...
    @property
    def pid(self) -> int: ...
    @property
    def command(self) -> Optional[str]: ...
    @property
    def host(self) -> Optional[str]: ...

class Manager:
    """A device family's manager, shared by everything in this process that uses its plug-in."""
    @property
    def name(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def path(self) -> pathlib.Path: ...
    def list_devices(self) -> list[JSON]: ...

def load(plugin: StrPath) -> Manager:
    """The live manager of the plug-in file, loading the plug-in when none lives."""

def lock_id(manager_path: StrPath, description: Description) -> str:
    """The lock identity ("device_<hex>") of the device that `description` names under `manager_path`."""

def find_owner(manager_path: StrPath, description: Description) -> Optional[Owner]:
    """The process holding the device, or None when it is free or its holder cannot be identified."""
