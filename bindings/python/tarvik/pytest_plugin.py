"""pytest plugin: the fixture ``virtual_printer`` plays the printer with
``tarvik-virtual``, so that an application's tests can print and look at what
arrived; ``print_service`` runs the print service ``tarvikd`` on it, for
clients that print over HTTP. Registered through the ``pytest11`` entry
point."""

from __future__ import annotations

import http.client
import json
import os
import select
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

# The last nine events when a check's summary is still to come.
_WHOLE_CHECK = [("check_field", str(field)) for field in range(1, 10)]


class VirtualPrinter:
    """``tarvik-virtual --json --hex`` running on ``directory``, where it
    names its pseudo-terminal (``device``) in ``tarvik.ini``.

    Events are the dicts of the JSON lines that ``tarvik-virtual`` prints, one
    per command ("front_text", "check_field", ...), each with its bytes in
    ``hex``, and a "check" summary after the ninth field of a whole check.
    """

    def __init__(self, program: str | list[str], directory: Path, start_timeout: float = 5) -> None:
        # A command with its arguments too, such as an emulator before it.
        self.command = [program] if isinstance(program, str) else list(program)
        self.program = self.command[-1]
        self.directory = directory
        self.device: str | None = None
        self._events: list[dict[str, Any]] = []
        self._commands = 0  # commands whose events have all arrived
        self._ended = False
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [*self.command, "--json", "--hex", "--dir", os.fspath(directory)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
        )
        self._reader = threading.Thread(target=self._read, name="tarvik-virtual reader", daemon=True)
        self._reader.start()
        with self._changed:
            self._changed.wait_for(lambda: self.device is not None or self._ended, start_timeout)
        if self.device is None:
            self.stop()
            pytest.fail(f"{program} did not start on {directory}")

    def _read(self) -> None:
        assert self.process.stdout is not None
        try:
            for line in self.process.stdout:
                if not line.endswith(b"\n"):
                    break  # cut where a stop found the pipe full: no event
                event = json.loads(line)
                with self._changed:
                    if event["type"] == "ready":
                        self.device = event["device"]
                    else:
                        self._take(event)
                    self._changed.notify_all()
        finally:
            # Also on a line that is no JSON: a waiting test fails at once.
            with self._changed:
                self._ended = True
                self._changed.notify_all()

    def _take(self, event: dict[str, Any]) -> None:
        # Counted as tarvik-virtual --count counts: a check is its nine
        # fields; the ninth counts once the summary after it is in as well.
        # tarvik-virtual gives that summary after fields 1 to 9 in a row.
        self._events.append(event)
        if [(e["type"], e.get("field")) for e in self._events[-9:]] != _WHOLE_CHECK:
            self._commands += 1

    def events(self) -> list[dict[str, Any]]:
        """The events decoded so far."""
        with self._changed:
            return list(self._events)

    def checks(self) -> list[dict[str, Any]]:
        """The "check" summaries so far: ``fields``, ``date``, ``amount``,
        ``layout``."""
        return [e for e in self.events() if e["type"] == "check"]

    def wait(self, count: int, timeout: float = 5) -> list[dict[str, Any]]:
        """Waits until ``count`` commands have arrived (a check counts as its
        nine fields), with every event they give, a check's summary included;
        fails the test with what did arrive if they don't within ``timeout``
        seconds. Returns the events so far."""
        with self._changed:
            self._changed.wait_for(lambda: self._commands >= count or self._ended, timeout)
            if self._commands < count:
                ended = f"; {self.program} ended" if self._ended else ""
                pytest.fail(f"{self._commands} of {count} commands arrived within {timeout} s{ended}: {self._events}")
            return list(self._events)

    def svg(self, path: str | os.PathLike[str]) -> None:
        """Draws what was decoded so far as an SVG picture at ``path``: the
        bytes are rebuilt from the events and replayed through
        ``tarvik-virtual --replay --svg``. A check's summary has no bytes of
        its own; its fields have them."""
        data = b"".join(bytes.fromhex(e["hex"]) for e in self.events() if "hex" in e)
        with tempfile.NamedTemporaryFile(prefix="tarvik-session-", suffix=".bin") as stream:
            stream.write(data)
            stream.flush()
            subprocess.run(
                [*self.command, "--replay", stream.name, "--svg", os.fspath(path)],
                check=True,
                stdout=subprocess.DEVNULL,
            )

    def stop(self) -> None:
        """Ends tarvik-virtual (also when stopped with SIGSTOP), which puts
        ``tarvik.ini`` back."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._reader.join()
        assert self.process.stdout is not None
        self.process.stdout.close()


@pytest.fixture
def virtual_printer(tmp_path: Path) -> Iterator[VirtualPrinter]:
    """A virtual printer on ``tmp_path``: ``tarvik.Printer(directory=
    virtual_printer.directory)`` prints to it. Runs the ``tarvik-virtual``
    named by ``$TARVIK_VIRTUAL`` (a path, or a command with its arguments),
    else the one on ``PATH``."""
    named = os.environ.get("TARVIK_VIRTUAL")
    program: str | list[str] | None = shlex.split(named) if named else shutil.which("tarvik-virtual")
    if not program:
        pytest.fail("tarvik-virtual not found: install tarvik-tools, or name it in TARVIK_VIRTUAL")
    printer = VirtualPrinter(program, tmp_path)
    try:
        yield printer
    finally:
        printer.stop()


class PrintService:
    """``tarvikd`` printing on a :class:`VirtualPrinter`, listening on a free
    port of 127.0.0.1. ``url`` and ``token`` are what a client needs (the
    token is the one the service made in the printer's directory);
    ``request`` is such a client, and ``printer`` shows what arrived."""

    def __init__(self, program: str, printer: VirtualPrinter) -> None:
        self.program = program
        self.printer = printer
        self.process: subprocess.Popen[bytes] | None = None
        self.url = ""
        self.token = ""

    def start(self, *options: str, timeout: float = 10) -> None:
        """Starts it with ``options`` after ``--dir`` and ``--listen``;
        fails the test unless it says where it listens within ``timeout``."""
        self.process = subprocess.Popen(
            [self.program, "--dir", os.fspath(self.printer.directory), "--listen", "127.0.0.1:0", *options],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
        )
        assert self.process.stdout is not None
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline().decode() if ready else ""
        if not line.startswith("listening on http://"):
            self.kill()
            pytest.fail(f"{self.program} did not start: {line!r}, exit status {self.process.returncode}")
        self.url = line.split()[-1]
        self.token = (self.printer.directory / "tarvikd.token").read_text().splitlines()[0]

    def connection(self, timeout: float = 30) -> http.client.HTTPConnection:
        """A connection of its own to the service, for many requests."""
        host, port = self.url.removeprefix("http://").rsplit(":", 1)
        return http.client.HTTPConnection(host, int(port), timeout=timeout)

    def request(self, method: str, path: str, body: Any = None, headers: dict[str, str] | None = None,
                timeout: float = 30) -> tuple[int, dict[str, str], Any]:
        """One request, with the token and, for a body that is not bytes,
        as JSON. Gives the status, the headers and the body: decoded when it
        is JSON, else bytes."""
        sent = {"Authorization": f"Bearer {self.token}"}
        if body is not None and not isinstance(body, bytes):
            body = json.dumps(body).encode()
            sent["Content-Type"] = "application/json"
        sent.update(headers or {})
        connection = self.connection(timeout)
        try:
            connection.request(method, path, body, {k: v for k, v in sent.items() if v is not None})
            response = connection.getresponse()
            data = response.read()
        finally:
            connection.close()
        given = {k.lower(): v for k, v in response.getheaders()}
        if given.get("content-type", "").startswith("application/json"):
            return response.status, given, json.loads(data)
        return response.status, given, data

    def stop(self, signum: int = signal.SIGTERM, timeout: float = 60) -> int:
        """Sends ``signum`` and gives the exit status."""
        assert self.process is not None
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            return self.process.wait(timeout)
        finally:
            self.kill()

    def kill(self) -> None:
        assert self.process is not None
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        assert self.process.stdout is not None
        self.process.stdout.close()


@pytest.fixture
def tarvikd_options() -> list[str]:
    """The options that ``print_service`` starts ``tarvikd`` with, besides
    ``--dir`` and ``--listen``: override this fixture to give others
    (``["--origin", "http://127.0.0.1:8000"]``)."""
    return []


@pytest.fixture
def print_service(virtual_printer: VirtualPrinter, tarvikd_options: list[str]) -> Iterator[PrintService]:
    """``tarvikd`` started on ``virtual_printer``: see :class:`PrintService`.
    Runs the ``tarvikd`` named by ``$TARVIKD``, else the one on ``PATH``."""
    program = os.environ.get("TARVIKD") or shutil.which("tarvikd")
    if program is None:
        pytest.fail("tarvikd not found: install tarvikd, or name it in TARVIKD")
    service = PrintService(program, virtual_printer)
    service.start(*tarvikd_options)
    try:
        yield service
    finally:
        service.stop()
