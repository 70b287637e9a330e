"""The arguments as the library takes them, refused where the library would
silently replace or mangle them. Plain functions; nothing here touches the
port."""

from __future__ import annotations

import datetime
import decimal
import re

from .errors import EncodingError

PITCHES = "0123456789*+"
SELECTORS = "YVX"
MAX_LINE_FEEDS = 10
FIELD_BYTES = 92  # what the library sends of text1 and text2
AMOUNT_DIGITS = 12
_BANK = re.compile(r"([0-9]+)(-[0-9])?", re.ASCII)

Text = str | bytes


def text(value: Text, encoding: str, what: str = "text") -> bytes:
    """A text in the printer's encoding; bytes as they are."""
    if isinstance(value, str):
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
    return data


def pitch(value: str) -> bytes:
    if not isinstance(value, str) or len(value) != 1 or value not in PITCHES:
        raise ValueError(f"pitch must be one of {PITCHES!r}, not {value!r}")
    return value.encode()


def flag(double: bool) -> bytes:
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
    if isinstance(value, datetime.date):
        return f"{value.day:02d}/{value.month:02d}/{value.year:04d}".encode()
    return text(value, encoding, "date")


def amount(value: str | bytes | int | decimal.Decimal, encoding: str) -> bytes:
    """The library reads an amount's digits in order, as centavos."""
    if isinstance(value, float):
        raise TypeError("amount must not be a float, whose rounding is not yours: use Decimal, int centavos or str")
    if isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise ValueError(f"amount {value} is no amount")
        cents = value * 100
        if cents != cents.to_integral_value():
            raise ValueError(f"amount {value} has more than two decimal places")
        value = int(cents)
    if isinstance(value, int) and not isinstance(value, bool):
        if value < 0:
            raise ValueError(f"amount {value} is negative")
        data = str(value).encode()
    elif isinstance(value, (str, bytes, bytearray)):
        data = text(value, encoding, "amount")
        if b"-" in data:
            raise ValueError(f"amount {value!r} holds a '-': the printer cannot print a negative amount")
        # The library takes the digits as centavos, so "12.5" would print
        # R$ 1,25 and "1.234" R$ 12,34: after a separator come the centavos.
        last = max(data.rfind(b"."), data.rfind(b","))
        if last >= 0 and not re.fullmatch(rb"[0-9]{2}\s*", data[last + 1 :]):
            raise ValueError(
                f"amount {value!r}: its last '.' or ',' is not followed by two digits of centavos"
                " (\"12.50\", \"1.234,00\"); the library would read another amount"
            )
    else:
        raise TypeError(f"amount must be str, int or Decimal, not {type(value).__name__}")
    digits = bytes(c for c in data if 0x30 <= c <= 0x39).lstrip(b"0")
    if len(digits) > AMOUNT_DIGITS:
        raise ValueError(f"amount {value!r} has more than {AMOUNT_DIGITS} digits")
    return data


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
