"""Type information for the velq extension module."""

import builtins
from typing import Any, TypeAlias

__all__: list[str]

# What loads returns: dicts (keys in byte order), lists, str, int, float, bool, None.
_Loaded: TypeAlias = Any

def dumps(json_text: str) -> builtins.bytes:
    """Compile a JSON string to VELQ binary bytes."""

def loads(bytes: builtins.bytes) -> _Loaded:
    """Decompile VELQ binary bytes to a Python object."""

def dump(json_text: str, path: str) -> None:
    """Compile JSON string and write VELQ binary to a file."""

def load(path: str) -> _Loaded:
    """Read a VELQ file and decompile to a Python object."""

# emit binds any object; it raises TypeError for what it cannot store (None,
# tuples, sets, ...), so the parameter is typed as broadly as the call accepts.
def emit(obj: object) -> builtins.bytes:
    """Emit a Python value as VELQ binary (no JSON string)."""
