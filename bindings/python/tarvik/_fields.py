"""The arguments as the library takes them, refused where the library would
silently replace or mangle them. Plain functions; nothing here touches the
port."""

from __future__ import annotations

import datetime
import decimal
import re

from .errors import DateError, EncodingError

PITCHES = "0123456789*+"
SELECTORS = "YVX"
MAX_LINE_FEEDS = 10
FIELD_BYTES = 92  # what the library sends of text1 and text2
AMOUNT_DIGITS = 12
# The library sends at most a line's width of a text (a check's fields 5 and
# 6: 60 bytes); what lies beyond this never leaves, so it is not carried to
# the worker either.
LONGEST_TEXT = 1024
# The worker's bound is whole seconds of a C int at most.
LONGEST_TIMEOUT = 2**31 - 1
_BANK = re.compile(r"([0-9]+)(-[0-9])?", re.ASCII)
# Reais with exactly two decimals: digits, optionally grouped in threes by
# one separator, then the other separator (or the only one) and the centavos.
_AMOUNT = re.compile(r"\s*(?:([0-9]{1,3})(?:([.,])[0-9]{3})(?:\2[0-9]{3})*|[0-9]+)([.,])([0-9]{2})\s*", re.ASCII)
_DATE = re.compile(r"([0-9]{1,2})/([0-9]{1,2})/([0-9]{2}|[0-9]{4})", re.ASCII)
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")

Text = str | bytes


def text(value: Text, encoding: str, what: str = "text") -> bytes:
    """A text in the printer's encoding; bytes as they are."""
    if isinstance(value, str):
        control = _CONTROL.search(value)
        if control is not None:
            raise ValueError(
                f"{what} holds the control character U+{ord(control.group()):04X}, which would reach the printer"
                " as a command of its own or a raw line; pass bytes to send such bytes on purpose"
            )
        try:
            data = value.encode(encoding)
        except UnicodeEncodeError as e:
            bad = value[e.start]
            raise EncodingError(
                f"{value!r}: {bad!r} (U+{ord(bad):04X}) is not in {encoding}; nothing was printed"
            ) from None
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise ValueError(f"{what} holds a NUL, which would end it early")
    return data


def check_text(value: Text, encoding: str, what: str, limit: int | None = None) -> bytes:
    """A check field's text: a '}' or an ESC would end the field early."""
    data = text(value, encoding, what)
    if b"}" in data or b"\x1b" in data:
        raise ValueError(f"{what} holds a '}}' or an ESC, which the printer cannot take in a check")
    if limit is not None and len(data) > limit:
        raise ValueError(f"{what} is {len(data)} bytes; a check field holds {limit}")
    return data[:LONGEST_TEXT]


def pitch(value: str) -> bytes:
    if not isinstance(value, str) or len(value) != 1 or value not in PITCHES:
        raise ValueError(f"pitch must be one of {PITCHES!r}, not {value!r}")
    return value.encode()


def line_text(value: Text, encoding: str) -> bytes:
    """A line's text, of which the library sends at most the line's width."""
    return text(value, encoding)[:LONGEST_TEXT]


def flag(double: bool) -> bytes:
    if not isinstance(double, bool):
        raise TypeError(f"double must be a bool, not {type(double).__name__} {double!r}")
    return b"S" if double else b"N"


def selector(value: str) -> bytes:
    if not isinstance(value, str) or len(value) != 1 or value not in SELECTORS:
        raise ValueError(f"selector must be 'Y', 'V' or 'X', not {value!r}")
    return value.encode()


def line_feeds(n: int) -> int:
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"n must be an int, not {type(n).__name__}")
    if not 0 <= n <= MAX_LINE_FEEDS:
        raise ValueError(f"n must be 0 to {MAX_LINE_FEEDS}, not {n}")
    return n


def date(value: Text | datetime.date, encoding: str) -> bytes:
    """A real day: D/M/YYYY, or D/M/YY in 20YY, or a ``datetime.date``."""
    if isinstance(value, datetime.date):
        return f"{value.day:02d}/{value.month:02d}/{value.year:04d}".encode()
    data = text(value, encoding, "date")
    m = _DATE.fullmatch(data.decode("latin-1"))
    try:
        if m is None:
            raise ValueError
        year = int(m.group(3)) + (2000 if len(m.group(3)) == 2 else 0)
        datetime.date(year, int(m.group(2)), int(m.group(1)))
    except ValueError:
        raise DateError(
            f"date {value!r} is no day of the calendar as D/M/YYYY, or D/M/YY in 20YY; nothing was printed"
        ) from None
    return data


def amount(value: str | bytes | int | decimal.Decimal, encoding: str) -> bytes:
    """The centavos, as the library reads an amount's digits."""
    if isinstance(value, float):
        raise TypeError("amount must not be a float, whose rounding is not yours: use Decimal, int centavos or str")
    if isinstance(value, decimal.Decimal):
        if not value.is_finite() or value < 0:
            raise ValueError(f"amount {value} is no amount of reais")
        # By its exponent, not through the context, whose rounding would
        # make Decimal("1.005") an amount.
        sign, digits, exponent = value.as_tuple()
        if not isinstance(exponent, int) or exponent < -2:
            raise ValueError(f"amount {value} has more than two decimal places")
        if exponent > AMOUNT_DIGITS:
            raise ValueError(f"amount {value} has more than {AMOUNT_DIGITS} digits")
        value = int("".join(map(str, digits)) or "0") * 10 ** (exponent + 2)
    if isinstance(value, int) and not isinstance(value, bool):
        if value < 0:
            raise ValueError(f"amount {value} is negative")
        cents = value
    elif isinstance(value, (str, bytes, bytearray)):
        data = text(value, encoding, "amount")
        m = _AMOUNT.fullmatch(data.decode("latin-1"))
        if m is None or m.group(2) == m.group(3):
            raise ValueError(
                f"amount {value!r} is not reais with two decimals (\"1.234,56\", \"1234.56\", \"0,50\");"
                " give centavos as an int (123456)"
            )
        cents = int(re.sub(r"[^0-9]", "", m.group(0)))
    else:
        raise TypeError(f"amount must be str, int or Decimal, not {type(value).__name__}")
    if len(str(cents)) > AMOUNT_DIGITS:
        raise ValueError(f"amount {value!r} has more than {AMOUNT_DIGITS} digits")
    return str(cents).encode()


def bank(value: str | int) -> bytes:
    """Always three digits: the library keeps the last three of the first
    five characters, so "000341" would become 034."""
    if isinstance(value, str):
        m = _BANK.fullmatch(value)
        if m is None:
            raise ValueError(f"bank {value!r} is not a code in digits, as \"341\" or \"341-7\"")
        value = int(m.group(1))
    elif isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"bank must be str or int, not {type(value).__name__}")
    if not 0 <= value <= 999:
        raise ValueError(f"bank code {value} is not from 0 to 999")
    return f"{value:03d}".encode()


def timeout(value: float | None) -> float | None:
    """None, or seconds above 0, as an int or a float."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be None or seconds as an int or a float, not {type(value).__name__}")
    if not (0 < value <= LONGEST_TIMEOUT):  # also NaN
        raise ValueError(f"timeout must be above 0 and at most {LONGEST_TIMEOUT} seconds, not {value}")
    return float(value)
