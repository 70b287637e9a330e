"""The printer: each command one of the library's, run by a worker process."""

from __future__ import annotations

import codecs
import contextlib
import datetime
import decimal
import errno
import functools
import os
import shlex
import weakref
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Concatenate, NamedTuple, ParamSpec

from . import _fields
from . import _worker
from . import status as _status
from ._fields import Text
from ._worker import Answer, Hold, Request
from .errors import ConfigError, DateError, Error, PortError, PrinterTimeout, SendError

# What one Port.write carries: a longer write returns this much, as a short
# write does.
_LONGEST_WRITE = 1 << 20


class Command(NamedTuple):
    """A command checked and encoded by :meth:`Printer.prepare`, ready for
    :meth:`Printer.send`: the library's function and its arguments."""

    function: str
    arguments: tuple[bytes, ...]


_P = ParamSpec("_P")


def _command(prepare: Callable[Concatenate[Printer, _P], Command]) -> Callable[Concatenate[Printer, _P], None]:
    """A printer command: its method checks and encodes the arguments (what
    :meth:`Printer.prepare` gives), then sends the command."""

    @functools.wraps(prepare)
    def method(self: Printer, /, *args: _P.args, **kwargs: _P.kwargs) -> None:
        self.send(prepare(self, *args, **kwargs))

    method.__annotations__ = {**prepare.__annotations__, "return": "None"}
    method.prepare = prepare  # type: ignore[attr-defined]
    return method


class Port:
    """The port held by :meth:`Printer.hold`, for raw access."""

    def __init__(self, printer: Printer, hold: Hold) -> None:
        self._printer = printer
        # The hold belongs to the frame of hold(): when that goes, the port
        # is let go, whoever keeps this object.
        self._hold = weakref.ref(hold)

    @property
    def fd(self) -> int:
        """The port's descriptor in the worker, -1 once it is let go."""
        hold = self._hold()
        return -1 if hold is None or hold.fd is None else hold.fd

    def _held(self) -> Hold:
        hold = self._hold()
        if hold is None or hold.fd is None:
            why = hold.lost if hold is not None and hold.lost else "the hold has ended"
            raise ValueError(f"the port is no longer held: {why}")
        return hold

    def write(self, data: bytes) -> int:
        """Writes the bytes (any bytes-like object; at most 1 MiB of them) in
        one write through the library; returns how many the line took.
        Raises :class:`SendError` when the write fails, and
        :class:`PrinterTimeout` when the printer took nothing within the
        timeout."""
        hold = self._held()
        # Not bytes(data): an int would become that many zero bytes.
        data = memoryview(data).tobytes()[:_LONGEST_WRITE]
        request = Request([b"putn", str(hold.fd).encode(), Request.MICROS, data], self._printer.timeout, hold)
        answer = hold.worker.call(request)
        if answer.outcome == "timeout":
            raise PrinterTimeout(f"the printer took nothing within {self._printer.timeout} s")
        if answer.outcome != "done":
            raise SendError(errno.EINTR, answer.report, f"the write was cut short: {answer.outcome}")
        if answer.result < 0:
            raise SendError(answer.errno, answer.report)
        return answer.result

    def read(self, n: int) -> bytes:
        """What the printer has sent, at most ``n`` bytes (at most 64 KiB),
        without waiting: ``b""`` when nothing is waiting."""
        hold = self._held()
        request = Request([b"gets", str(hold.fd).encode(), str(max(n, 0)).encode()], None, hold)
        return hold.worker.call(request).data


class Printer:
    """A printer on the serial line that ``tarvik.ini`` names.

    The library's calls run in a worker process, ``tarvik-worker`` (package
    ``libtarvik1``), started on the first call: one per directory, shared by
    the Printers of this process on that directory, so that a Printer inside
    another's :meth:`hold` prints inside it. A call costs about 0.1 ms more
    than a call in this process would, and the first one the worker's start,
    a millisecond or two. In exchange the worker's current
    directory, signals, timers and exit are its own: nothing that this
    process does in another thread (``os.chdir``, a timer, a fork) reaches
    the library, and the library cannot end this process. The application's
    current directory, signal handlers, timers and signal mask are never
    touched; a timeout works from any thread.

    What the application may still do to it: ``kill -9`` of the worker (a
    call then raises :class:`SendError` or :class:`PortError` saying so, and
    the next call starts a new worker, but not inside a :meth:`hold` that
    the worker took: its body's calls raise :class:`PortError` (and its
    Port's ``ValueError``) until it ends; a port it held is let go by the
    kernel, but the line is left at the printer's settings), or stop it
    (``SIGSTOP``: its calls then wait). A worker whose process has gone (end
    of file on its socket) drops what the printer has not taken, restores the
    line and ends.

    ``directory`` is where ``tarvik.ini`` is (a relative one is taken from
    the current directory now); ``None`` means the current directory as it
    stands when each call starts.

    Texts are ``str``, encoded with ``encoding`` (the printer's code page),
    which holds no control character; or ``bytes``, sent as they are, on
    purpose: escape sequences of your own included.

    ``timeout`` (seconds, an ``int`` or a ``float``) bounds the wait for the
    Printer's turn behind other threads' calls, for the port's lock held by
    another program, and for the printer; ``None`` waits as long as it takes.
    When it runs out, the unsent bytes are dropped, the line is restored, and
    the call raises :class:`PrinterTimeout`; a call that was through by then
    returns as usual. A ``KeyboardInterrupt`` (or any exception) that lands
    during a call ends it in the same way and goes on its way at once.

    ``library`` is the path of ``libtarvik.so.1`` that the worker loads
    (default: the environment variable ``TARVIK_LIBRARY``, else the
    system's). ``worker`` is the worker's command, a path or a command with
    its arguments (``"qemu-i386 /usr/lib/i386-linux-gnu/tarvik1/tarvik-worker"``
    runs the 32-bit one); default: the environment variable
    ``TARVIK_WORKER``, else the installed one.

    Threads may share Printers: the calls through one worker take turns, each
    command whole; Printers on two directories print at the same time. Two
    processes on one port take turns through the library's own lock.

    Each command (``check``, ``text``, ``authenticate``, ``back_text``,
    ``line_feed``, ``back_side_on``, ``back_side_off``) is one of the
    library's commands and returns ``None``. Bad arguments raise
    ``ValueError`` or ``TypeError`` before anything is sent. The library's
    reports never reach standard output: a failure's exception keeps them in
    ``report``.

    :meth:`close`, or the end of a ``with Printer(...) as printer:`` block,
    ends the worker that no other Printer uses; else it ends a second after
    no Printer that used it is left, or with this process.
    """

    def __init__(
        self,
        directory: str | os.PathLike[str] | None = None,
        encoding: str = "latin-1",
        timeout: float | None = None,
        library: str | os.PathLike[str] | None = None,
        worker: str | os.PathLike[str] | Sequence[str] | None = None,
    ) -> None:
        codecs.lookup(encoding)
        self.timeout = _fields.timeout(timeout)
        # Relative paths are taken from here, not from wherever the
        # application has moved by the time of a call.
        self.directory = None if directory is None else os.path.abspath(directory)
        self.encoding = encoding
        if library is None:
            library = os.environ.get("TARVIK_LIBRARY") or None
        else:
            library = os.fspath(library)
        self._library = library if library is None or os.sep not in library else os.path.abspath(library)
        if worker is None:
            argv = _worker.default_worker()
        elif isinstance(worker, str):
            argv = shlex.split(worker)
        elif isinstance(worker, os.PathLike):
            argv = [os.fspath(worker)]
        else:
            argv = [os.fspath(a) for a in worker]
        if not argv:
            raise ValueError("worker names no program")
        if os.sep in argv[0]:
            argv[0] = os.path.abspath(argv[0])
        self._argv = tuple(argv)
        self._used: set[tuple[Any, ...]] = set()

    def __enter__(self) -> Printer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Ends the workers this Printer used that no other Printer uses. A
        later call starts a new one."""
        while self._used:
            _worker.leave(self._used.pop(), self)

    # ---- Commands ------------------------------------------------------

    @_command
    def check(
        self,
        text1: Text,
        text2: Text,
        date: Text | datetime.date,
        amount: Text | int | decimal.Decimal,
        text5: Text,
        text6: Text,
        bank: str | int,
    ) -> Command:
        """Prints a check from its fields.

        ``text1`` and ``text2`` hold at most 92 bytes each; ``text5`` and
        ``text6`` are cut to 60 by the library. No check text may hold a '}'
        or an ESC. ``date`` is a ``datetime.date``, or a text "D/M/YYYY" or
        "D/M/YY" (in 20YY) that names a real day ("8/12/2026"): else
        :class:`DateError`. ``amount`` is an ``int`` of centavos, a
        ``Decimal`` of reais with at most two decimal places (by its
        exponent: ``Decimal("1.000")`` is refused), or a text of reais with
        exactly two decimals: digits, optionally grouped in threes by one
        separator, then the other one and the centavos ("1.234,56",
        "1,234.56", "1234,56", "0,50"; surrounding spaces allowed). Bare
        digits ("1234") are refused: give centavos as an ``int``. At most
        twelve digits of centavos, never negative, never a ``float``.
        ``bank`` is a code from 0 to 999, as ``int`` or digits, optionally
        with its check digit ("341-7").
        """
        enc = self.encoding
        return Command(
            "tarvcheque",
            (
                _fields.check_text(text1, enc, "text1", _fields.FIELD_BYTES),
                _fields.check_text(text2, enc, "text2", _fields.FIELD_BYTES),
                _fields.date(date, enc),
                _fields.amount(amount, enc),
                _fields.check_text(text5, enc, "text5"),
                _fields.check_text(text6, enc, "text6"),
                _fields.bank(bank),
            ),
        )

    @_command
    def text(self, text: Text, pitch: str = "0", double: bool = False) -> Command:
        """Prints a line on the front of the document. ``pitch`` is one of
        "0123456789*+", ``double`` a ``bool``; the library cuts the text to
        the pitch's line width."""
        return Command(
            "tarvtxt", (_fields.pitch(pitch), _fields.flag(double), _fields.line_text(text, self.encoding))
        )

    @_command
    def authenticate(self, text: Text, pitch: str = "0", double: bool = False, selector: str = "Y") -> Command:
        """Prints an authentication line; ``selector`` is "Y", "V" or "X".
        The library cuts the text to the pitch's line width."""
        return Command(
            "tarvaut",
            (
                _fields.pitch(pitch),
                _fields.flag(double),
                _fields.selector(selector),
                _fields.line_text(text, self.encoding),
            ),
        )

    @_command
    def back_text(self, text: Text, pitch: str = "0", double: bool = False) -> Command:
        """Prints a line on the back of the document; the library cuts the
        text to one less than the pitch's back line width."""
        return Command(
            "tarvversotxt", (_fields.pitch(pitch), _fields.flag(double), _fields.line_text(text, self.encoding))
        )

    @_command
    def line_feed(self, n: int = 1) -> Command:
        """Feeds ``n`` lines, 0 to 10."""
        return Command("tarvlf", (str(_fields.line_feeds(n)).encode(),))

    @_command
    def back_side_on(self) -> Command:
        """Switches the printer to the back of the document."""
        return Command("tarvabreverso", ())

    @_command
    def back_side_off(self) -> Command:
        """Switches the printer back to the front of the document."""
        return Command("tarvfechaverso", ())

    COMMANDS = ("check", "text", "authenticate", "back_text", "line_feed", "back_side_on", "back_side_off")

    def prepare(self, command: str, /, **arguments: Any) -> Command:
        """Checks and encodes a command without sending it: ``command`` is
        the method's name, ``arguments`` its parameters, with its defaults.
        Raises what the method would raise for them (``ValueError``,
        ``TypeError``), so that a batch can be checked whole before any of it
        is printed."""
        if command not in self.COMMANDS:
            raise ValueError(f"unknown command {command!r}: one of {', '.join(self.COMMANDS)}")
        prepare: Callable[..., Command] = getattr(type(self), command).prepare
        return prepare(self, **arguments)

    def send(self, command: Command) -> None:
        """Sends a command that :meth:`prepare` made."""
        where = self._where()
        worker = self._worker(where)
        request = Request([b"call", where.encode(), Request.MICROS, command.function.encode(), *command.arguments],
                          self.timeout)
        answer = worker.call(request)
        self._raise_for(answer, where)
        if answer.result == 1:
            return
        if command.function == "tarvcheque" and answer.errno == errno.EINVAL:
            raise _with_report(DateError("the library refused the date; nothing was printed"), answer.report)
        raise SendError(answer.errno, answer.report)

    @contextlib.contextmanager
    def back_side(self) -> Iterator[None]:
        """Switches the printer to the back for the body, and back to the
        front after it, also when it raises, holding the port from the one to
        the other (see :meth:`hold`), so that no other program's command and
        no other thread's prints on the back."""
        with self.hold():
            try:
                self.back_side_on()  # when it raises, its bytes may have gone all the same
                yield
            finally:
                try:
                    self.back_side_off()
                except Error:
                    raise
                except BaseException:
                    # An interrupt cut it short: it is tried once more, whole.
                    self.back_side_off()
                    raise

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
        comes between this one's (a check and its authentication, say).
        Other threads' calls through this worker wait until the body ends.
        Gives a :class:`Port` for raw access."""
        where = self._where()
        worker = self._worker(where)
        hold = Hold(worker)
        try:
            answer = worker.call(Request([b"open", where.encode(), Request.MICROS], self.timeout, hold))
            self._raise_for(answer, where)
            yield Port(self, hold)
        finally:
            if hold.fd is not None:
                close = Request([b"close", str(hold.fd).encode(), Request.MICROS, b"0"], self.timeout, hold)
                if worker.call(close).outcome == "timeout":
                    raise PrinterTimeout(
                        f"the printer did not take the rest within {self.timeout} s; it was dropped"
                    )

    # ---- Through the worker --------------------------------------------

    def _where(self) -> str:
        if self.directory is not None:
            return self.directory
        try:
            return os.getcwd()
        except OSError as e:
            raise ConfigError(f"the current directory cannot be used: {e.strerror}") from None

    def _worker(self, where: str) -> _worker.Worker:
        key = (where, self._argv, self._library)
        self._used.add(key)
        return _worker.worker_for(key, self, self._argv, self._library)

    def _raise_for(self, answer: Answer, where: str) -> None:
        """Raises what an answer that is no plain result means."""
        outcome, report = answer.outcome, answer.report
        if outcome == "done":
            if answer.port < 0:
                raise PortError(answer.port, answer.errno, report)
            return
        if outcome == "timeout":
            if answer.port < 0:
                raise _with_report(
                    PrinterTimeout(f"the port was held by another program for {self.timeout} s; nothing was sent"),
                    report)
            raise _with_report(
                PrinterTimeout(
                    f"the printer did not take the bytes within {self.timeout} s;"
                    " the line was restored and the rest dropped"
                ), report)
        if outcome == "signal":
            raise SendError(errno.EINTR, report,
                            "a signal ended the worker during the call; the line was restored and the rest dropped")
        if outcome == "nodir":
            raise ConfigError(f"cannot use the directory {where}: {os.strerror(answer.errno)}")
        if outcome in ("noini", "exit"):
            # On its exit the library has put the line back as it was found.
            why = os.strerror(answer.errno) if answer.errno else "it did not open during the call"
            ended = "; the library ended its worker" if outcome == "exit" else ""
            raise _with_report(ConfigError(f"tarvik.ini in {where}: {why}{ended}"), report)
        raise _with_report(Error(f"the worker refused the call ({outcome}): {answer.data.decode('latin-1')}"), report)


def _with_report(error: Error, report: str) -> Error:
    error.report = report
    return error
