"""The printer's failures. Bad arguments are refused with plain ``ValueError``
and ``TypeError`` before the port is opened, and are not among these."""

from __future__ import annotations

import errno as _errno
import os


class Error(Exception):
    """Base of every failure of the printer and of the library."""


class LibraryError(Error):
    """The library did not load, or lacks one of its 19 exported names (the
    message names it)."""


class ConfigError(Error):
    """``tarvik.ini`` is missing or unreadable in the printer's directory, or
    that directory does not exist. Raised before the library is called, since
    the library would end the process."""


class PortError(Error):
    """The port did not open and nothing was sent. ``code`` is the library's
    ``serial_open`` result: -1 the device did not open (or ``tarvik.ini``
    names none: errno ENOENT), -2 it is not a terminal, -3 its settings could
    not be applied. ``errno`` tells why."""

    def __init__(self, code: int, errno: int) -> None:
        super().__init__(f"the port did not open: code {code}, errno {errno} {os.strerror(errno)}")
        self.code = code
        self.errno = errno

    def __reduce__(self) -> tuple[type, tuple[int, int]]:
        # Pickled by its own arguments, not its message, so that it crosses to
        # another process (multiprocessing, concurrent.futures) whole.
        return type(self), (self.code, self.errno)


class DateError(Error):
    """The library refused the check's date (no day of the calendar, or not in
    a form it reads); nothing was printed."""


class SendError(Error):
    """The port opened, but the command's bytes did not all reach the line
    (``errno`` is the failed write's, EIO for a write that took nothing,
    EINTR for a signal other than this package's timer); or, for a check,
    its layout could not be read from ``tarvik.ini`` for want of descriptors
    or memory (EMFILE, ENFILE, ENOMEM)."""

    def __init__(self, errno: int) -> None:
        name = _errno.errorcode.get(errno, str(errno))
        super().__init__(f"the command was not sent whole: errno {errno} ({name}) {os.strerror(errno)}")
        self.errno = errno

    def __reduce__(self) -> tuple[type, tuple[int]]:
        return type(self), (self.errno,)


class PrinterTimeout(Error, TimeoutError):
    """The call's ``timeout`` ran out while it waited for the port's lock or
    for the printer: the unsent bytes were dropped and the line restored."""


class ToolError(Error):
    """``tarvik-print``, which :meth:`Printer.status` runs, is missing or
    failed: it comes with the package ``tarvik-tools``."""


class EncodingError(Error, ValueError):
    """A text holds a character that the printer's encoding lacks; nothing was
    sent."""
