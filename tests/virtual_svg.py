#!/usr/bin/env python3
"""tarvik-virtual --replay --svg draws a session as well-formed SVG that holds
the texts, checks and marks it must.
Usage: virtual_svg.py WORKDIR [EMULATOR] PROGRAM"""
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

work, program = sys.argv[1], sys.argv[2:]
os.makedirs(work, exist_ok=True)
stream_path = os.path.join(work, "session.bin")
svg_path = os.path.join(work, "session.svg")


def front(pitch, control, text):
    return b"\x1bd" + pitch + control + text + b"\n"


def field(code, text):
    return b"\x1b.590" + code + text + b"}"


full = b"0123456789" * 4
stream = (
    front(b"0", b"\x14", full)
    + front(b"0", b"\x0e", full[:20])
    + front(b"1", b"\x14", b"A\x1bB \xe9 <&>")
    + b"\x1bY" + front(b"2", b"\x14", b"AUT 42")
    + b"\n\n\x00"
    + field(b"1", b"MIL REAIS") + field(b"2", b"LINHA DOIS") + field(b"3", b"081226")
    + field(b"4", b"000000123456") + field(b"5", b"FULANO") + field(b"6", b"SAO PAULO")
    + field(b"7", b"REAL") + field(b"8", b"REAIS") + field(b"9", b"000S06140806060505")
    + b"\x1b.5915}\x00\n\x00"
    + b"\x1bd2\r\x00\x14  VERSO UM\n"
    + front(b"0", b"\x14", b"VERSO DOIS")
    + b"\x1b.5916}\x00"
    + b"\x1bZ"
)
with open(stream_path, "wb") as f:
    f.write(stream)
subprocess.run(program + ["--replay", stream_path, "--svg", svg_path], check=True,
               stdout=subprocess.DEVNULL)

root = ET.parse(svg_path).getroot()
assert root.tag == "{http://www.w3.org/2000/svg}svg", root.tag
texts = [el for el in root.iter("{http://www.w3.org/2000/svg}text")]
content = ["".join(el.itertext()) for el in texts]
failures = []


def need(text):
    if text not in content:
        failures.append("missing text %r" % text)


def order(*items):
    at = [content.index(t) if t in content else -1 for t in items]
    if -1 in at or at != sorted(at):
        failures.append("out of order: %r at %r" % (items, at))


for t in ["Front", "Back", full.decode(), full[:20].decode(), "A\\x1BB é <&>", "AUT 42",
          "R$ 1.234,56", "08/12/26", "MIL REAIS", "LINHA DOIS", "FULANO", "SAO PAULO",
          "REAL / REAIS", "layout 06140806060505", "1", "2", "5", "6",
          "VERSO UM", "VERSO DOIS", "unknown: 1B 5A"]:
    need(t)
if not any(t.startswith("AUT Y") for t in content):
    failures.append("the authentication is not marked with its selector")
order("Front", full.decode(), "AUT 42", "R$ 1.234,56", "Back", "VERSO UM", "VERSO DOIS")
# A full line fills the paper at either width.
for el, t in zip(texts, content):
    if t in (full.decode(), full[:20].decode()) and el.get("textLength") != "640.0":
        failures.append("%r is %s wide" % (t, el.get("textLength")))

# A text in a charset that yields U+FFFE, U+FFFF or a code point beyond
# U+10FFFF, which XML cannot hold: still well-formed, the three drawn as
# escapes.
with open(stream_path, "wb") as f:
    f.write(front(b"0", b"\x14", b"A\xef\xbf\xbeB\xef\xbf\xbfC\xf4\x90\x80\x80"))
subprocess.run(program + ["--replay", stream_path, "--charset", "UTF-8", "--svg", svg_path],
               check=True, stdout=subprocess.DEVNULL)
try:
    odd = ["".join(el.itertext()) for el in ET.parse(svg_path).getroot().iter(
        "{http://www.w3.org/2000/svg}text")]
    if "A\\uFFFEB\\uFFFFC\\U00110000" not in odd:
        failures.append("U+FFFE, U+FFFF and U+110000 not escaped: %r" % odd)
except ET.ParseError as e:
    failures.append("not well-formed with U+FFFF in a text: %s" % e)

os.remove(stream_path)
os.remove(svg_path)
os.rmdir(work)
if failures:
    print("\n".join(failures))
    sys.exit(1)
print("svg ok: %d texts" % len(content))
