"""Shared fixtures. The tests run against the library named by TARVIK_LIBRARY
and the tarvik-virtual named by TARVIK_VIRTUAL (ctest sets both)."""

import contextlib
import os
import select
import signal
import subprocess
import threading

import pytest

import tarvik


def sent(events):
    """Each command's bytes, as tarvik-virtual gives them."""
    return [bytes.fromhex(e["hex"]) for e in events if "hex" in e]


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
