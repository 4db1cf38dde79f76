"""Find hardware devices through plug-ins and own them across processes.

The library's scan, managers, ownership, devices and streams, for Python.
"""

from zelm._zelm import Error

__all__ = ["Error"]
