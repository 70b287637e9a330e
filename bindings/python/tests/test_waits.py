import errno
import os
import re
import signal
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


def test_timeout_on_a_port_another_process_holds(printer, virtual_printer, held_port, alarm):
    own = lambda *_: None  # noqa: E731
    signal.signal(signal.SIGALRM, own)
    signal.setitimer(signal.ITIMER_REAL, 100)
    start = time.monotonic()
    with pytest.raises(tarvik.PrinterTimeout):
        tarvik.Printer(virtual_printer.directory, timeout=0.3).text("LOCKED OUT")
    assert 0.3 <= time.monotonic() - start < 2
    assert signal.getsignal(signal.SIGALRM) is own
    assert 98 < signal.getitimer(signal.ITIMER_REAL)[0] <= 100
    held_port.stdin.close()
    held_port.wait()
    printer.line_feed()
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]


@pytest.mark.parametrize("own_timer, error", [(False, tarvik.PrinterTimeout), (True, tarvik.SendError)])
def test_a_blocked_write_ends(own_timer, error, full_line, virtual_printer, alarm):
    settings = termios.tcgetattr(full_line)
    if own_timer:  # the application's own repeating timer, not the package's
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.siginterrupt(signal.SIGALRM, True)
        signal.setitimer(signal.ITIMER_REAL, 0.3, 0.05)
    printer = tarvik.Printer(virtual_printer.directory, timeout=None if own_timer else 0.3)
    start = time.monotonic()
    with pytest.raises(error) as raised:
        printer.text("BLOCKED")
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert time.monotonic() - start < 3
    assert not own_timer or raised.value.errno == errno.EINTR
    assert termios.tcgetattr(full_line) == settings


def test_timeout_needs_the_main_thread(virtual_printer):
    with ThreadPoolExecutor(1) as pool, pytest.raises(RuntimeError, match="main thread"):
        pool.submit(tarvik.Printer(virtual_printer.directory, timeout=1).line_feed).result()


@pytest.mark.parametrize("scope, expected", [
    (lambda p: p.hold(), [b"\n\x00", b"\x1bY\x1bd0\x14AUT 42\n"]),
    (lambda p: p.back_side(), [b"\x1b.5915}\x00\n\x00", b"\x1bY\x1bd0\x14AUT 42\n", b"\x1b.5916}\x00"]),
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
    assert sent(virtual_printer.wait(len(expected))) == expected


@pytest.mark.parametrize("tool, error", [
    ("relative", None),  # to here, not to the printer's directory
    ("missing", "install the package tarvik-tools"),
    ("garbage", 'exit status 0: {"state": "ready"}'),  # its state, the rest missing
])
def test_status(tool, error, held_port, virtual_printer, monkeypatch, tmp_path):
    garbage = tmp_path / "tool"
    garbage.write_text("#!/bin/sh\necho '{\"state\": \"ready\"}'\n")
    garbage.chmod(0o755)
    monkeypatch.setenv("PATH", "")
    monkeypatch.setenv("TARVIK_PRINT", {"relative": os.path.relpath(os.environ["TARVIK_PRINT"]), "missing": "",
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
