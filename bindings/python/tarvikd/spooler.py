"""The print queue: one job at a time, oldest first, each under one hold of
the port, its state committed to the journal before its first byte and after
its last. The library calls run in the Printer's worker; this side only
waits for them in a thread of its own, so the HTTP side keeps answering."""

from __future__ import annotations

import asyncio
import concurrent.futures
import sys
from collections.abc import Awaitable, Callable
from typing import Any

import tarvik

from . import jobs

# The error names of the job object, as the package names its failures.
# DateError and EncodingError are ValueErrors too: the package's own come first.
_ERRORS = (
    (tarvik.PortError, "port"),
    (tarvik.SendError, "send"),
    (tarvik.PrinterTimeout, "timeout"),
    (tarvik.DateError, "date"),
    (tarvik.ConfigError, "config"),
    (tarvik.LibraryError, "library"),
    (tarvik.EncodingError, "bad_request"),
    (ValueError, "bad_request"),
    (TypeError, "bad_request"),
)


def failure(e: BaseException) -> dict[str, Any]:
    name = next((name for kind, name in _ERRORS if isinstance(e, kind)), "internal")
    return {"ok": False, "error": name, "message": str(e) or type(e).__name__, "errno": getattr(e, "errno", None)}


def run(printer: Any, commands: list[Any]) -> tuple[list[dict[str, Any]], dict[str, Any] | None]:
    """Prints a job's commands under one hold; stops at the first failure.
    Gives the results of the commands carried out, and the failure outside
    them (the hold not taken or not ended), if any. Never raises."""
    results: list[dict[str, Any]] = []
    try:
        # Checked when the job was queued; a later start with another
        # encoding could refuse it, and then nothing of it is printed.
        prepared = [printer.prepare(name, **jobs.arguments(name, members, name))
                    for command in commands for name, members in command.items()]
        with printer.hold():
            for command in prepared:
                try:
                    printer.send(command)
                except Exception as e:
                    results.append(failure(e))
                    break
                results.append({"ok": True})
    except jobs.Refusal as e:
        return results, {"ok": False, "error": e.error, "message": e.message, "errno": None}
    except Exception as e:
        return results, failure(e)
    return results, None


class Spooler:
    def __init__(self, printer: Any, journal: Callable[..., Awaitable[Any]]) -> None:
        self.printer = printer
        self._journal = journal  # runs a Journal method in the journal's thread
        self._thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tarvikd-print")
        self._wake = asyncio.Event()
        self._stopping = False
        self._waiters: dict[int, list[asyncio.Future[None]]] = {}
        self.printing: int | None = None

    def wake(self) -> None:
        """A job was queued."""
        self._wake.set()

    def ended(self, id: int) -> None:
        """Job ``id`` has ended: its waiters go on."""
        for waiter in self._waiters.pop(id, []):
            if not waiter.done():
                waiter.set_result(None)

    def waiter(self, id: int) -> asyncio.Future[None]:
        """A future done when job ``id`` ends (or the service stops). Take
        it before reading the job's state, so that no ending falls between."""
        future = asyncio.get_running_loop().create_future()
        self._waiters.setdefault(id, []).append(future)
        return future

    def forget(self, id: int, future: asyncio.Future[None]) -> None:
        waiters = self._waiters.get(id, [])
        if future in waiters:
            waiters.remove(future)
            if not waiters:
                del self._waiters[id]

    async def run(self) -> None:
        """Prints until stop(); the job being printed is finished first."""
        loop = asyncio.get_running_loop()
        while not self._stopping:
            self._wake.clear()
            job = await self._journal("next")
            if job is None:
                await self._wake.wait()
                continue
            self.printing = job["id"]
            results, error = await loop.run_in_executor(self._thread, run, self.printer, job["commands"])
            whole = error is None and len(results) == len(job["commands"]) and all(r["ok"] for r in results)
            state = "printed" if whole else "failed"
            await self._journal("finish", job["id"], state, results, error)
            self.printing = None
            self.ended(job["id"])
            print(f"tarvikd: job {job['id']} {state}", file=sys.stderr, flush=True)
        for id in list(self._waiters):
            self.ended(id)

    def stop(self) -> None:
        self._stopping = True
        self._wake.set()

    def close(self) -> None:
        self._thread.shutdown()
