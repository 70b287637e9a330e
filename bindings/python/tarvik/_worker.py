"""The worker processes. Each runs the library's calls for the printers of
one directory in a process of its own, ``tarvik-worker``, so that the
library's process-wide state (the current directory, its exit on a missing
``tarvik.ini``, its saved line settings, its blocking writes) is never this
process's.

Each worker is driven by one thread of this package's, which alone talks to
it and keeps the record of who holds what. A caller only hands it a request
and waits: an exception that lands in the caller at any point (a
``KeyboardInterrupt``) can then leave no lock taken, no port held and no
descriptor open. The caller tells the thread that it gave up, and the thread
has the worker cut the request short, drop what the printer has not taken
and restore the line.
"""

from __future__ import annotations

import collections
import math
import os
import queue
import select
import signal
import socket
import struct
import subprocess
import sysconfig
import threading
import time
import weakref
from collections.abc import Iterator, Sequence
from typing import Any, NamedTuple

from .errors import Error, LibraryError, PortError, PrinterTimeout, SendError

WORKER_ENV = "TARVIK_WORKER"
# Where libtarvik1 installs it for this Python's architecture, and where a
# build installed under /usr/local puts it.
_INSTALLED = [
    f"/usr/lib/{sysconfig.get_config_var('MULTIARCH')}/tarvik1/tarvik-worker",
    "/usr/local/lib/tarvik1/tarvik-worker",
]
# A worker under an emulator takes longer to start than a native one.
_START_SECONDS = 30
# Beyond this, a wake-up that went missing is made up for.
_IDLE_SECONDS = 1.0
# The longest answer taken (a read gives at most 64 KiB): a longer one is a
# worker not to trust, whose bytes are not kept.
_LONGEST_ANSWER = 1 << 20
# A worker that has not answered this long after a call's timeout is killed.
_GRACE_SECONDS = 3.0
# A worker that no Printer reaches ends after this long, so that a loop
# that makes a Printer per call does not start a worker per call.
_UNUSED_SECONDS = 1.0


def _readable(fds: Sequence[Any], timeout: float) -> set[int]:
    """The descriptors among ``fds`` (ints or sockets) that read something
    or their end within ``timeout`` seconds. poll, not select: an
    application with many files open has descriptors above FD_SETSIZE."""
    watch = select.poll()
    for fd in fds:
        watch.register(fd, select.POLLIN)
    return {fd for fd, _ in watch.poll(math.ceil(timeout * 1000))}


def default_worker() -> list[str]:
    """The worker's command: the ``TARVIK_WORKER`` environment variable's,
    else the installed program."""
    import shlex

    named = os.environ.get(WORKER_ENV)
    if named:
        return shlex.split(named)
    for path in _INSTALLED:
        if os.access(path, os.X_OK):
            return [path]
    return [_INSTALLED[0]]


class Answer(NamedTuple):
    """The worker's answer to one request (see tools/worker/main.cpp)."""

    outcome: str
    result: int
    errno: int
    port: int
    report: str
    data: bytes


def _frame(items: Sequence[bytes]) -> bytes:
    body = b"".join(struct.pack("<I", len(item)) + item for item in items)
    return struct.pack("<I", len(body)) + body


def _items(body: bytes) -> list[bytes]:
    items, at = [], 0
    while at < len(body):
        (n,) = struct.unpack_from("<I", body, at)
        items.append(body[at + 4 : at + 4 + n])
        at += 4 + n
    return items


def _answer(items: list[bytes]) -> Answer:
    outcome, result, err, port, report, data = items
    return Answer(outcome.decode(), int(result), int(err), int(port), report.decode("latin-1"), data)


class Hold:
    """A hold of the port, owned by the frame of ``Printer.hold()``: when it
    goes without having let the port go (an exception landed in between),
    the worker's thread lets it go."""

    __slots__ = ("worker", "fd", "lost", "__weakref__")

    def __init__(self, worker: Worker) -> None:
        self.worker = worker
        self.fd: int | None = None
        self.lost: str | None = None  # why the port is no longer held


class _Held:
    """The thread's record of an open hold."""

    __slots__ = ("fd", "owner", "token")

    def __init__(self, fd: int, owner: int, token: weakref.ref[Hold]) -> None:
        self.fd, self.owner, self.token = fd, owner, token


class Request:
    """One request and, once it is done, its answer or its error. ``MICROS``
    in ``items`` is filled with what is left of the timeout when it goes."""

    MICROS: Any = object()  # equal to no text

    def __init__(self, items: list[Any], timeout: float | None, hold: Hold | None = None) -> None:
        self.items = items
        self.verb = items[0]
        self.timeout = timeout
        self.deadline = None if timeout is None else time.monotonic() + timeout
        self.hold = hold
        self.thread = threading.get_ident()
        self.answer: Answer | None = None
        self.error: BaseException | None = None
        self.gave_up = False
        self._done = threading.Lock()
        self._done.acquire()

    def finish(self, answer: Answer | None = None, error: BaseException | None = None) -> None:
        self.answer, self.error = answer, error
        self._done.release()

    def wait(self) -> Answer | None:
        self._done.acquire()
        if self.error is not None:
            raise self.error
        return self.answer


class Worker:
    """One worker process, started on the first request, and the thread that
    talks to it. Requests go one at a time, in the order they came; while a
    thread holds the port, only that thread's requests go, and its Port's
    from any thread."""

    def __init__(self, key: tuple[Any, ...], argv: Sequence[str], library: str | None) -> None:
        self.argv = list(argv) + ([] if library is None else ["--library", library])
        self.users: weakref.WeakSet[Any] = weakref.WeakSet()
        self.key = key  # where _workers has it
        self.pid: int | None = None  # the worker's, once it runs
        self._inbox: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self._wake_r, self._wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._waiting: collections.deque[Request] = collections.deque()
        self._current: Request | None = None
        self._holds: list[_Held] = []
        # Holds lost with a worker whose frames still run: their thread's
        # calls fail until the frame ends, rather than go outside the hold.
        self._lost: list[_Held] = []
        self._unused_since: float | None = None
        self._proc: subprocess.Popen[bytes] | None = None
        self._sock: socket.socket | None = None
        self._buffer = bytearray()
        self._stopping: list[Request] = []
        self._stopped = False
        self._forgotten = False
        self._how_it_ended = ""
        self._thread = threading.Thread(target=self._serve, name="tarvik worker", daemon=True)
        self._thread.start()

    # ---- For the callers: each only hands a message to the thread --------

    def call(self, request: Request) -> Answer:
        """Runs the request and gives its answer. An exception that lands
        while it waits (at any point once the request is handed over) has the
        request cut short, and goes on its way."""
        try:
            self._post(request)
            answer = request.wait()
        except BaseException:
            request.gave_up = True
            self._post(("give up", request))
            raise
        assert answer is not None
        return answer

    def stop(self) -> None:
        """Ends the worker once the requests handed over before are done."""
        request = Request([b"stop"], None)
        self._post(request)
        request.wait()

    def forget(self) -> None:
        """In a forked child: the worker and its thread are the parent's. Our
        copy of its socket is closed (the parent's stays open), so that it
        still sees the parent's end."""
        self._forgotten = True
        self._close_wake()
        if self._sock is not None:
            self._sock.close()
        self._sock = self._proc = None

    def __del__(self) -> None:
        # Only once no one can post any more: a descriptor closed under a
        # poster's write could be another file's by then.
        self._close_wake()

    def _close_wake(self) -> None:
        for fd in (getattr(self, "_wake_r", -1), getattr(self, "_wake_w", -1)):  # __init__ may have failed
            if fd >= 0:
                os.close(fd)
        self._wake_r = self._wake_w = -1

    def _post(self, message: Any) -> None:
        # SimpleQueue.put and os.write are single calls: whatever lands in
        # the caller, the message is either handed over or not.
        if self._forgotten:
            raise Error("this process was forked: that worker is the parent's")
        self._inbox.put(message)
        try:
            os.write(self._wake_w, b"\0")
        except BlockingIOError:
            pass  # a wake-up is pending already
        if self._stopped:  # too late for the thread: it no longer reads
            self._refuse_late()

    def _token_gone(self, _: weakref.ref[Hold]) -> None:
        # Called wherever the last reference to a hold went, even in a child
        # forked meanwhile: never raises.
        if not (self._forgotten or self._stopped):
            self._post(("release",))

    def _user_gone(self) -> None:
        # Called wherever a user was collected: never blocks, never raises.
        if not (self._forgotten or self._stopped):
            self._post(("unused",))

    def _end_if_unused(self) -> None:
        """Ends the worker once no Printer has reached it for
        _UNUSED_SECONDS, as if the last one had been closed."""
        with _lock:
            # Not len(): a user collected a moment ago may still be counted.
            if any(True for _ in self.users) or _workers.get(self.key) is not self:
                self._unused_since = None
                return
            now = time.monotonic()
            if self._unused_since is None:
                self._unused_since = now
            if now - self._unused_since < _UNUSED_SECONDS:
                return
            del _workers[self.key]
        stop = Request([b"stop"], None)
        stop.gave_up = True  # no one waits for it
        self._stopping.append(stop)

    def _posted(self) -> Iterator[Any]:
        """The messages posted and not yet taken, taken one by one."""
        while True:
            try:
                yield self._inbox.get_nowait()
            except queue.Empty:
                return

    def _refuse_late(self) -> None:
        for message in self._posted():
            if isinstance(message, Request):
                self._fail(message, Error("the Printer was closed while the call was on its way"))

    # ---- The thread ------------------------------------------------------

    def _serve(self) -> None:
        # The application's signals go to its own threads, never to this one.
        signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
        while True:
            try:
                if not self._step():
                    return
            except Exception as e:  # a fault of ours must leave no caller waiting
                self._end(f"the worker's thread failed: {e!r}")
                for request in self._drain():
                    self._fail(request, Error(f"the printer's worker failed: {e!r}"))

    def _drain(self) -> list[Request]:
        requests = list(self._waiting)
        self._waiting.clear()
        if self._current is not None:
            requests.append(self._current)
            self._current = None
        return requests

    def _step(self) -> bool:
        self._take_inbox()
        # Looked at on every step, not only when told: the finalizer that
        # tells may itself be cut short by an interrupt.
        self._end_if_unused()
        while self._current is None and self._waiting and self._dispatch():
            pass
        # Those that still wait for their turn, past their time.
        now = time.monotonic()
        for request in [r for r in self._waiting if r.deadline is not None and r.deadline <= now]:
            self._waiting.remove(request)
            self._fail(request, PrinterTimeout(f"another thread held the printer for {request.timeout} s"))
        if self._current is None and self._stopping and not self._waiting:
            # Its end of file has the worker let go of any hold.
            self._end(None)
            self._stopped = True
            self._refuse_late()
            for request in self._stopping:
                request.finish()
            return False
        current = self._current
        if current is not None and current.deadline is not None and self._proc is not None:
            if time.monotonic() > current.deadline + _GRACE_SECONDS:
                self._end(f"it did not answer {_GRACE_SECONDS} s past the call's timeout", kill=True)
                self._current = None
                self._fail(current, self._ended_error(current))
                return True
        deadlines = [r.deadline for r in self._waiting if r.deadline is not None]
        if current is not None and current.deadline is not None:
            deadlines.append(current.deadline + _GRACE_SECONDS)
        if self._unused_since is not None:
            deadlines.append(self._unused_since + _UNUSED_SECONDS)
        wait = min([_IDLE_SECONDS] + [max(0.0, d - time.monotonic()) for d in deadlines])
        watched = [self._wake_r] + ([self._sock] if self._sock is not None else [])
        ready = _readable(watched, wait)
        if self._wake_r in ready:
            while True:
                try:
                    os.read(self._wake_r, 4096)
                except BlockingIOError:
                    break
        if self._sock is not None and self._sock.fileno() in ready:
            self._receive()
        return True

    def _take_inbox(self) -> None:
        for message in self._posted():
            if isinstance(message, Request):
                if message.verb == b"stop":
                    self._stopping.append(message)
                else:
                    self._waiting.append(message)
            elif message[0] == "give up":
                self._give_up(message[1])
            elif message[0] == "unused":
                pass  # only a wake-up: every step looks
            else:
                self._let_go()

    def _give_up(self, request: Request) -> None:
        if request in self._waiting:
            self._waiting.remove(request)
        elif request is self._current:
            self._send([b"cancel"])

    def _let_go(self) -> None:
        """Lets go the holds whose frames went without letting the port go."""
        for held in [h for h in self._holds if h.token() is None]:
            self._close(held)
        self._lost = [h for h in self._lost if h.token() is not None]

    def _close(self, held: _Held) -> None:
        """Lets a hold go, dropping what the printer has not taken: ahead of
        everything else, as its owner's."""
        close = Request([b"close", str(held.fd).encode(), b"0", b"1"], None)
        close.thread = held.owner
        close.gave_up = True  # no one waits for it
        self._holds.remove(held)
        self._waiting.appendleft(close)

    def _dispatch(self) -> bool:
        """Sends the first request that may go, or ends it at once. False
        when none may go now."""
        owner = self._holds[0].owner if self._holds else None
        for request in self._waiting:
            # An open hold's Port may be used from any thread.
            held = request.hold is not None and request.hold.fd is not None and request.hold.worker is self
            if owner is None or request.thread == owner or held:
                break
        else:
            return False
        self._waiting.remove(request)
        if self._sock is not None:
            self._worker_gone()  # its holds are then lost, before anything goes
        hold = request.hold
        if hold is not None and request.verb != b"open" and (hold.fd is None or hold.worker is not self):
            # The hold has ended, or its worker did (hold.lost says how).
            if request.verb == b"close":
                self._lost = [h for h in self._lost if h.token() is not hold]
                request.finish(Answer("done", 0, 0, 0, "", b""))
            else:
                self._fail(request, ValueError(f"the port is no longer held{hold.lost and ': ' + hold.lost or ''}"))
            return True
        lost = next((h.token() for h in self._lost if h.owner == request.thread and h.token() is not None), None)
        if lost is not None and (hold is None or request.verb == b"open"):
            why = f"the port is no longer held: {lost.lost}; nothing was sent"
            self._fail(request, PortError(0, None, message=why))
            return True
        items = list(request.items)
        if Request.MICROS in items:
            # What is left of the timeout bounds the worker's waits; once it
            # is gone, the request still goes, and is cut at its first wait:
            # a command that need not wait prints whole.
            micros = 0
            if request.deadline is not None:
                micros = max(1, int((request.deadline - time.monotonic()) * 1e6))
            items[items.index(Request.MICROS)] = str(micros).encode()
        # Current before the start, so that a fault of ours in it fails the
        # request instead of losing it.
        self._current = request
        if self._sock is None:
            try:
                self._start()
            except Error as e:
                self._current = None
                self._fail(request, e)
                return True
        self._send(items)
        return True

    def _worker_gone(self) -> bool:
        """Whether the worker ended between requests: its socket then reads
        its end, or data no request asked for."""
        assert self._sock is not None
        if _readable([self._sock], 0):
            self._end("it ended between calls")
            return True
        return False

    def _start(self) -> None:
        parent, child = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._proc = subprocess.Popen(self.argv, stdin=child, stdout=subprocess.DEVNULL, close_fds=True)
        except OSError as e:
            parent.close()
            raise LibraryError(
                f"cannot run the worker {self.argv[0]}: {e.strerror}; install libtarvik1, or name the worker"
                f" in the environment variable {WORKER_ENV}"
            ) from None
        finally:
            child.close()
        self._sock, self._buffer = parent, bytearray()
        deadline = time.monotonic() + _START_SECONDS
        hello = None
        while hello is None:
            left = deadline - time.monotonic()
            if left <= 0 or not _readable([parent], left):
                self._end(None)
                raise LibraryError(f"the worker {self.argv[0]} did not start within {_START_SECONDS} s")
            hello = self._read_answer()
            if hello is None and self._sock is None:
                raise LibraryError(f"the worker {self.argv[0]} ended as it started: {self._how_it_ended}")
        if hello.outcome != "ready":
            self._end(None)
            raise LibraryError(hello.data.decode("utf-8", "replace"))
        self.pid = hello.result

    def _read_answer(self) -> Answer | None:
        """Reads what the socket has; gives the answer once it is whole, None
        before that, and ends the worker on its end of file."""
        assert self._sock is not None
        try:
            chunk = self._sock.recv(65536)
        except OSError as e:
            chunk, why = b"", e.strerror
        else:
            why = "it closed its end"
        if not chunk:
            self._end(why)
            return None
        self._buffer += chunk
        if len(self._buffer) < 4:
            return None
        (size,) = struct.unpack_from("<I", self._buffer)
        if size > _LONGEST_ANSWER:
            self._end(f"it sent an answer of {size} bytes, longer than {_LONGEST_ANSWER}", kill=True)
            return None
        if len(self._buffer) < 4 + size:
            return None
        body = bytes(self._buffer[4 : 4 + size])
        del self._buffer[: 4 + size]
        return _answer(_items(body))

    def _send(self, items: list[bytes]) -> None:
        assert self._sock is not None
        data = _frame(items)
        try:
            while data:
                # MSG_NOSIGNAL: a worker that has gone gives EPIPE, never
                # SIGPIPE, whatever the application did to that signal.
                sent = self._sock.send(data, socket.MSG_NOSIGNAL)
                data = data[sent:]
        except OSError:
            pass  # its end of file tells the rest

    def _receive(self) -> None:
        answer = self._read_answer()
        request = self._current
        if request is None:
            if answer is not None:  # no one asked: the worker is not ours to trust
                self._end("it sent an answer no request asked for")
            return
        if answer is None:
            if self._sock is None:  # ended
                self._current = None
                self._fail(request, self._ended_error(request))
            return
        self._current = None
        hold = request.hold
        if request.verb == b"open" and answer.outcome == "done" and answer.port == 0:
            assert hold is not None
            # A hold whose frame goes without letting the port go is let go.
            held = _Held(answer.result, request.thread, weakref.ref(hold, self._token_gone))
            self._holds.append(held)
            hold.fd = answer.result
            if request.gave_up:
                self._close(held)
        elif request.verb == b"close" and hold is not None:
            self._holds = [h for h in self._holds if h.token() is not hold]
            hold.fd = None
        if not request.gave_up:
            request.finish(answer)
        if answer.outcome in ("exit", "signal"):  # its last answer: it is on its way out
            self._end(None)

    def _ended_error(self, request: Request) -> Error:
        what = f"the worker (process {self.pid}) ended during the call: {self._how_it_ended}"
        if request.verb == b"open":
            return PortError(0, None, message=f"{what}; the port was not held")
        return SendError(None, message=f"{what}; what reached the printer is not known")

    def _end(self, why: str | None, kill: bool = False) -> None:
        """Closes our end and reaps the worker (killed first, when it is not
        to be trusted); the holds it kept are lost."""
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        if self._proc is not None:
            if kill:
                self._proc.kill()
            try:
                status = self._proc.wait(5)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                status = self._proc.wait()
            if status < 0:
                name = signal.Signals(-status).name if -status in signal.valid_signals() else str(-status)
                self._how_it_ended = f"killed by signal {-status} ({name})" + (f": {why}" if kill else "")
            else:
                self._how_it_ended = f"exit status {status}" + (f", {why}" if why else "")
            self._proc = None
        for held in self._holds:
            token = held.token()
            if token is not None:
                token.lost, token.fd = f"the worker ended ({self._how_it_ended})", None
                self._lost.append(held)
        self._holds.clear()

    def _fail(self, request: Request, error: BaseException) -> None:
        if not request.gave_up:
            request.finish(error=error)


# ---- The workers of this process, one per directory ----------------------

_lock = threading.Lock()
_workers: dict[tuple[Any, ...], Worker] = {}


def worker_for(key: tuple[Any, ...], user: Any, argv: Sequence[str], library: str | None) -> Worker:
    """The worker of ``key``, started for ``user`` if there is none."""
    with _lock:
        worker = _workers.get(key)
        if worker is None:
            worker = _workers[key] = Worker(key, argv, library)
        if user not in worker.users:
            worker.users.add(user)
            # Weakly: a worker stopped meanwhile goes, and its pipe with it.
            weakref.finalize(user, _user_gone, weakref.ref(worker)).atexit = False
        return worker


def _user_gone(worker: weakref.ref[Worker]) -> None:
    found = worker()
    if found is not None:
        found._user_gone()


def leave(key: tuple[Any, ...], user: Any) -> None:
    """``user`` is done with the worker of ``key``: it ends when no other uses
    it."""
    with _lock:
        worker = _workers.get(key)
        if worker is None:
            return
        worker.users.discard(user)
        if len(worker.users) > 0:
            return
        del _workers[key]
    worker.stop()


def _after_fork_in_child() -> None:
    # The lock may have been held by a thread that the child does not have.
    global _lock
    _lock = threading.Lock()
    for worker in _workers.values():
        worker.forget()
    _workers.clear()


os.register_at_fork(after_in_child=_after_fork_in_child)

__all__ = ["Answer", "Hold", "Request", "Worker", "default_worker", "leave", "worker_for"]
