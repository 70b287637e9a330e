"""Drive a serial check and document printer through libtarvik, whose calls
run in a worker process of their own (``tarvik-worker``).

>>> import tarvik
>>> printer = tarvik.Printer(directory="/srv/app", timeout=30)
>>> printer.text("RECEBEMOS O DOCUMENTO ABAIXO")

See :class:`Printer`. The pytest plugin (``tarvik.pytest_plugin``) gives the
fixture ``virtual_printer``, which plays the printer.
"""

from .errors import (
    ConfigError,
    DateError,
    EncodingError,
    Error,
    LibraryError,
    PortError,
    PrinterTimeout,
    SendError,
    ToolError,
)
from .printer import Command, Port, Printer
from .status import Holder, Status

__all__ = [
    "Command",
    "ConfigError",
    "DateError",
    "EncodingError",
    "Error",
    "Holder",
    "LibraryError",
    "Port",
    "PortError",
    "Printer",
    "PrinterTimeout",
    "SendError",
    "Status",
    "ToolError",
]
