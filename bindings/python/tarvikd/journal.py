"""The journal: every job accepted, in SQLite (WAL, synchronous=FULL), so that
nothing answered with 201 is lost and nothing is printed twice. One thread
uses it: the service runs every method in a single-thread executor, so that
nothing comes between the steps of one, and a lock on the file keeps a second
service away. Each change is one statement, committed as it runs."""

from __future__ import annotations

import datetime
import fcntl
import json
import os
import sqlite3
from typing import Any

from .jobs import Refusal, canonical

ENDED = ("printed", "failed", "cancelled", "unknown")
STATES = ("queued", "printing", *ENDED)
MAX_QUEUED = 1000
KEPT = datetime.timedelta(days=30)

_SCHEMA = """
CREATE TABLE IF NOT EXISTS jobs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    key TEXT UNIQUE,
    commands TEXT NOT NULL,
    state TEXT NOT NULL,
    results TEXT NOT NULL DEFAULT '[]',
    error TEXT,
    created TEXT NOT NULL,
    started TEXT,
    finished TEXT
);
CREATE INDEX IF NOT EXISTS jobs_by_state ON jobs (state, id);
"""


def now() -> str:
    """ISO 8601 UTC with milliseconds; in this form the texts sort as the times."""
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


class JournalError(Exception):
    pass


class Journal:
    def __init__(self, path: str) -> None:
        try:
            # A second service on the same journal would take the first one's
            # printing job for unknown, and print its queue too.
            self._lock = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except OSError as e:
            raise JournalError(f"cannot open the journal {path}: {e.strerror}") from None
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self._db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
            self._db.row_factory = sqlite3.Row
            if self._db.execute("PRAGMA journal_mode=WAL").fetchone()[0] != "wal":
                raise sqlite3.OperationalError("it cannot be put in WAL mode")
            self._db.execute("PRAGMA synchronous=FULL")
            self._db.executescript(_SCHEMA)
        except BlockingIOError:
            os.close(self._lock)
            raise JournalError(f"cannot open the journal {path}: another tarvikd uses it") from None
        except sqlite3.Error as e:
            os.close(self._lock)
            raise JournalError(f"cannot open the journal {path}: {e}") from None

    def close(self) -> None:
        self._db.close()
        os.close(self._lock)

    def _write(self, sql: str, *args: Any) -> sqlite3.Cursor:
        return self._db.execute(sql, args)

    def recover(self) -> tuple[int, int]:
        """At start: a job left printing may be on paper, part or all, so it
        becomes unknown, never to be printed again; ended jobs past their
        30 days go. Gives how many of each."""
        at = now()
        lost = self._write(
            "UPDATE jobs SET state = 'unknown', finished = ?, error = ? WHERE state = 'printing'",
            at,
            json.dumps(_unknown),
        ).rowcount
        cutoff = (datetime.datetime.now(datetime.timezone.utc) - KEPT).isoformat(timespec="milliseconds")
        gone = self._write(
            f"DELETE FROM jobs WHERE state IN {ENDED} AND finished < ?", cutoff.replace("+00:00", "Z")
        ).rowcount
        return lost, gone

    def add(self, key: str | None, commands: list[Any]) -> tuple[dict[str, Any], bool]:
        """The job, and whether it is new. A known key with the same commands
        gives its job whatever its state; with others, 409."""
        text = json.dumps(commands, separators=(",", ":"))
        if key is not None:
            row = self._db.execute("SELECT * FROM jobs WHERE key = ?", (key,)).fetchone()
            if row is not None:
                if canonical(json.loads(row["commands"])) != canonical(commands):
                    raise Refusal(409, "conflict", f"the key {key!r} belongs to job {row['id']}, with other commands")
                return job(row), False
        if self.queued() >= MAX_QUEUED:
            raise Refusal(503, "queue_full", f"{MAX_QUEUED} jobs are queued already; nothing was queued")
        cursor = self._write(
            "INSERT INTO jobs (key, commands, state, created) VALUES (?, ?, 'queued', ?)", key, text, now()
        )
        return self.get(cursor.lastrowid), True

    def get(self, id: int) -> dict[str, Any]:
        row = self._db.execute("SELECT * FROM jobs WHERE id = ?", (id,)).fetchone()
        if row is None:
            raise Refusal(404, "not_found", f"there is no job {id}")
        return job(row)

    def list(self, state: str | None, limit: int) -> list[dict[str, Any]]:
        where, args = ("WHERE state = ?", (state,)) if state else ("", ())
        rows = self._db.execute(f"SELECT * FROM jobs {where} ORDER BY id DESC LIMIT ?", (*args, limit))
        return [job(row) for row in rows]

    def cancel(self, id: int) -> dict[str, Any]:
        found = self.get(id)
        if found["state"] != "queued":
            raise Refusal(409, "conflict", f"job {id} is {found['state']}: only a queued job can be cancelled")
        self._write("UPDATE jobs SET state = 'cancelled', finished = ? WHERE id = ?", now(), id)
        return self.get(id)

    def next(self) -> dict[str, Any] | None:
        """The oldest queued job, now marked printing: committed before its
        first byte goes out."""
        row = self._db.execute("SELECT * FROM jobs WHERE state = 'queued' ORDER BY id LIMIT 1").fetchone()
        if row is None:
            return None
        self._write("UPDATE jobs SET state = 'printing', started = ? WHERE id = ?", now(), row["id"])
        return self.get(row["id"])

    def finish(self, id: int, state: str, results: list[Any], error: Any) -> None:
        self._write(
            "UPDATE jobs SET state = ?, results = ?, error = ?, finished = ? WHERE id = ?",
            state,
            json.dumps(results),
            None if error is None else json.dumps(error),
            now(),
            id,
        )

    def queued(self) -> int:
        return self._db.execute("SELECT count(*) FROM jobs WHERE state = 'queued'").fetchone()[0]


_unknown = {
    "ok": False,
    "error": "unknown",
    "message": "the service ended while the job was printing: part or all of it may be on paper,"
    " and it is not printed again",
    "errno": None,
}


def job(row: sqlite3.Row) -> dict[str, Any]:
    """The job object of the interface."""
    return {
        "id": row["id"],
        "key": row["key"],
        "state": row["state"],
        "commands": json.loads(row["commands"]),
        "results": json.loads(row["results"]),
        "error": None if row["error"] is None else json.loads(row["error"]),
        "created": row["created"],
        "started": row["started"],
        "finished": row["finished"],
    }
