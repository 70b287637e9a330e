"""What the application's other threads, signals and forks, and a worker that
dies, can do to a call: nothing that ends the application, prints on the
wrong printer or leaves the port held."""

import collections
import contextlib
import gc
import os
import random
import re
import resource
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from conftest import in_flight, port_free, sent, worker_of

import tarvik


@contextlib.contextmanager
def meanwhile(action):
    """Runs action over and over in another thread while the block runs."""
    done = threading.Event()

    def loop():
        while not done.is_set():
            action()

    with ThreadPoolExecutor(1) as pool:
        running = pool.submit(loop)
        try:
            yield
        finally:
            done.set()
        running.result()


def test_another_threads_chdir_moves_no_call(virtual_printer, more_printers, monkeypatch):
    a, b, c, d = (more_printers(name) for name in "ABCD")
    monkeypatch.chdir(virtual_printer.directory)
    targets = [a, b, c, c]

    def lines(i, target):
        printer = tarvik.Printer(target.directory)
        for k in range(50):
            printer.text(f"T{i} {k}")

    # Among printers, one that no one addresses, and no tarvik.ini at all.
    with meanwhile(lambda: os.chdir(random.choice([d.directory, a.directory, b.directory, "/"]))), \
            ThreadPoolExecutor(4) as pool:
        for future in [pool.submit(lines, i, t) for i, t in enumerate(targets)]:
            future.result()
    for target in (a, b, c):
        got = [e["text"] for e in target.wait(50 * targets.count(target)) if e["type"] == "front_text"]
        mine = [i for i, t in enumerate(targets) if t is target]
        assert sorted(got) == sorted(f"T{i} {k}" for i in mine for k in range(50))
    assert d.events() == []
    # A Printer without a directory reads the tarvik.ini of the directory it
    # is called in.
    monkeypatch.chdir(d.directory)
    tarvik.Printer().text("HERE")
    assert [e["text"] for e in d.wait(1)] == ["HERE"]


def open_files():
    """This process's descriptors and what each is; the other tests' workers
    may end meanwhile, as their Printers are collected."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # the listing's own
            found.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
    return found


def ends(pid, kill=False, timeout=5):
    """Whether process ``pid`` ends (killed first, if ``kill``) within
    ``timeout`` seconds. Watched before the kill: once reaped, it has no pid."""
    pidfd = os.pidfd_open(pid)
    if kill:
        os.kill(pid, signal.SIGKILL)
    watch = select.poll()
    watch.register(pidfd, select.POLLIN)
    try:
        return bool(watch.poll(timeout * 1000))
    finally:
        os.close(pidfd)


def test_an_interrupt_storm_leaves_nothing_held(printer, virtual_printer, tarvik_print):
    line = os.open(virtual_printer.device, os.O_RDWR | os.O_NOCTTY)
    settings = termios.tcgetattr(line)
    printer.line_feed()
    pid, fds, here = worker_of(printer).pid, open_files(), os.getcwd()
    go, stop = threading.Event(), threading.Event()
    main = threading.main_thread().ident

    def interrupt():
        go.wait()  # once the storm's handlers are in place
        while not stop.wait(random.uniform(0, 0.004)):
            signal.pthread_kill(main, signal.SIGINT)

    def held():
        with printer.hold() as port:
            port.write(b"\n\0")
            printer.line_feed()

    def back():
        with printer.back_side():
            printer.back_text("B")

    # Commands of every kind, in a hold or not.
    commands = [lambda: printer.text("STORM"), lambda: printer.check("A", "B", "1/1/25", 1, "C", "D", 1), held, back]
    counts = collections.Counter()
    interrupter = threading.Thread(target=interrupt)
    interrupter.start()
    end = time.monotonic() + 3
    try:
        while True:
            try:
                try:
                    go.set()
                    if time.monotonic() > end:
                        signal.signal(signal.SIGINT, signal.SIG_IGN)  # what still comes goes nowhere
                        break
                    random.choice(commands)()
                    counts["done"] += 1
                except KeyboardInterrupt:
                    counts["interrupted"] += 1
            except KeyboardInterrupt:  # one landing in the except clause
                counts["interrupted"] += 1
    finally:  # a failure too ends the storm, so that it is reported
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        stop.set()
        go.set()
        interrupter.join()
        signal.signal(signal.SIGINT, signal.default_int_handler)
    assert counts["done"] > 10 and counts["interrupted"] > 10, counts
    printer.line_feed()  # the next call works, and the one from another program
    assert subprocess.run([tarvik_print, "--timeout", "5", "lf", "1"],
                          cwd=virtual_printer.directory, capture_output=True).returncode == 0
    assert port_free(virtual_printer.device)
    assert termios.tcgetattr(line) == settings
    assert (worker_of(printer).pid, open_files() - fds, os.getcwd()) == (pid, set(), here)
    os.close(line)


def test_an_interrupt_ends_a_blocked_call_at_once(full_line, virtual_printer):
    settings = termios.tcgetattr(full_line)
    printer = tarvik.Printer(virtual_printer.directory)
    worker = []

    def interrupt():
        worker.append(in_flight(printer))
        os.kill(worker[0], signal.SIGINT)  # a Ctrl-C at the terminal reaches it too
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        printer.text("BLOCKED")
    start = time.monotonic()
    assert port_free(virtual_printer.device)  # the rest dropped and the line restored
    assert time.monotonic() - start < 1
    assert termios.tcgetattr(full_line) == settings
    assert worker_of(printer).pid == worker[0] and os.waitpid(worker[0], os.WNOHANG) == (0, 0)


def test_a_child_forked_during_a_call_prints(full_line, virtual_printer, more_printers):
    b = more_printers("B")
    other = tarvik.Printer(b.directory, timeout=5)
    other.line_feed()  # its worker is the parent's
    blocked = tarvik.Printer(virtual_printer.directory, timeout=2)
    with ThreadPoolExecutor(1) as pool:
        call = pool.submit(blocked.text, "BLOCKED")
        in_flight(blocked)
        child = os.fork()
        if child == 0:
            try:
                other.line_feed(2)
                os._exit(0)
            finally:  # it raised
                os._exit(1)
        other.line_feed(3)  # beside the call that waits on the other printer
        if not ends(child, timeout=10):
            os.kill(child, signal.SIGKILL)
        assert os.waitpid(child, 0)[1] == 0
        with pytest.raises(tarvik.PrinterTimeout):
            call.result()
    assert sorted(sent(b.wait(3))) == sorted([b"\n\x00", b"\n\n\x00", b"\n\n\n\x00"])


def test_a_worker_that_dies_is_replaced(printer, virtual_printer, held_port):
    with ThreadPoolExecutor(1) as pool:
        call = pool.submit(printer.text, "WAITS")
        pid = in_flight(printer)
        os.kill(pid, signal.SIGKILL)
        with pytest.raises(tarvik.SendError, match=f"process {pid}.*killed by signal 9"):
            call.result()
    held_port.stdin.close()
    held_port.wait()
    printer.line_feed()
    pid = worker_of(printer).pid
    assert ends(pid, kill=True)  # between calls
    printer.line_feed(2)
    assert worker_of(printer).pid != pid
    assert sent(virtual_printer.wait(2)) == [b"\n\x00", b"\n\n\x00"]


def test_descriptors_above_1023_print_and_none_is_left(virtual_printer):
    limits, before = resource.getrlimit(resource.RLIMIT_NOFILE), open_files()
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(limits[0], 2048), max(limits[1], 2048)))
    files = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    try:
        with tarvik.Printer(virtual_printer.directory, timeout=5) as printer:  # its worker's descriptors above them
            printer.line_feed()
    finally:
        for fd in files:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]
    gc.collect()
    assert open_files() - before == set()


def raising(method, error, before):
    """The Printer's method, raising error once: before it sent anything (an
    interrupt landing as the call began), or after it sent its bytes."""
    pending = [error]

    def wrapped(self):
        if before and pending:
            raise pending.pop()
        method(self)
        if pending:
            raise pending.pop()
    return wrapped


@pytest.mark.parametrize("name, before, error", [
    ("back_side_on", False, KeyboardInterrupt()),
    ("back_side_on", False, tarvik.PrinterTimeout("timed out")),
    ("back_side_off", True, KeyboardInterrupt()),
])
def test_back_side_always_tries_the_front(printer, virtual_printer, monkeypatch, name, before, error):
    monkeypatch.setattr(tarvik.Printer, name, raising(getattr(tarvik.Printer, name), error, before))
    with pytest.raises(type(error)):
        with printer.back_side():
            pass
    monkeypatch.undo()
    printer.line_feed()
    assert [e.get("on") for e in virtual_printer.wait(3)] == [True, False, None]


def test_a_worker_lost_in_a_hold_fails_the_rest_of_it(printer, virtual_printer):
    with printer.hold() as port:
        assert ends(worker_of(printer).pid, kill=True)
        with pytest.raises(tarvik.PortError, match="no longer held.*killed by signal 9"):
            printer.text("OUTSIDE")
        with pytest.raises(ValueError, match="no longer held"):
            port.write(b"\n\0")
    printer.line_feed()  # after the hold, a new worker
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]


def test_a_holds_port_works_from_another_thread(printer, virtual_printer):
    with ThreadPoolExecutor(1) as pool, printer.hold() as port:
        assert pool.submit(port.write, b"\n\0").result(5) == 2
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]


def test_a_worker_that_no_printer_reaches_ends(virtual_printer):
    printer = tarvik.Printer(virtual_printer.directory)
    printer.line_feed()
    pid = worker_of(printer).pid
    del printer  # never closed
    gc.collect()
    assert ends(pid), "the worker still runs"
    assert not any(key[0] == os.fspath(virtual_printer.directory) for key in list(tarvik._worker._workers))


def blocked_elsewhere(pid, idle):
    """Waits until process ``pid`` sleeps in another kernel wait than ``idle``."""
    for _ in range(500):
        wchan = Path(f"/proc/{pid}/wchan").read_text()
        if wchan not in (idle, "0") and Path(f"/proc/{pid}/stat").read_text().split(") ")[1][0] == "S":
            return
        threading.Event().wait(0.01)
    pytest.fail(f"process {pid} never blocked")


@pytest.mark.parametrize("ahead", [True, False], ids=["sent with it", "sent while it waits"])
def test_a_request_sent_ahead_cancels_none(ahead, full_line, virtual_printer):
    ours, theirs = socket.socketpair()
    worker = subprocess.Popen(tarvik._worker.default_worker() + ["--library", os.environ["TARVIK_LIBRARY"]],
                              stdin=theirs)
    theirs.close()

    def answer():
        (n,) = struct.unpack("<I", ours.recv(4, socket.MSG_WAITALL))
        return tarvik._worker._items(ours.recv(n, socket.MSG_WAITALL))[0]

    assert answer() == b"ready"
    blocked_elsewhere(worker.pid, None)  # waiting for a request
    idle = Path(f"/proc/{worker.pid}/wchan").read_text()
    call = tarvik._worker._frame([b"call", os.fsencode(virtual_printer.directory), b"1000000", b"tarvlf", b"1"])
    ours.sendall(call + call if ahead else call)
    if not ahead:
        blocked_elsewhere(worker.pid, idle)  # on the full line
        ours.sendall(call)  # its signal must cut nothing
    assert answer() == b"timeout"  # neither "cancelled" nor a write that EINTR ended
    answer()
    ours.close()
    assert worker.wait(5) == 0


# Workers not to trust: each does FIRST, says it is ready, reads the first
# request's length, and then answers it as BEHAVE says.
FAKE = """
import os, socket, struct, sys
sys.stderr = open(os.devnull, "w")  # cut off, it may fail to send: not the application's output
s = socket.socket(fileno=0)
def frame(items):
    body = b"".join(struct.pack("<I", len(i)) + i for i in items)
    return struct.pack("<I", len(body)) + body
FIRST
s.sendall(frame([b"ready", str(os.getpid()).encode(), b"0", b"0", b"", b""]))
s.recv(4)
BEHAVE
s.recv(1 << 20)
"""

# An application that lets SIGPIPE end it, as a C program does.
APPLICATION = """
import signal, sys, tarvik
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
try:
    with tarvik.Printer(sys.argv[1], timeout=eval(sys.argv[2]), worker=[sys.executable, "-c", sys.argv[3]]) as p:
        p.line_feed()
except tarvik.Error as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("first, behave, timeout, error, match", [
    # Gone once it said it is ready: the request is written to a socket that no one reads.
    ("s.shutdown(socket.SHUT_RD)", "", None, tarvik.SendError, "ended during the call"),
    ("", "s.sendall(struct.pack('<I', 0xFFFFFFF0) + bytes(2 << 20))", 30, tarvik.SendError, "longer than 1048576"),
    ("", "signal = __import__('signal'); signal.signal(signal.SIGTERM, signal.SIG_IGN); signal.pause()", 0.2,
     tarvik.SendError, "did not answer 3.0 s past"),
    ("", "s.sendall(frame([b'\\xff' * 3]))", None, tarvik.Error, "worker failed"),
])
def test_a_worker_not_to_trust_ends_the_call(printer, first, behave, timeout, error, match):
    fake = FAKE.replace("FIRST", first).replace("BEHAVE", behave)
    start = time.monotonic()
    run = subprocess.run([sys.executable, "-c", APPLICATION, printer.directory, repr(timeout), fake],
                         capture_output=True, text=True)
    assert time.monotonic() - start < (timeout or 0) + 5
    assert (run.returncode, run.stderr) == (0, "")
    name, _, message = run.stdout.partition(" ")
    assert issubclass(getattr(tarvik, name), error) and re.search(match, message), run.stdout


def test_a_vanishing_tarvik_ini_is_a_config_error(printer, virtual_printer):
    ini, away = virtual_printer.directory / "tarvik.ini", virtual_printer.directory / "away"
    outcomes = collections.Counter()
    with meanwhile(lambda: (os.rename(ini, away), os.rename(away, ini))):
        for i in range(150):
            try:
                printer.check("A", "B", "1/1/25", i, "C", "D", 1) if i % 2 else printer.text("X")
                outcomes["printed"] += 1
            except (tarvik.ConfigError, tarvik.PortError) as e:
                outcomes[type(e).__name__] += 1
    assert outcomes["printed"] and outcomes["ConfigError"], outcomes
    printer.line_feed()


UNREADABLE = """
import os, sys
try:
    import tarvik
except ImportError:
    sys.exit(3)
mine = sys.argv[1:] == ["mine"]
if mine:
    os.chmod(".", 0)
for where in [None, os.getcwd()]:
    try:
        tarvik.Printer(where).line_feed()
    except tarvik.ConfigError as e:
        print(type(e).__name__)
if mine:
    os.chmod(".", 0o700)
"""


def test_an_unreadable_directory_is_a_config_error(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir()
    # Root is kept out of nothing: the application then runs as another
    # user, started in the directory.
    user = None
    if os.geteuid() == 0:
        locked.chmod(0)
        user = 65534
    run = subprocess.run([sys.executable, "-c", UNREADABLE] + ([] if user else ["mine"]), cwd=locked, user=user,
                         capture_output=True, text=True)
    if run.returncode == 3:
        pytest.skip("the package cannot be read by another user here")
    assert (run.stdout, run.returncode) == ("ConfigError\nConfigError\n", 0), run.stderr
