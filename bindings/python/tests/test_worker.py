"""What the application's other threads, signals and forks, and a worker that
dies, can do to a call: nothing that ends the application, prints on the
wrong printer or leaves the port held."""

import collections
import contextlib
import gc
import os
import random
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

import pytest
from conftest import in_flight, port_free, sent, worker_of

import tarvik


def test_another_threads_chdir_moves_no_call(virtual_printer, more_printers, monkeypatch):
    a, b, c, d = (more_printers(name) for name in "ABCD")
    monkeypatch.chdir(virtual_printer.directory)
    targets = [a, b, c, c]
    done = threading.Event()

    def wander():  # among printers, one that no one addresses, and no tarvik.ini at all
        for where in iter(lambda: [d, a, b, None][random.randrange(4)], 0):
            if done.is_set():
                return
            os.chdir("/" if where is None else where.directory)

    def lines(i, target):
        printer = tarvik.Printer(target.directory)
        for k in range(50):
            printer.text(f"T{i} {k}")

    with ThreadPoolExecutor(5) as pool:
        wanderer = pool.submit(wander)
        for future in [pool.submit(lines, i, t) for i, t in enumerate(targets)]:
            future.result()
        done.set()
        wanderer.result()
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


def storm(printer):
    """Commands of every kind, in a hold or not."""

    def held():
        with printer.hold() as port:
            port.write(b"\n\0")
            printer.line_feed()

    def back():
        with printer.back_side():
            printer.back_text("B")

    return [lambda: printer.text("STORM"), lambda: printer.check("A", "B", "1/1/25", 1, "C", "D", 1), held, back]


def open_files():
    """This process's descriptors and what each is; the other tests' workers
    may end meanwhile, as their Printers are collected."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # the listing's own
            found.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
    return found


def test_an_interrupt_storm_leaves_nothing_held(printer, virtual_printer, tarvik_print):
    line = os.open(virtual_printer.device, os.O_RDWR | os.O_NOCTTY)
    settings = termios.tcgetattr(line)
    printer.line_feed()
    pid, fds, here = worker_of(printer).pid, open_files(), os.getcwd()
    stop = threading.Event()
    main = threading.main_thread().ident

    def interrupt():
        while not stop.wait(random.uniform(0, 0.004)):
            signal.pthread_kill(main, signal.SIGINT)

    commands = storm(printer)
    counts = collections.Counter()
    interrupter = threading.Thread(target=interrupt)
    interrupter.start()
    end = time.monotonic() + 3
    while True:
        try:
            try:
                if time.monotonic() > end:
                    stop.set()
                    interrupter.join()
                    signal.signal(signal.SIGINT, signal.SIG_IGN)  # one still pending goes nowhere
                    break
                random.choice(commands)()
                counts["done"] += 1
            except KeyboardInterrupt:
                counts["interrupted"] += 1
        except KeyboardInterrupt:  # one landing in the except clause
            counts["interrupted"] += 1
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
            status = 1
            try:
                other.line_feed(2)
                status = 0
            finally:
                os._exit(status)
        other.line_feed(3)  # beside the call that waits on the other printer
        pidfd = os.pidfd_open(child)
        if not select.select([pidfd], [], [], 10)[0]:
            os.kill(child, signal.SIGKILL)
        os.close(pidfd)
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
    os.kill(pid, signal.SIGKILL)  # between calls
    while os.path.exists(f"/proc/{pid}"):  # reaped once its thread sees it go
        threading.Event().wait(0.01)
    printer.line_feed(2)
    assert worker_of(printer).pid != pid
    assert sent(virtual_printer.wait(2)) == [b"\n\x00", b"\n\n\x00"]


def test_descriptors_above_1023_print_and_none_is_left(virtual_printer):
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(limits[0], 2048), max(limits[1], 2048)))
    files = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    try:
        with tarvik.Printer(virtual_printer.directory, timeout=5) as printer:  # its worker's descriptors above them
            printer.line_feed()
            wake = {fd: os.fstat(fd).st_ino for fd in (worker_of(printer)._wake_r, worker_of(printer)._wake_w)}
    finally:
        for fd in files:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]
    gc.collect()
    for fd, inode in wake.items():  # the worker's wake-up pipe is closed
        with pytest.raises(OSError):
            assert os.fstat(fd).st_ino != inode


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


def raising_after(method, error):
    """The Printer's method, with error raised after it sent its bytes."""
    def sent_then_raise(self):
        method(self)
        raise error
    return sent_then_raise


def raising_before(method, error):
    """The Printer's method, with error raised on its first call before it
    sent anything (an interrupt landing as the call began)."""
    calls = []
    def raise_once(self):
        calls.append(1)
        if len(calls) == 1:
            raise error
        method(self)
    return raise_once


@pytest.mark.parametrize("name, wrap, error", [
    ("back_side_on", raising_after, KeyboardInterrupt),
    ("back_side_on", raising_after, tarvik.PrinterTimeout("timed out")),
    ("back_side_off", raising_before, KeyboardInterrupt),
])
def test_back_side_always_tries_the_front(printer, virtual_printer, monkeypatch, name, wrap, error):
    monkeypatch.setattr(tarvik.Printer, name, wrap(getattr(tarvik.Printer, name), error))
    with pytest.raises(type(error) if isinstance(error, BaseException) else error):
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


def test_a_request_sent_ahead_cancels_none(full_line, virtual_printer):
    ours, theirs = socket.socketpair()
    worker = subprocess.Popen(tarvik._worker.default_worker() + ["--library", os.environ["TARVIK_LIBRARY"]],
                              stdin=theirs)
    theirs.close()

    def answer():
        (n,) = struct.unpack("<I", ours.recv(4, socket.MSG_WAITALL))
        return tarvik._worker._items(ours.recv(n, socket.MSG_WAITALL))[0]

    assert answer() == b"ready"
    call = tarvik._worker._frame([b"call", os.fsencode(virtual_printer.directory), b"300000", b"tarvlf", b"1"])
    ours.sendall(call + call)  # the second there while the first waits for the printer
    assert answer() == b"timeout"  # not "cancelled"
    answer()
    ours.close()
    assert worker.wait(5) == 0


# A worker that says it is ready and has gone: the first request is written
# to a socket that no one reads.
GONE = """
import os, socket, struct
s = socket.socket(fileno=0)
s.shutdown(socket.SHUT_RD)
body = b"".join(struct.pack("<I", len(i)) + i for i in [b"ready", str(os.getpid()).encode(), b"0", b"0", b"", b""])
s.sendall(struct.pack("<I", len(body)) + body)
"""

APPLICATION = """
import signal, sys, tarvik
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
try:
    tarvik.Printer(sys.argv[1], worker=[sys.executable, "-c", sys.argv[2]]).line_feed()
except tarvik.SendError as e:
    print(e)
"""


def test_a_worker_that_has_gone_raises_no_sigpipe(printer):
    run = subprocess.run([sys.executable, "-c", APPLICATION, printer.directory, GONE], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
    assert "ended during the call" in run.stdout


# Workers not to trust: each says it is ready, reads the first request's
# length, and then answers it as BEHAVE says.
FAKE = """
import os, socket, struct, sys
s = socket.socket(fileno=0)
def frame(items):
    body = b"".join(struct.pack("<I", len(i)) + i for i in items)
    return struct.pack("<I", len(body)) + body
s.sendall(frame([b"ready", str(os.getpid()).encode(), b"0", b"0", b"", b""]))
s.recv(4)
BEHAVE
s.recv(1 << 20)
"""


@pytest.mark.parametrize("behave, timeout, error, match", [
    ("s.sendall(struct.pack('<I', 0xFFFFFFF0) + bytes(2 << 20))", 30, tarvik.SendError, "longer than 1048576"),
    ("signal = __import__('signal'); signal.signal(signal.SIGTERM, signal.SIG_IGN); signal.pause()", 0.2,
     tarvik.SendError, "did not answer 3.0 s past"),
    ("s.sendall(frame([b'\\xff' * 3]))", None, tarvik.Error, "worker failed"),
])
def test_a_worker_not_to_trust_ends_the_call(printer, behave, timeout, error, match):
    worker = [sys.executable, "-c", FAKE.replace("BEHAVE", behave)]
    fake = tarvik.Printer(printer.directory, timeout=timeout, worker=worker)
    start = time.monotonic()
    with pytest.raises(error, match=match):
        fake.line_feed()
    assert time.monotonic() - start < (timeout or 0) + 5
    fake.close()


def test_a_vanishing_tarvik_ini_is_a_config_error(printer, virtual_printer):
    ini, away = virtual_printer.directory / "tarvik.ini", virtual_printer.directory / "away"
    done = threading.Event()

    def flicker():
        while not done.is_set():
            os.rename(ini, away)
            os.rename(away, ini)

    outcomes = collections.Counter()
    with ThreadPoolExecutor(1) as pool:
        flickering = pool.submit(flicker)
        try:
            for i in range(150):
                try:
                    printer.check("A", "B", "1/1/25", i, "C", "D", 1) if i % 2 else printer.text("X")
                    outcomes["printed"] += 1
                except (tarvik.ConfigError, tarvik.PortError) as e:
                    outcomes[type(e).__name__] += 1
        finally:
            done.set()
        flickering.result()
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
