"""The picture of a job: its commands printed through the library onto a
private tarvik-virtual, which draws what it received. The bytes are the
library's own, so the service holds no second copy of their layout."""

from __future__ import annotations

import asyncio
import codecs
import contextlib
import json
import os
import shutil
import signal
import tempfile
from typing import Any

from . import spooler
from .jobs import Refusal


def unavailable(message: str) -> Refusal:
    return Refusal(503, "preview_unavailable", message)


def _without_port(ini: str) -> str:
    """tarvik.ini's lines but the port entries, so that the copy can never
    name the real printer, even before tarvik-virtual has put its own in."""
    return "".join(line for line in ini.splitlines(keepends=True) if "Porta=" not in line)


def _print(printer_class: type, directory: str, encoding: str, timeout: float,
           commands: list[Any]) -> None:
    printer = printer_class(directory, encoding, timeout)
    try:
        results, error = spooler.run(printer, commands)
    finally:
        printer.close()
    failed = error or next((r for r in results if not r["ok"]), None)
    if failed:
        raise unavailable(f"the commands could not be drawn: {failed['message']}")


def _is_ready(line: bytes) -> bool:
    with contextlib.suppress(ValueError, AttributeError):
        return json.loads(line).get("type") == "ready"
    return False


async def draw(printer_class: type, directory: str, encoding: str, timeout: float,
               commands: list[Any]) -> bytes:
    """The SVG picture of ``commands`` as the printer in ``directory`` (its
    bank layouts) would print them."""
    program = os.environ.get("TARVIK_VIRTUAL") or shutil.which("tarvik-virtual")
    if not program:
        raise unavailable("previews are drawn by tarvik-virtual, which was not found: install tarvik-tools")
    # A check counts as its nine fields, as tarvik-virtual --count counts.
    count = sum(9 if name == "check" else 1 for command in commands for name in command)
    with tempfile.TemporaryDirectory(prefix="tarvikd-preview-") as scratch:
        try:
            with open(os.path.join(directory, "tarvik.ini"), encoding="latin-1") as ini:
                banks = _without_port(ini.read())
        except OSError as e:
            raise unavailable(f"cannot read tarvik.ini in {directory}: {e.strerror}") from None
        with open(os.path.join(scratch, "tarvik.ini"), "w", encoding="latin-1") as copy:
            copy.write(banks)
        picture = os.path.join(scratch, "preview.svg")
        try:
            virtual = await asyncio.create_subprocess_exec(
                program, "--json", "--dir", scratch, "--svg", picture, "--count", str(count),
                "--charset", codecs.lookup(encoding).name,
                stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE,
            )
        except OSError as e:
            raise unavailable(f"cannot run {program}: {e.strerror}") from None
        try:
            async with asyncio.timeout(timeout):
                ready = await virtual.stdout.readline()
                if not _is_ready(ready):
                    raise unavailable(f"{program} did not start: {(await virtual.stderr.read()).decode(errors='replace')}")
                await asyncio.get_running_loop().run_in_executor(
                    None, _print, printer_class, scratch, encoding, timeout, commands)
                # It ends by itself after the last command, and then draws.
                _, said = await virtual.communicate()
        except TimeoutError:
            raise unavailable(f"{program} did not draw the preview within {timeout} s") from None
        finally:
            if virtual.returncode is None:
                with contextlib.suppress(ProcessLookupError):
                    virtual.send_signal(signal.SIGKILL)
                await virtual.wait()
        if virtual.returncode != 0:
            raise unavailable(f"{program} failed: {said.decode(errors='replace').strip()}")
        with open(picture, "rb") as svg:
            return svg.read()
