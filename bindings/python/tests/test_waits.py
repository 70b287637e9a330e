import errno
import os
import re
import signal
import subprocess
import termios
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import hexes

import tarvik

def test_two_threads_get_whole_commands(printer, virtual_printer):
    texts = [f"LINE {i:02d}" for i in range(20)]
    start = threading.Barrier(2)

    def run(commands):
        start.wait()
        for command in commands:
            command()

    with ThreadPoolExecutor(2) as pool:
        checks = pool.submit(run, [lambda i=i: printer.check("A", "B", "1/1/25", i, "C", "D", 1) for i in range(5)])
        lines = pool.submit(run, [lambda t=t: printer.text(t) for t in texts])
        checks.result(), lines.result()
    events = virtual_printer.wait(5 * 9 + 20)
    assert [c["amount"] for c in virtual_printer.checks()] == [f"{i:012d}" for i in range(5)]
    assert [e["text"] for e in events if e["type"] == "front_text"] == texts


def test_timeout_on_a_port_another_process_holds(printer, virtual_printer):
    holder = subprocess.Popen(["flock", virtual_printer.device, "sh", "-c", "echo locked; exec cat"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    own = lambda *_: None  # noqa: E731
    before = signal.signal(signal.SIGALRM, own)
    signal.setitimer(signal.ITIMER_REAL, 100)
    try:
        start = time.monotonic()
        with pytest.raises(tarvik.PrinterTimeout):
            tarvik.Printer(virtual_printer.directory, timeout=0.3).text("LOCKED OUT")
        assert 0.3 <= time.monotonic() - start < 2
        assert signal.getsignal(signal.SIGALRM) is own
        assert 98 < signal.getitimer(signal.ITIMER_REAL)[0] <= 100
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)
        holder.stdin.close()
        holder.wait()
    printer.line_feed()
    assert hexes(virtual_printer.wait(1)) == ["0A 00"]


@pytest.mark.parametrize("own_timer, error", [(False, tarvik.PrinterTimeout), (True, tarvik.SendError)])
def test_a_blocked_write_ends(own_timer, error, full_line, virtual_printer):
    settings = termios.tcgetattr(full_line)
    before = signal.getsignal(signal.SIGALRM)
    if own_timer:  # the application's own repeating timer, not the package's
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.siginterrupt(signal.SIGALRM, True)
        signal.setitimer(signal.ITIMER_REAL, 0.3, 0.05)
    printer = tarvik.Printer(virtual_printer.directory, timeout=None if own_timer else 0.3)
    start = time.monotonic()
    try:
        with pytest.raises(error) as raised:
            printer.text("BLOCKED")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)
    assert time.monotonic() - start < 3
    assert not own_timer or raised.value.errno == errno.EINTR
    assert termios.tcgetattr(full_line) == settings


def test_timeout_needs_the_main_thread(virtual_printer):
    with ThreadPoolExecutor(1) as pool, pytest.raises(RuntimeError, match="main thread"):
        pool.submit(tarvik.Printer(virtual_printer.directory, timeout=1).line_feed).result()


@pytest.mark.parametrize("scope, expected", [
    (lambda p: p.hold(), ["0A 00", "1B 59 1B 64 30 14 41 55 54 20 34 32 0A"]),
    (lambda p: p.back_side(), ["1B 2E 35 39 31 35 7D 00 0A 00", "1B 59 1B 64 30 14 41 55 54 20 34 32 0A",
                               "1B 2E 35 39 31 36 7D 00"]),
])
def test_a_scope_keeps_other_threads_out(scope, expected, printer, virtual_printer):
    held, done = threading.Event(), threading.Event()

    def hold():
        with scope(printer) as port:
            if port is not None:
                assert port.write(b"\n\0") == 2
                assert port.read(8) == b""
                pytest.raises(TypeError, port.write, 2)  # not two zero bytes
            held.set()
            done.wait(5)
            printer.authenticate("AUT 42")

    with ThreadPoolExecutor(1) as pool:
        holding = pool.submit(hold)
        held.wait(5)
        with pytest.raises(tarvik.PrinterTimeout):
            tarvik.Printer(virtual_printer.directory, timeout=0.2).text("BETWEEN")
        done.set()
        holding.result()
    assert hexes(virtual_printer.wait(len(expected))) == expected


def test_a_command_that_printed_as_the_timer_fired_is_no_timeout(virtual_printer):
    # The timer fires before the command starts, and the next tick is far
    # beyond the command's end: the command prints whole, so it must not raise.
    tarvik.Printer(virtual_printer.directory, timeout=1e-6).line_feed()
    assert hexes(virtual_printer.wait(1)) == ["0A 00"]


@pytest.mark.parametrize("tool, error", [
    ("built", None),
    ("relative", None),  # to here, not to the printer's directory
    ("missing", "install the package tarvik-tools"),
    ("garbage", 'exit status 0: {"state": "ready"}'),  # its state, the rest missing
])
def test_status(tool, error, virtual_printer, monkeypatch, tmp_path):
    holder = subprocess.Popen(["flock", virtual_printer.device, "sh", "-c", "echo locked; exec cat"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    if tool == "missing":
        monkeypatch.delenv("TARVIK_PRINT")
        monkeypatch.setenv("PATH", "")
    if tool == "relative":
        monkeypatch.setenv("TARVIK_PRINT", os.path.relpath(os.environ["TARVIK_PRINT"]))
    if tool == "garbage":
        (tmp_path / "tool").write_text("#!/bin/sh\necho '{\"state\": \"ready\"}'\n")
        (tmp_path / "tool").chmod(0o755)
        monkeypatch.setenv("TARVIK_PRINT", str(tmp_path / "tool"))
    printer = tarvik.Printer(virtual_printer.directory, timeout=5)
    try:
        if error:
            with pytest.raises(tarvik.ToolError, match=re.escape(error)):
                printer.status()
        else:
            status = printer.status()
            assert status == tarvik.Status("cannot_tell", virtual_printer.device, None, None, None,
                                           tarvik.Holder(holder.pid, "flock"), status.message)
            assert status.message.startswith(f"{virtual_printer.device} has no modem lines")
    finally:
        holder.stdin.close()
        holder.wait()
