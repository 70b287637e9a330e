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
from conftest import sent

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


@pytest.mark.parametrize("in_thread", [False, True], ids=["main thread", "another thread"])
def test_timeout_on_a_port_another_process_holds(in_thread, printer, virtual_printer, held_port, alarm):
    own = lambda *_: None  # noqa: E731
    signal.signal(signal.SIGALRM, own)
    signal.setitimer(signal.ITIMER_REAL, 100)
    start = time.monotonic()
    call = tarvik.Printer(virtual_printer.directory, timeout=0.3).text
    with pytest.raises(tarvik.PrinterTimeout), ThreadPoolExecutor(1) as pool:
        pool.submit(call, "LOCKED OUT").result() if in_thread else call("LOCKED OUT")
    assert 0.3 <= time.monotonic() - start < 2
    assert signal.getsignal(signal.SIGALRM) is own
    assert 98 < signal.getitimer(signal.ITIMER_REAL)[0] <= 100
    held_port.stdin.close()
    held_port.wait()
    printer.line_feed()
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]


def test_a_blocked_write_ends_while_the_applications_timer_ticks(full_line, virtual_printer, alarm):
    settings = termios.tcgetattr(full_line)
    ticks = []
    signal.signal(signal.SIGALRM, lambda *_: ticks.append(time.monotonic()))
    signal.setitimer(signal.ITIMER_REAL, 0.1, 0.1)
    start = time.monotonic()
    with pytest.raises(tarvik.PrinterTimeout):
        tarvik.Printer(virtual_printer.directory, timeout=0.6).text("BLOCKED")
    end = time.monotonic()
    assert 0.6 <= end - start < 3
    # Its first tick on time, and the timer left running.
    assert ticks[0] - start < 0.35 and len([t for t in ticks if t < end]) >= 4
    assert signal.getitimer(signal.ITIMER_REAL)[1] == pytest.approx(0.1)
    assert termios.tcgetattr(full_line) == settings


@pytest.mark.parametrize("scope, expected", [
    (lambda p: p.hold(), [b"\n\x00", b"\x1bY\x1bd0\x14AUT 42\n"]),
    (lambda p: p.back_side(), [b"\x1b.5915}\x00\n\x00", b"\x1bY\x1bd0\x14AUT 42\n", b"\x1b.5916}\x00"]),
])
def test_a_scope_keeps_other_threads_out(scope, expected, printer, virtual_printer, tarvik_print):
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
        # Nor another program's.
        other = subprocess.run([tarvik_print, "--timeout", "0.2", "text", "0", "N", "BETWEEN"],
                               cwd=virtual_printer.directory, capture_output=True)
        assert other.returncode == 124
        done.set()
        holding.result()
    assert sent(virtual_printer.wait(len(expected))) == expected


@pytest.mark.parametrize("tool, error", [
    ("relative", None),  # to here, not to the printer's directory
    ("missing", "install the package tarvik-tools"),
    ("garbage", 'exit status 0: {"state": "ready"}'),  # its state, the rest missing
])
def test_status(tool, error, held_port, virtual_printer, monkeypatch, tmp_path, tarvik_print):
    garbage = tmp_path / "tool"
    garbage.write_text("#!/bin/sh\necho '{\"state\": \"ready\"}'\n")
    garbage.chmod(0o755)
    monkeypatch.setenv("PATH", "")
    monkeypatch.setenv("TARVIK_PRINT", {"relative": os.path.relpath(tarvik_print), "missing": "",
                                        "garbage": str(garbage)}[tool])
    printer = tarvik.Printer(virtual_printer.directory, timeout=5)
    if error:
        with pytest.raises(tarvik.ToolError, match=re.escape(error)):
            printer.status()
    else:
        status = printer.status()
        assert status == tarvik.Status("cannot_tell", virtual_printer.device, None, None, None,
                                       tarvik.Holder(held_port.pid, "flock"), status.message)
        assert status.message.startswith(f"{virtual_printer.device} has no modem lines")
