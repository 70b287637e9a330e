"""Whether the printer is ready, as ``tarvik-print status --json`` finds it:
the one reader of the port entry and of the device's modem lines, so that
Python and the shell cannot disagree."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from dataclasses import dataclass

from .errors import ConfigError, PrinterTimeout, ToolError

# tarvik-print's exit status for each state.
_STATES = {0: "ready", 1: "no_port", 2: "not_ready", 3: "cannot_tell"}


@dataclass(frozen=True)
class Holder:
    """The process that holds the port's lock: its ``pid`` and ``name`` as
    ``/proc`` shows them, ``None`` where it could not be found."""

    pid: int | None
    name: str | None


@dataclass(frozen=True)
class Status:
    """The printer's line as it is now.

    ``state`` is one of:

    - ``"ready"``: CTS is on;
    - ``"not_ready"``: CTS is off: the printer is switched off, out of paper
      or has its cover open, or the cable is out; commands wait for it;
    - ``"cannot_tell"``: the device has no modem lines, as a pseudo-terminal
      or a port carried over the network has none;
    - ``"no_port"``: the port does not open, or ``tarvik.ini`` names none;
      ``tarvik-print doctor`` tells how to mend it.

    ``cts``, ``dsr`` and ``dcd`` are the lines as seen, ``None`` where they
    were not read. ``device`` is the path that ``tarvik.ini`` names, ``None``
    when it names none. ``holder`` is the process that holds the port's lock
    now (commands wait for it), or ``None``. ``message`` says it in words.
    """

    state: str
    device: str | None
    cts: bool | None
    dsr: bool | None
    dcd: bool | None
    holder: Holder | None
    message: str

    @property
    def ready(self) -> bool:
        """Whether CTS is on."""
        return self.state == "ready"


def status(directory: str | None, timeout: float | None) -> Status:
    """Runs ``tarvik-print status --json`` in ``directory`` (``None``: the
    current one): the program named by ``TARVIK_PRINT``, else the one on
    ``PATH``."""
    tool = os.environ.get("TARVIK_PRINT") or shutil.which("tarvik-print")
    if not tool:
        raise ToolError(
            "status() runs tarvik-print, which was not found: install the package tarvik-tools, "
            "or name the program in the environment variable TARVIK_PRINT"
        )
    # It runs in the printer's directory: a relative path (in TARVIK_PRINT,
    # or from a relative entry of PATH) is taken from here, not from there.
    if os.sep in tool:
        tool = os.path.abspath(tool)
    if directory is not None and not os.path.isdir(directory):
        raise ConfigError(f"cannot use the directory {directory}: it is not a directory")
    try:
        run = subprocess.run(
            [tool, "status", "--json"],
            cwd=directory,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            encoding="utf-8",
            errors="replace",
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        raise PrinterTimeout(f"{tool} status did not answer within {timeout} s") from None
    except OSError as e:
        raise ToolError(f"cannot run {tool}: {e.strerror}") from None
    try:
        found = json.loads(run.stdout)
        if found["state"] != _STATES.get(run.returncode):
            raise ValueError
        holder = found["holder"]
        return Status(
            state=found["state"],
            device=found["device"],
            cts=found["cts"],
            dsr=found["dsr"],
            dcd=found["dcd"],
            holder=None if holder is None else Holder(holder["pid"], holder["name"]),
            message=found["message"],
        )
    except (ValueError, KeyError, TypeError):
        # Not its answer: another program, or one that failed.
        said = (run.stderr or run.stdout).strip()
        raise ToolError(f"{tool} status failed with exit status {run.returncode}: {said}") from None
