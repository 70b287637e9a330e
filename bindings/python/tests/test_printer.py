import contextlib
import errno
import fcntl
import os
import pickle
import re
import shutil
import subprocess
import sys
import termios
from datetime import date
from decimal import Decimal
from pathlib import Path

import pytest
from conftest import sent

import tarvik


def fields(t1, t2, ddmmyy, amount, t5, t6, layout):
    texts = [t1, t2, ddmmyy, amount, t5, t6, "REAL", "REAIS", "000S" + layout]
    return [b"\x1b.590%d%s}" % (i, t.encode()) for i, t in enumerate(texts, 1)]


def check(p, **change):
    args = dict(text1="PAGUE", text2="JOSE", date="15/03/2025", amount=Decimal("1234.56"),
                text5="SAO PAULO", text6="", bank="341-7")
    p.check(**(args | change))


def back(p, error=None):
    with contextlib.suppress(KeyError), p.back_side():
        if error:
            raise error
        p.back_text("VERSO")


@pytest.mark.parametrize("call, expected", [
    (lambda p: p.text("TOTAL É", pitch="5", double=True), [b"\x1bd5\x0eTOTAL \xc9\n"]),
    (lambda p: p.text("X" * 50), [b"\x1bd0\x14" + b"X" * 40 + b"\n"]),  # cut by the library
    (lambda p: tarvik.Printer(p.directory, "cp850").text("É"), [b"\x1bd0\x14\x90\n"]),
    (lambda p: p.text(b"\x1b!\x01"), [b"\x1bd0\x14\x1b!\x01\n"]),
    (lambda p: p.authenticate("AUT 42", "1", False, "V"), [b"\x1bV\x1bd1\x14AUT 42\n"]),
    (lambda p: p.line_feed(3), [b"\n\n\n\x00"]),
    # The timer fires before the command starts, and the next tick is far
    # beyond the command's end: the command prints whole, so it must not raise.
    (lambda p: tarvik.Printer(p.directory, timeout=1e-6).line_feed(), [b"\n\x00"]),
    (back, [b"\x1b.5915}\x00\n\x00", b"\x1bd0\r\x00\x14  VERSO\n", b"\x1b.5916}\x00"]),
    (lambda p: back(p, KeyError), [b"\x1b.5915}\x00\n\x00", b"\x1b.5916}\x00"]),
    (lambda p: check(p, date=date(2025, 3, 15)),
     fields("PAGUE", "JOSE", "150325", "000000123456", "SAO PAULO", "", "06140806060505")),
    (lambda p: check(p, date="1/2/25", amount="0001234567890,12", bank="000341", text6="X" * 61),
     fields("PAGUE", "JOSE", "010225", "123456789012", "SAO PAULO", "X" * 60, "06140806060505")),
    (lambda p: check(p, amount=5, bank=237), fields("PAGUE", "JOSE", "150325", "000000000005", "SAO PAULO", "",
                                                     "05150806060505")),
    (lambda p: check(p, amount="1,234.56", date="29/2/24"),
     fields("PAGUE", "JOSE", "290224", "000000123456", "SAO PAULO", "", "06140806060505")),
    (lambda p: check(p, amount=" 0,50 ", date="29/02/2000"),
     fields("PAGUE", "JOSE", "290200", "000000000050", "SAO PAULO", "", "06140806060505")),
])
def test_each_command_sends_its_bytes(call, expected, printer, virtual_printer):
    with open(virtual_printer.directory / "tarvik.ini", "a") as ini:
        ini.write("341 06,14,08,06,06,05,05\n")
    call(printer)
    assert sent(virtual_printer.wait(len(expected))) == expected


@pytest.mark.parametrize("call, error", [
    (lambda p: p.text("x", pitch="a"), ValueError),
    (lambda p: p.authenticate("x", selector="Z"), ValueError),
    (lambda p: p.line_feed(11), ValueError),
    (lambda p: p.text("a\0b"), ValueError),
    (lambda p: p.text("AÇÚCAR €5"), tarvik.EncodingError),
    (lambda p: check(p, text1="X" * 93), ValueError),
    (lambda p: check(p, text5="SP}"), ValueError),  # would end the field early
    (lambda p: check(p, text2=b"\x1b"), ValueError),
    (lambda p: check(p, amount=-1), ValueError),
    (lambda p: check(p, amount="-5,00"), ValueError),
    (lambda p: check(p, amount="1.000.000.000.000,00"), ValueError),
    *[(lambda p, a=a: check(p, amount=a), ValueError) for a in [
        "12.5",  # would print R$ 1,25
        b"1.234",  # would print R$ 12,34
        "1234",  # centavos, where a person means reais
        "", "abc", "1e3", "12 000", "1.234.56", "1,234,56", "1.23,45",
        Decimal("1.005"), Decimal("1.000"), Decimal("1.00000000000000000000000000001"), Decimal("1E+20")]],
    (lambda p: check(p, amount=12.5), TypeError),
    *[(lambda p, d=d: check(p, date=d), tarvik.DateError) for d in [
        "31/02/2025", "29/02/2100", "29/02/25", "15/03/20251", "1513/2025", "15/03/025", "15-03-2025", ""]],
    *[(lambda p, d=d: p.text("x", double=d), TypeError) for d in ["N", "no", 1, None]],
    (lambda p: p.text("A\x1b.5915}B"), ValueError),  # a customer's name carrying a command
    (lambda p: p.back_text("LINE1\nLINE2"), ValueError),
    (lambda p: check(p, text6="\x7f"), ValueError),
    (lambda p: check(p, bank="1000"), ValueError),
    (lambda p: check(p, bank="341-77"), ValueError),
    (lambda p: check(p, bank=1000), ValueError),
    *[(lambda p, t=t: tarvik.Printer(timeout=t), e) for t, e in [
        (float("inf"), ValueError), (float("nan"), ValueError), (0, ValueError), (Decimal("2"), TypeError),
        (True, TypeError), ("1", TypeError)]],
])
def test_bad_arguments_are_refused_before_the_port(call, error):
    # The directory does not exist: a call that got that far would raise ConfigError.
    with pytest.raises(error):
        call(tarvik.Printer(directory="/nonexistent/tarvik"))


@pytest.mark.parametrize("ini, error, attrs", [
    ("Porta=nothing-here\n", tarvik.PortError, {"code": -1, "errno": errno.ENOENT}),
    # The library's report is kept in the error; standard output stays the application's.
    ("Porta=null\n", tarvik.PortError,
     {"code": -2, "errno": errno.ENOTTY, "report": "error reading terminal settings.\n"}),
    ("<no file>", tarvik.ConfigError, {}),
    ("<no directory>", tarvik.ConfigError, {}),
])
def test_failures(ini, error, attrs, virtual_printer, tmp_path, capfd):
    directory = tmp_path / "other"
    if ini != "<no directory>":
        directory.mkdir()
        if ini != "<no file>":
            (directory / "tarvik.ini").write_text(ini)
    here = os.getcwd()
    with pytest.raises(error) as raised:
        tarvik.Printer(directory=directory).line_feed()
    assert os.getcwd() == here
    assert {name: getattr(raised.value, name) for name in attrs} == attrs
    assert capfd.readouterr().out == ""
    # The process goes on, and nothing was sent.
    tarvik.Printer(directory=virtual_printer.directory).line_feed()
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]


def test_a_relative_directory_is_where_it_was_when_the_printer_was_made(virtual_printer, monkeypatch):
    monkeypatch.chdir(virtual_printer.directory.parent)
    printer = tarvik.Printer(directory=virtual_printer.directory.name)
    monkeypatch.chdir("/")
    printer.line_feed()
    assert sent(virtual_printer.wait(1)) == [b"\n\x00"]


def test_a_hold_lets_the_port_go_when_its_directory_has_gone(printer, virtual_printer, tmp_path):
    line = os.open(virtual_printer.device, os.O_RDWR | os.O_NOCTTY)
    settings = termios.tcgetattr(line)
    moved = tmp_path.with_name(tmp_path.name + "-moved")
    try:
        with printer.hold():
            tmp_path.rename(moved)
    finally:
        if moved.exists():
            moved.rename(tmp_path)
    fcntl.flock(line, fcntl.LOCK_EX | fcntl.LOCK_NB)  # no one holds the port
    assert termios.tcgetattr(line) == settings
    os.close(line)


@pytest.mark.parametrize("error", [tarvik.PortError(-2, errno.ENOTTY, "error reading terminal settings.\n"),
                                   tarvik.SendError(None, message="the worker ended")])
def test_errors_cross_to_another_process(error):  # pickled, as multiprocessing does
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.errno, copy.report) == (type(error), str(error), error.errno, error.report)


@pytest.mark.parametrize("choice, message", [
    ({"library": "/nonexistent/libtarvik.so.1"}, "cannot load"),
    ({"library": "libc.so.6"}, "lacks serial_open"),
    ({"worker": "/nonexistent/tarvik-worker"}, "cannot run the worker"),
])
def test_library_errors(choice, message, printer):
    with pytest.raises(tarvik.LibraryError, match=message):
        tarvik.Printer(printer.directory, **choice).line_feed()


def test_a_program_with_standard_output_closed_prints(virtual_printer):
    # As a daemon runs: the library's reports must not land on descriptor 1,
    # whatever holds it. The guide's example, which docs_blocks runs as it is.
    readme = (Path(__file__).parents[1] / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    env = os.environ | {"PYTHONPATH": str(Path(tarvik.__file__).parents[1])}
    run = subprocess.run([sys.executable, "-c", example], cwd=virtual_printer.directory, env=env,
                         capture_output=True, text=True, preexec_fn=lambda: os.close(1))
    assert (run.returncode, run.stderr) == (0, "")
    assert len(virtual_printer.wait(14)) == 15  # 14 commands, and the check once whole


def test_pip_installs_the_package_and_its_fixture(tmp_path):
    source, venv = tmp_path / "source", tmp_path / "venv"
    shutil.copytree(Path(tarvik.__file__).parents[1], source, ignore=shutil.ignore_patterns("tests", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | {"PIP_NO_INDEX": "1"}
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    subprocess.run([venv / "bin/pip", "install", "-q", "--no-build-isolation", source], check=True, env=env)
    listed = subprocess.run([venv / "bin/python", "-m", "pytest", "-p", "no:cacheprovider", "--fixtures", "-v"],
                            cwd=tmp_path, env=env, capture_output=True, text=True)
    assert "virtual_printer" in listed.stdout and str(venv) in listed.stdout
