"""The printer commands as an integrator would script them with pyserial.

Driven by tarvik_bench over stdin: each line "COMMAND DIRECTORY" runs the
command once in that directory (reading its tarvik.ini) and answers the
nanoseconds it took, measured here, inside one interpreter.
"""
import os
import sys
import time

import serial


def lookup(needle):
    with open("tarvik.ini", "r", encoding="latin-1", newline="\n") as f:
        for line in f:
            if needle in line:
                return line.rstrip("\r\n")
    return None


def port_path():
    return "/dev/" + lookup("Porta=")[6:]


def run(blocks):
    port = serial.Serial(port_path(), 9600, bytesize=8, parity="N", stopbits=1,
                         rtscts=True, exclusive=True)
    try:
        for block in blocks:
            port.write(block)
    finally:
        port.close()


TEXT40 = "PAGAMENTO EFETUADO EM 15/03/2004 AGENCIA"
FRONT = {"0": 40, "1": 80}
BACK = {"0": 36, "1": 72}


def line(pitch, text, width):
    return b"\x1bd" + pitch.encode() + b"\x14" + text[:width].encode("latin-1")


def tarvlf(n):
    run([b"\n" * n + b"\0"])


def tarvtxt(pitch, text):
    run([line(pitch, text, FRONT[pitch]) + b"\n"])


def tarvaut(pitch, selector, text):
    run([b"\x1b" + selector.encode() + line(pitch, text, FRONT[pitch]) + b"\n"])


def tarvversotxt(pitch, text):
    run([b"\x1bd" + pitch.encode() + b"\r\0",
         b"\x14  " + text[:BACK[pitch] - 1].encode("latin-1") + b"\n"])


def field(code, text):
    return b"\x1b.590" + code.encode() + text.encode("latin-1") + b"}"


def tarvcheque(text1, text2, date, amount, text5, text6, bank):
    path = port_path()
    entry = lookup(bank)
    layout = entry[4:] if entry else "05,15,08,06,06,05,05"
    d, m, y = date.split("/")
    digits = "".join(ch for ch in amount if ch.isdigit()).zfill(12)
    port = serial.Serial(path, 9600, bytesize=8, parity="N", stopbits=1,
                         rtscts=True, exclusive=True)
    try:
        for code, text in (("1", text1), ("2", text2),
                           ("3", d.zfill(2) + m.zfill(2) + y[-2:]),
                           ("4", digits), ("5", text5[:60]), ("6", text6[:60]),
                           ("7", "REAL"), ("8", "REAIS"),
                           ("9", "000S" + layout.replace(",", ""))):
            port.write(field(code, text))
    finally:
        port.close()


def open_close():
    serial.Serial(port_path(), 9600, bytesize=8, parity="N", stopbits=1,
                  rtscts=True, exclusive=True).close()


COMMANDS = {
    "tarvlf(3)": lambda: tarvlf(3),
    "tarvtxt": lambda: tarvtxt("0", TEXT40),
    "tarvaut": lambda: tarvaut("0", "Y", TEXT40),
    "tarvversotxt": lambda: tarvversotxt("0", TEXT40),
    "tarvcheque": lambda: tarvcheque("PAGUE POR ESTE CHEQUE", "FULANO DE TAL",
                                     "15/03/2004", "1.234,56", "SAO PAULO", "", "237"),
    "serial_open+close": open_close,
}


def main():
    print("ready", flush=True)
    here = None
    for request in sys.stdin:
        name, directory = request.split()
        if directory != here:
            os.chdir(directory)
            here = directory
        command = COMMANDS[name]
        start = time.perf_counter_ns()
        command()
        took = time.perf_counter_ns() - start
        print(took, flush=True)


if __name__ == "__main__":
    main()
