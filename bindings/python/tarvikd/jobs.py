"""A job's body as the interface takes it, checked whole by the package's own
rules before anything is queued: the commands and their members are the
Printer's methods and parameters, so that the service has no rules of its own
on texts, amounts, dates and banks."""

from __future__ import annotations

import datetime
import inspect
import json
import re
from typing import Any

import tarvik

MAX_COMMANDS = 50
MAX_KEY = 128
COMMANDS = ("check", "text", "authenticate", "back_text", "line_feed", "back_side_on", "back_side_off")
# Each command's parameters, with their defaults, as the package's methods have them.
PARAMETERS = {
    name: [p for p in inspect.signature(getattr(tarvik.Printer, name)).parameters.values() if p.name != "self"]
    for name in COMMANDS
}
# Values that every rule takes, to try one member of a refused command alone
# and so name the one at fault.
_NEUTRAL = {"text": "", "text1": "", "text2": "", "date": "01/01/2025", "amount": 0, "text5": "", "text6": "", "bank": 0}
_ISO_DATE = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", re.ASCII)
_KEY = re.compile(r"[\x20-\x7e]{1,%d}" % MAX_KEY)


class Refusal(Exception):
    """An answer other than success: its HTTP status, its ``error`` code, a
    sentence, and the member at fault where there is one."""

    def __init__(self, status: int, error: str, message: str, field: str | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.error = error
        self.message = message
        self.field = field

    def body(self) -> dict[str, Any]:
        answer = {"error": self.error, "message": self.message}
        if self.field is not None:
            answer["field"] = self.field
        return answer


def bad(message: str, field: str | None = None) -> Refusal:
    return Refusal(400, "bad_request", message, field)


def _refuse_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def parse(body: bytes) -> Any:
    """The body as JSON, strictly: UTF-8, no NaN or Infinity."""
    try:
        return json.loads(body.decode("utf-8"), parse_constant=_refuse_constant)
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise bad(f"the body is not JSON: {e}") from None


def argument(name: str, value: Any, field: str) -> Any:
    """A member's JSON value as the package's method takes it. A number with
    a fraction is a float, which the package refuses for an amount."""
    if name == "date" and isinstance(value, str) and _ISO_DATE.fullmatch(value):
        try:
            return datetime.date.fromisoformat(value)
        except ValueError:
            raise bad(f"date {value!r} is no day of the calendar", field) from None
    return value


def arguments(name: str, members: Any, where: str) -> dict[str, Any]:
    """The checked shape of one command's members, with JSON's values turned
    into the package's: unknown and missing members are refused."""
    if not isinstance(members, dict):
        raise bad(f"{where} must be an object of the members of {name}", where)
    known = {p.name: p for p in PARAMETERS[name]}
    for member in members:
        if member not in known:
            raise bad(f"{name} has no member {member!r}; it takes {sorted(known) or 'none'}", f"{where}.{member}")
    for p in known.values():
        if p.default is inspect.Parameter.empty and p.name not in members:
            raise bad(f"{name} needs its member {p.name!r}", f"{where}.{p.name}")
    return {m: argument(m, v, f"{where}.{m}") for m, v in members.items()}


def commands(value: Any, printer: Any) -> list[tuple[str, dict[str, Any]]]:
    """Every command checked and prepared by ``printer``; the first refusal,
    with its field, is raised."""
    if not isinstance(value, list) or not 1 <= len(value) <= MAX_COMMANDS:
        raise bad(f"commands must be a list of 1 to {MAX_COMMANDS} commands", "commands")
    prepared = []
    for i, command in enumerate(value):
        where = f"commands[{i}]"
        if not isinstance(command, dict) or len(command) != 1:
            raise bad(f"{where} must be an object with exactly one member, the command's name", where)
        ((name, members),) = command.items()
        if name not in COMMANDS:
            raise bad(f"{name!r} is no command; the commands are {', '.join(COMMANDS)}", f"{where}.{name}")
        where += f".{name}"
        args = arguments(name, members, where)
        prepared.append((name, _prepare(printer, name, args, where)))
    return prepared


def _prepare(printer: Any, name: str, args: dict[str, Any], where: str) -> Any:
    try:
        return printer.prepare(name, **args)
    except (ValueError, TypeError) as refused:
        # Which member: the first one that the rules refuse on its own.
        required = {p.name for p in PARAMETERS[name] if p.default is inspect.Parameter.empty}
        for member, value in args.items():
            alone = {p: _NEUTRAL[p] for p in required} | {member: value}
            try:
                printer.prepare(name, **alone)
            except (ValueError, TypeError) as e:
                raise bad(str(e), f"{where}.{member}") from None
        raise bad(str(refused), where) from None


def job(body: Any, printer: Any, keyed: bool = True) -> tuple[str | None, list[Any], list[Any]]:
    """The key, the commands as received and the prepared ones of a job's
    body. A preview (``keyed`` false) keeps nothing, so it takes no key."""
    if not isinstance(body, dict):
        raise bad("the body must be a JSON object with the member commands")
    for member in body:
        if member not in ("key", "commands"):
            raise bad(f"a job has no member {member!r}", member)
    key = body.get("key")
    if "key" in body and not keyed:
        raise bad("a preview keeps nothing, so it takes no key", "key")
    if key is not None and not (isinstance(key, str) and _KEY.fullmatch(key)):
        raise bad(f"key must be 1 to {MAX_KEY} printable ASCII characters", "key")
    if "commands" not in body:
        raise bad("a job needs its member commands", "commands")
    return key, body["commands"], commands(body["commands"], printer)


def canonical(commands: list[Any]) -> str:
    """One text for the same commands, whatever the order of their members."""
    return json.dumps(commands, sort_keys=True, separators=(",", ":"))
