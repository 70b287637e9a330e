"""The shared library's 19 exported names, their C++ symbols and ctypes types,
and loading it."""

from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, c_char, c_char_p, c_int
from typing import Any

from .errors import LibraryError

DEFAULT_LIBRARY = "libtarvik.so.1"

# name: (symbol, result, arguments) for a function, (symbol, type) for data.
# The C++ references of setme and setmev are pointers underneath.
SYMBOLS: dict[str, tuple[Any, ...]] = {
    "serial_open": ("_Z11serial_openv", c_int, []),
    "serial_close": ("_Z12serial_closei", c_int, [c_int]),
    "serial_puts": ("_Z11serial_putsiPc", c_int, [c_int, c_char_p]),
    "serial_putn": ("_Z11serial_putniPci", c_int, [c_int, c_char_p, c_int]),
    "serial_gets": ("_Z11serial_getsiPci", c_int, [c_int, c_char_p, c_int]),
    "tarvlf": ("_Z6tarvlfi", c_int, [c_int]),
    "tarvabreverso": ("_Z13tarvabreversov", c_int, []),
    "tarvfechaverso": ("_Z14tarvfechaversov", c_int, []),
    "tarvcheque": ("_Z10tarvchequePcS_S_S_S_S_S_", c_int, [c_char_p] * 7),
    "chequecom": ("_Z9chequecomicPc", None, [c_int, c_char, c_char_p]),
    "completastr": ("_Z11completastrPccii", None, [c_char_p, c_char, c_int, c_int]),
    "posicao": ("_Z7posicaocPc", c_int, [c_char, c_char_p]),
    "tarvtxt": ("_Z7tarvtxtccPc", c_int, [c_char, c_char, c_char_p]),
    "tarvaut": ("_Z7tarvautcccPc", c_int, [c_char, c_char, c_char, c_char_p]),
    "tarvversotxt": ("_Z12tarvversotxtccPc", c_int, [c_char, c_char, c_char_p]),
    "setme": ("_Z5setmeRcS_RiS_", None, [POINTER(c_char), POINTER(c_char), POINTER(c_int), POINTER(c_char)]),
    "setmev": ("_Z6setmevRcS_RiS_", None, [POINTER(c_char), POINTER(c_char), POINTER(c_int), POINTER(c_char)]),
    "comando": ("comando", c_char * 100),
    "bufi": ("bufi", c_char * 100),
}


class Library:
    """The library loaded from one path: each of the 19 names as an attribute
    (functions typed, the buffers as ctypes arrays) and the C library's
    ``fflush``."""

    def __init__(self, path: str) -> None:
        try:
            dll = ctypes.CDLL(path, use_errno=True)
        except OSError as e:
            raise LibraryError(f"cannot load {path}: {e}") from None
        for name, entry in SYMBOLS.items():
            try:
                if len(entry) == 2:
                    value: Any = entry[1].in_dll(dll, entry[0])
                else:
                    value = getattr(dll, entry[0])
                    value.restype, value.argtypes = entry[1], entry[2]
            except (AttributeError, ValueError):
                raise LibraryError(f"{path} lacks {name} ({entry[0]})") from None
            setattr(self, name, value)
        self.fflush = ctypes.CDLL(None).fflush
        self.fflush.argtypes = [ctypes.c_void_p]


_loaded: dict[str, Library] = {}
_loading = threading.Lock()


def load(library: str | os.PathLike[str] | None = None) -> Library:
    """The library at ``library``, else at ``$TARVIK_LIBRARY``, else the
    system's ``libtarvik.so.1``; loaded once per path."""
    path = os.fspath(library) if library is not None else os.environ.get("TARVIK_LIBRARY") or DEFAULT_LIBRARY
    with _loading:
        if path not in _loaded:
            _loaded[path] = Library(path)
        return _loaded[path]
