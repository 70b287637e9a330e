"""Shared fixtures. The tests run against the library named by TARVIK_LIBRARY
and the tarvik-virtual named by TARVIK_VIRTUAL (ctest sets both)."""

import contextlib
import fcntl
import os
import select
import shlex
import shutil
import signal
import subprocess
import threading
import time

import pytest

import tarvik
from tarvik.pytest_plugin import VirtualPrinter


def sent(events):
    """Each command's bytes, as tarvik-virtual gives them."""
    return [bytes.fromhex(e["hex"]) for e in events if "hex" in e]


@pytest.fixture
def tarvik_print():
    """The tarvik-print that status() runs: TARVIK_PRINT's, else PATH's."""
    found = os.environ.get("TARVIK_PRINT") or shutil.which("tarvik-print")
    if not found:
        pytest.skip("tarvik-print not found: name it in TARVIK_PRINT, or put it on PATH")
    return found


@pytest.fixture
def printer(virtual_printer):
    return tarvik.Printer(directory=virtual_printer.directory)


@pytest.fixture
def held_port(virtual_printer):
    """Another process holding the port's lock for the test; gives it."""
    holder = subprocess.Popen(["flock", virtual_printer.device, "sh", "-c", "echo locked; exec cat"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    yield holder
    holder.stdin.close()
    holder.wait()


@pytest.fixture
def alarm():
    """SIGALRM's handler as it was, and no timer, after the test."""
    before = signal.getsignal(signal.SIGALRM)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, before)


@pytest.fixture
def full_line(virtual_printer):
    """The virtual printer stopped and its line filled from a descriptor of
    our own until a write would block. Gives that descriptor. Should a
    blocked command never end, the printer is let go after 5 s, so that the
    test fails instead of hanging."""
    pid = virtual_printer.process.pid
    os.kill(pid, signal.SIGSTOP)
    os.waitpid(pid, os.WUNTRACED)
    fd = os.open(virtual_printer.device, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
    # A write of many bytes is refused while a few still fit, and the kernel
    # frees room a moment later as it hands what it holds to the printer's
    # side: full is when not one byte goes and no room comes for a while.
    while select.select([], [fd], [], 0.2)[1]:
        for chunk in (4096, 1):
            with contextlib.suppress(BlockingIOError):
                while True:
                    os.write(fd, b"Z" * chunk)
    done = threading.Event()
    watchdog = threading.Thread(target=lambda: done.wait(5) or os.kill(pid, signal.SIGCONT))
    watchdog.start()
    yield fd
    done.set()
    watchdog.join()
    os.close(fd)


@pytest.fixture
def more_printers(tmp_path):
    """Makes more virtual printers, each in a directory of its own below
    tmp_path, and stops them after the test."""
    started = []

    def make(name):
        named = os.environ.get("TARVIK_VIRTUAL")
        command = shlex.split(named) if named else [shutil.which("tarvik-virtual")]
        (tmp_path / name).mkdir()
        started.append(VirtualPrinter(command, tmp_path / name))
        return started[-1]

    yield make
    for printer in started:
        printer.stop()


def worker_of(printer):
    """The worker that a Printer's calls go to, once it has started."""
    # A copy: a worker that no Printer reaches leaves the dict from its own thread.
    return next(w for key, w in list(tarvik._worker._workers.items()) if key[0] == os.fspath(printer.directory))


def in_flight(printer, timeout=5):
    """Waits until a call of the printer is with its worker; gives the
    worker's process id."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(StopIteration):
            worker = worker_of(printer)
            if worker._current is not None and worker.pid is not None:
                return worker.pid
        threading.Event().wait(0.01)
    pytest.fail("no call reached the worker")


def port_free(device, timeout=5):
    """Whether the port's lock is free within timeout: the worker lets it go
    a moment after the call that it cut short has returned."""
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    taker = threading.Thread(target=fcntl.flock, args=(fd, fcntl.LOCK_EX), daemon=True)
    taker.start()
    taker.join(timeout)
    if not taker.is_alive():
        os.close(fd)  # and the lock with it
    return not taker.is_alive()
