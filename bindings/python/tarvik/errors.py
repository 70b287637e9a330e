"""The printer's failures. Bad arguments are refused with plain ``ValueError``
and ``TypeError`` before anything is sent; ``EncodingError`` and ``DateError``
are ``ValueError`` too."""

from __future__ import annotations

import errno as _errno
import os


class Error(Exception):
    """Base of every failure of the printer and of the library. ``report`` is
    what the library wrote for the call (it used to go to standard output:
    "data invalida", "error reading terminal settings."), ``""`` when
    nothing."""

    report: str = ""


class LibraryError(Error):
    """The worker could not be started, the library did not load into it, or
    it lacks one of the names the worker calls (the message says which)."""


class ConfigError(Error):
    """``tarvik.ini`` is missing or unreadable in the printer's directory, or
    that directory cannot be used. The library would end its process: that
    is the worker, never the application."""


class PortError(Error):
    """The port did not open and nothing was sent. ``code`` is the library's
    ``serial_open`` result: -1 the device did not open (or ``tarvik.ini``
    names none: errno ENOENT), -2 it is not a terminal, -3 its settings could
    not be applied; 0 when the worker ended before it could tell. ``errno``
    tells why, ``None`` when the library gave none."""

    def __init__(self, code: int, errno: int | None, report: str = "", message: str | None = None) -> None:
        if message is None:
            message = f"the port did not open: code {code}, errno {errno} {os.strerror(errno or 0)}"
        super().__init__(message)
        self.code = code
        self.errno = errno
        self.report = report
        self._message = message

    def __reduce__(self) -> tuple[type, tuple[object, ...]]:
        # Pickled by its own arguments, so that it crosses to another process
        # (multiprocessing, concurrent.futures) whole.
        return type(self), (self.code, self.errno, self.report, self._message)


class DateError(Error, ValueError):
    """The check's date is no day of the calendar, or not in a form that is
    taken; nothing was printed."""


class SendError(Error):
    """The port opened, but the command's bytes did not all reach the line
    (``errno`` is the failed write's, EIO for a write that took nothing,
    EINTR for a signal that ended the worker's wait); or, for a check, its
    layout could not be read from ``tarvik.ini`` for want of descriptors or
    memory (EMFILE, ENFILE, ENOMEM). ``errno`` is ``None`` when the library
    gave none, as for a worker that ended during the call: the message says
    what is known."""

    def __init__(self, errno: int | None, report: str = "", message: str | None = None) -> None:
        if message is None:
            name = _errno.errorcode.get(errno or 0, str(errno))
            message = f"the command was not sent whole: errno {errno} ({name}) {os.strerror(errno or 0)}"
        super().__init__(message)
        self.errno = errno
        self.report = report
        self._message = message

    def __reduce__(self) -> tuple[type, tuple[object, ...]]:
        return type(self), (self.errno, self.report, self._message)


class PrinterTimeout(Error, TimeoutError):
    """The call's ``timeout`` ran out while it waited for its turn, for the
    port's lock or for the printer: the unsent bytes were dropped and the
    line restored."""


class ToolError(Error):
    """``tarvik-print``, which :meth:`Printer.status` runs, is missing or
    failed: it comes with the package ``tarvik-tools``."""


class EncodingError(Error, ValueError):
    """A text holds a character that the printer's encoding lacks; nothing was
    sent."""
