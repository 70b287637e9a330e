"""The printer: each command one of the library's, safe by default."""

from __future__ import annotations

import codecs
import contextlib
import ctypes
import datetime
import decimal
import errno
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

from . import _fields
from . import status as _status
from ._fields import Text
from ._library import Library, load
from .errors import ConfigError, DateError, PortError, PrinterTimeout, SendError

# The library shares its buffers and its saved line settings across the
# process, and takes a second open in the same process for a nested one that
# does not wait: so every call of every Printer takes this lock.
_turn = threading.RLock()

# After the first alarm, the timer fires again this often until the call
# returns: a call may wait more than once (the nested close, then the outer
# one), and a write that had taken some bytes is resumed and may block again.
_TICK = 0.05


class _Timer:
    """SIGALRM after ``seconds`` and then every ``_TICK`` until stopped. The
    handler only sets a flag: Python runs it after the C call returns, and an
    exception raised there would replace the call's result and lose its
    descriptor."""

    def __init__(self, seconds: float) -> None:
        self.fired = False
        self._start = time.monotonic()
        if signal.getsignal(signal.SIGALRM) is None:
            raise RuntimeError("SIGALRM has a handler that Python did not install, which a timeout could not put back")
        self._handler = signal.signal(signal.SIGALRM, self._alarm)
        signal.siginterrupt(signal.SIGALRM, True)
        self._timer = signal.setitimer(signal.ITIMER_REAL, max(seconds, 1e-6), _TICK)

    def _alarm(self, signum: int, frame: Any) -> None:
        self.fired = True

    def stop(self) -> bool:
        """Stops the timer and puts the application's handler and the rest of
        its timer back. True if the timer fired."""
        signal.setitimer(signal.ITIMER_REAL, 0)
        try:
            # Run a tick still pending through this handler, not the one put back.
            ctypes.pythonapi.PyErr_CheckSignals()
        finally:
            signal.signal(signal.SIGALRM, self._handler)
            delay, interval = self._timer
            if delay > 0:
                left = delay - (time.monotonic() - self._start)
                signal.setitimer(signal.ITIMER_REAL, max(left, 1e-6), interval)
        return self.fired


class Port:
    """The port held by :meth:`Printer.hold`, for raw access."""

    def __init__(self, printer: Printer, fd: int) -> None:
        self._printer = printer
        self.fd = fd

    def _held(self) -> int:
        # After the hold the descriptor's number may name another file.
        if self.fd < 0:
            raise ValueError("the port is no longer held")
        return self.fd

    def write(self, data: bytes) -> int:
        """Writes the bytes (any bytes-like object) in one write through the
        library; returns how many the line took. Raises :class:`SendError`
        when the write fails."""
        fd = self._held()
        lib = self._printer._lib
        # Not bytes(data): an int would become that many zero bytes.
        data = memoryview(data).tobytes()
        n, err = self._printer._call(lambda: (lib.serial_putn(fd, data, len(data)), ctypes.get_errno()), ini=False)
        if n < 0:
            raise SendError(err)
        return n

    def read(self, n: int) -> bytes:
        """What the printer has sent, at most ``n`` bytes, without waiting:
        ``b""`` when nothing is waiting."""
        fd = self._held()
        lib = self._printer._lib
        buf = ctypes.create_string_buffer(n + 1)
        got, _ = self._printer._call(lambda: (lib.serial_gets(fd, buf, n), 0), ini=False)
        return buf.raw[:got]


class Printer:
    """A printer on the serial line that ``tarvik.ini`` names.

    ``directory`` is where ``tarvik.ini`` is (a relative one is taken from
    the current directory now); ``None`` means the current directory at each
    call. When it is given, each call that reads ``tarvik.ini`` changes to it
    and back, also when the call raises. The current directory belongs to the
    whole process: while a call runs, the application's other threads see the
    printer's directory too.

    Texts are ``str``, encoded with ``encoding`` (the printer's code page), or
    ``bytes``, sent as they are.

    ``timeout`` (seconds) bounds the wait for the port's lock, held by another
    program or thread, and the wait for the printer; ``None`` waits as long as
    it takes. It works through SIGALRM, so only in the main thread. When it
    runs out, the unsent bytes are dropped, the line is restored, and the call
    raises :class:`PrinterTimeout`; a call that was through by then returns
    as usual.

    ``library`` is the path of ``libtarvik.so.1`` (default: the environment
    variable ``TARVIK_LIBRARY``, else the system's).

    Every call of every Printer in the process takes one lock, so threads may
    share printers: their commands go out whole, one after the other.

    Each command (``check``, ``text``, ``authenticate``, ``back_text``,
    ``line_feed``, ``back_side_on``, ``back_side_off``) is one of the
    library's commands and returns ``None``. Bad arguments raise
    ``ValueError`` or ``TypeError`` before the port is opened. The port is
    opened by this package around the command: when it does not open,
    :class:`PortError` replaces the library's "erro abertura porta serial"
    report. The library's other reports still go to standard output, flushed
    after every call.
    """

    def __init__(
        self,
        directory: str | os.PathLike[str] | None = None,
        encoding: str = "latin-1",
        timeout: float | None = None,
        library: str | os.PathLike[str] | None = None,
    ) -> None:
        codecs.lookup(encoding)
        # Beyond TIMEOUT_MAX the waits cannot be bounded: every call would
        # raise OverflowError.
        if timeout is not None and not 0 < timeout <= threading.TIMEOUT_MAX:
            raise ValueError(f"timeout must be above 0 and at most {threading.TIMEOUT_MAX} seconds, not {timeout}")
        # A relative directory is taken from here, not from wherever the
        # application has moved by the time of a call.
        self.directory = None if directory is None else os.path.abspath(directory)
        self.encoding = encoding
        self.timeout = timeout
        self._lib: Library = load(library)

    # ---- Commands ------------------------------------------------------

    def check(
        self,
        text1: Text,
        text2: Text,
        date: Text | datetime.date,
        amount: Text | int | decimal.Decimal,
        text5: Text,
        text6: Text,
        bank: str | int,
    ) -> None:
        """Prints a check from its fields.

        ``text1`` and ``text2`` hold at most 92 bytes each; ``text5`` and
        ``text6`` are cut to 60 by the library. No check text may hold a '}'
        or an ESC. ``date`` is a ``datetime.date`` or a text as the library
        reads it ("15/03/2025"). ``amount`` is an ``int`` of centavos, a
        ``Decimal`` of reais with at most two decimal places, or a text whose
        digits are the centavos ("1.234,56"; after a last '.' or ',' come two
        digits, so "12.5" is refused); at most twelve digits after the leading
        zeros, never negative, never a ``float``. ``bank`` is a code
        from 0 to 999, as ``int`` or digits, optionally with its check digit
        ("341-7"). Raises :class:`DateError` when the library refuses the date.
        """
        enc = self.encoding
        args = (
            _fields.check_text(text1, enc, "text1", _fields.FIELD_BYTES),
            _fields.check_text(text2, enc, "text2", _fields.FIELD_BYTES),
            _fields.date(date, enc),
            _fields.amount(amount, enc),
            _fields.check_text(text5, enc, "text5"),
            _fields.check_text(text6, enc, "text6"),
            _fields.bank(bank),
        )
        self._command(self._lib.tarvcheque, *args, check=True)

    def text(self, text: Text, pitch: str = "0", double: bool = False) -> None:
        """Prints a line on the front of the document. ``pitch`` is one of
        "0123456789*+"; the library cuts the text to the pitch's line width."""
        self._command(
            self._lib.tarvtxt, _fields.pitch(pitch), _fields.flag(double), _fields.text(text, self.encoding)
        )

    def authenticate(self, text: Text, pitch: str = "0", double: bool = False, selector: str = "Y") -> None:
        """Prints an authentication line; ``selector`` is "Y", "V" or "X".
        The library cuts the text to the pitch's line width."""
        self._command(
            self._lib.tarvaut,
            _fields.pitch(pitch),
            _fields.flag(double),
            _fields.selector(selector),
            _fields.text(text, self.encoding),
        )

    def back_text(self, text: Text, pitch: str = "0", double: bool = False) -> None:
        """Prints a line on the back of the document; the library cuts the
        text to one less than the pitch's back line width."""
        self._command(
            self._lib.tarvversotxt, _fields.pitch(pitch), _fields.flag(double), _fields.text(text, self.encoding)
        )

    def line_feed(self, n: int = 1) -> None:
        """Feeds ``n`` lines, 0 to 10."""
        self._command(self._lib.tarvlf, _fields.line_feeds(n))

    def back_side_on(self) -> None:
        """Switches the printer to the back of the document."""
        self._command(self._lib.tarvabreverso)

    def back_side_off(self) -> None:
        """Switches the printer back to the front of the document."""
        self._command(self._lib.tarvfechaverso)

    @contextlib.contextmanager
    def back_side(self) -> Iterator[None]:
        """Switches the printer to the back for the body, and back to the
        front after it, also when it raises. The process-wide lock is kept for
        the body, so that no other thread's command prints on the back; to
        keep other programs out too, put it in a :meth:`hold`."""
        with self._my_turn():
            self.back_side_on()
            try:
                yield
            finally:
                self.back_side_off()

    def status(self) -> _status.Status:
        """Whether the printer is ready, from the modem lines of the device
        that ``tarvik.ini`` names: see :class:`Status`. It never waits for
        the port's lock and changes nothing on the line. It runs
        ``tarvik-print status --json`` (package ``tarvik-tools``; the
        environment variable ``TARVIK_PRINT`` may name the program) in the
        printer's directory, without changing the process's own, and raises
        :class:`ToolError` when that program is missing. ``timeout`` bounds
        the run."""
        return _status.status(self.directory, self.timeout)

    @contextlib.contextmanager
    def hold(self) -> Iterator[Port]:
        """Holds the port for the body, so that no other program's command
        comes between this one's (a check and its authentication, say). The
        process-wide lock is kept for the body too: other threads wait. Gives
        a :class:`Port` for raw access."""
        with self._my_turn():
            lib = self._lib
            fd, err = self._call(lambda: (lib.serial_open(), ctypes.get_errno()))
            if fd < 0:
                raise PortError(fd, err)
            port = Port(self, fd)
            try:
                yield port
            finally:
                port.fd = -1
                # serial_close gives 0 also when a signal made it drop the
                # output; errno tells.
                self._call(
                    lambda: (lib.serial_close(fd), ctypes.get_errno()),
                    ini=False,
                    done=lambda called: called[1] != errno.EINTR,
                )

    # ---- One library call ----------------------------------------------

    def _command(self, function: Callable[..., int], *args: Any, check: bool = False) -> None:
        lib = self._lib

        def run() -> tuple[int, int]:
            fd = lib.serial_open()
            if fd < 0:
                return fd, ctypes.get_errno()
            try:
                ctypes.set_errno(0)
                result = function(*args)
                return result, ctypes.get_errno()
            finally:
                lib.serial_close(fd)

        result, err = self._call(run, done=lambda called: called[0] == 1)
        if result < 0:
            raise PortError(result, err)
        if result == 0 and check and err == errno.EINVAL:
            raise DateError("the library refused the date; nothing was printed")
        if result == 0:
            raise SendError(err)

    @contextlib.contextmanager
    def _my_turn(self) -> Iterator[None]:
        """Holds the process-wide lock, taken within the timeout."""
        if self.timeout is not None and threading.current_thread() is not threading.main_thread():
            raise RuntimeError(
                "a Printer with a timeout can be used in the main thread only: the timeout works by SIGALRM"
            )
        if not _turn.acquire(timeout=-1 if self.timeout is None else self.timeout):
            raise PrinterTimeout(f"another thread held the printer for {self.timeout} s")
        try:
            yield
        finally:
            _turn.release()

    def _call(
        self,
        run: Callable[[], tuple[int, int]],
        ini: bool = True,
        done: Callable[[tuple[int, int]], bool] = lambda called: called[0] >= 0,
    ) -> tuple[int, int]:
        """Runs one library call, which gives its result and errno, in the
        process's turn, bounded by the timeout. A call that reads
        ``tarvik.ini`` (``ini``) runs in the printer's directory, after
        checking that the file is there; the others (closing the port, raw
        reads and writes) do not need it, and so never fail for want of it.
        PrinterTimeout is raised only when the timer ended the call: it fired,
        and the call failed (not ``done``, given its result and errno) with
        EINTR. A call that went through as the timer fired keeps its result:
        a check that was printed must not be taken for one to print again."""
        start = time.monotonic()
        with self._my_turn():
            try:
                # The library's reports come after what was printed before.
                # The flush is for their order alone: a daemon has no
                # sys.stdout, and a standard output that fails must not keep a
                # check from printing.
                with contextlib.suppress(AttributeError, OSError, ValueError):
                    sys.stdout.flush()
                with self._beside_ini() if ini else contextlib.nullcontext():
                    timer = None if self.timeout is None else _Timer(self.timeout - (time.monotonic() - start))
                    try:
                        ctypes.set_errno(0)
                        value = run()
                    finally:
                        fired = timer is not None and timer.stop()
            finally:
                self._lib.fflush(None)
        if fired and not done(value) and value[1] == errno.EINTR:
            raise PrinterTimeout(f"the printer did not answer within {self.timeout} s; what was not sent was dropped")
        return value

    @contextlib.contextmanager
    def _beside_ini(self) -> Iterator[None]:
        """Runs the body where tarvik.ini is, once it is seen to be there. A
        printer with a directory changes to it and back, by a descriptor of
        the directory left, which finds it even if it was renamed meanwhile."""
        back = None
        if self.directory is not None:
            back = os.open(".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                os.chdir(self.directory)
            except OSError as e:
                os.close(back)
                raise ConfigError(f"cannot use the directory {self.directory}: {e.strerror}") from None
        try:
            self._check_ini()
            yield
        finally:
            if back is not None:
                try:
                    os.fchdir(back)
                finally:
                    os.close(back)

    def _check_ini(self) -> None:
        """The library ends the process when tarvik.ini does not open, except
        for want of descriptors or memory, which it reports as a port error."""
        try:
            os.close(os.open("tarvik.ini", os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC))
        except OSError as e:
            if e.errno not in (errno.EMFILE, errno.ENFILE, errno.ENOMEM):
                where = self.directory if self.directory is not None else os.getcwd()
                raise ConfigError(f"tarvik.ini in {where}: {e.strerror}") from None
