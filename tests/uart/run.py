#!/usr/bin/env python3
"""Boots the 32-bit guest under QEMU with the printer on ttyS1, drives the
steps of guest.cpp through the console, and checks on the real 8250 driver:
  - each command's bytes arrive exactly, all of them sent at 9600 8N1 with
    RTS raised, and the port's own settings (115200 7E2) are back after it;
  - with CTS off nothing leaves until CTS returns, and then everything does;
  - with CTS off and a repeating timer, the command returns 0 with EINTR,
    the port is back at its settings, and nothing leaves when CTS returns;
    the same for a command nested in the application's own hold, whose
    serial_close then does not wait for CTS;
  - two processes printing at once never mix their commands;
  - tarvik-print status says ready with CTS on and not ready with CTS off,
    sending nothing and leaving the settings; the doctor warns of CTS off;
    --timeout 1 ends the wait for CTS and for another process's lock with
    status 124 within 1 to 3 s, the port back at its settings and nothing
    sent when CTS returns.
Beside each timed command, its floor (the same system calls made bare)
runs in the same boot; times.txt gives both.
The wire log (wire.so, preloaded into QEMU) gives the line settings and the
bytes on one clock; its byte count must match what arrives."""
import argparse
import gzip
import json
import os
import re
import select
import shutil
import stat
import subprocess
import sys
import time
import tty

HOLD_S = 1.5  # CTS held off while a command waits for it
ALARM_HOLD_S = 20.0  # at most, CTS held off across a timer that fires every second
EINTR = 4
TIMED_OUT = 124  # tarvik-print's status when --timeout ran out
OWN = "115200 7E2 -crtscts"
BOOT_TIMEOUT_S = 180
STEP_TIMEOUT_S = 60


def field(code, text):
    return b"\x1b.590" + code.encode() + text.encode() + b"}"


def cheque(text1):
    parts = [text1, "FULANO DE TAL", "150304", "000000123456", "SAO PAULO", "", "REAL",
             "REAIS", "000S05150806060505"]
    return b"".join(field(str(i + 1), t) for i, t in enumerate(parts))


def verso(text):
    return b"\x1bd0\x0d\x00" + b"\x14  " + text.encode() + b"\n"


# What each step must put on the wire.
EXPECTED = {
    "tarvlf": b"\n\n\n\x00",
    "tarvabreverso": b"\x1b.5915}\x00\n\x00",
    "tarvfechaverso": b"\x1b.5916}\x00",
    "tarvtxt": b"\x1bd0\x14TEXTO NA FRENTE DO DOCUMENTO 0123456789\n",
    "tarvaut": b"\x1bV\x1bd1\x0eAUTENTICACAO 0001\n",
    "tarvversotxt": verso("TEXTO NO VERSO DO DOCUMENTO"),
    "tarvcheque": cheque("PAGUE POR ESTE CHEQUE"),
    "hold": b"\x1bd0\x14ESPERA CTS\n",
    "after": b"\n\x00",  # what follows a step cut short
}
TIMED = ["tarvlf", "tarvabreverso", "tarvfechaverso", "tarvtxt", "tarvaut", "tarvversotxt",
         "tarvcheque"]


def process_calls(letter):
    calls = []
    for i in range(3):
        calls.append(cheque(f"PROCESSO {letter} CHEQUE {i}"))
        calls.append(verso(f"PROCESSO {letter} VERSO {i}"))
    return calls


class Failure(Exception):
    pass


def newc(files):
    """A newc cpio archive of (path, mode, data) entries."""
    out = bytearray()
    for ino, (path, mode, data) in enumerate(files + [("TRAILER!!!", 0, b"")], 1):
        name = path.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0]
        out += b"070701" + b"".join(b"%08X" % f for f in fields) + name
        out += b"\0" * (-len(out) % 4)
        out += data + b"\0" * (-len(data) % 4)
    return bytes(out)


def initramfs(args, path):
    files, dirs = [], set()

    def add(dest, src, mode=0o755):
        parts = dest.split("/")
        for i in range(1, len(parts)):
            d = "/".join(parts[:i])
            if d and d not in dirs:
                dirs.add(d)
                files.append((d, stat.S_IFDIR | 0o755, b""))
        with open(src, "rb") as f:
            files.append((dest, stat.S_IFREG | mode, f.read()))

    add("init", args.init)
    add("bin/busybox", os.path.join(args.cache, "busybox"))
    add("bin/guest", args.guest)
    add("bin/tarvik-print", args.print)
    # The 32-bit runtime from the host's packages (multilib, or i386 beside
    # amd64), where the guest's loader looks for it. The loader lists it under
    # qemu-i386: ldd would run it natively, which a kernel without 32-bit
    # support refuses.
    env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(args.lib))
    runtime = set()
    for program in (args.guest, args.print):
        listed = subprocess.run(["qemu-i386", "/lib/ld-linux.so.2", "--list", program], env=env,
                                capture_output=True, text=True, check=True)
        for line in listed.stdout.splitlines():
            m = re.search(r"(/\S+) \(0x", line)
            if m and "libtarvik" not in m.group(1):
                runtime.add(m.group(1))
    for lib in sorted(runtime):
        add(lib.lstrip("/"), os.path.realpath(lib))
    # The library beside the C library, in a folder that the loader searches.
    libc = next(lib for lib in runtime if os.path.basename(lib) == "libc.so.6")
    add(os.path.join(os.path.dirname(libc), "libtarvik.so.1").lstrip("/"), args.lib)
    for d in ("dev", "proc", "sys", "tmp"):
        files.append((d, stat.S_IFDIR | 0o755, b""))
    with gzip.open(path, "wb", compresslevel=1) as f:
        f.write(newc(files))


class Rig:
    def __init__(self, args):
        self.work = args.work
        self.master, slave = os.openpty()
        tty.setraw(slave)  # QEMU adds OPOST; without ONLCR it changes nothing
        self.slave = slave  # kept open so the master never sees a hang-up
        os.set_blocking(self.master, False)
        self.ctl = os.path.join(self.work, "cts")
        with open(self.ctl, "wb") as f:
            f.write(b"1")
        self.log = os.path.join(self.work, "wire.log")
        self.console = []
        self.started = {}  # step name: when the host let it go
        self.pending = []  # console lines seen during a hold, not yet expected
        self.partial = b""
        self.wire = bytearray()
        self.arrivals = []  # (monotonic ns, offset after the chunk)
        env = dict(os.environ, LD_PRELOAD=args.preload, TARVIK_UART_PTY=os.ttyname(slave),
                   TARVIK_UART_CTL=self.ctl, TARVIK_UART_LOG=self.log)
        cmd = ["qemu-system-i386", "-M", "pc", "-m", "256", "-nodefaults", "-display", "none",
               "-no-reboot", "-kernel", os.path.join(args.cache, "vmlinuz"),
               "-initrd", os.path.join(self.work, "initrd.gz"),
               "-append", "console=ttyS0 quiet loglevel=1 rdinit=/init panic=-1 8250.nr_uarts=2",
               "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
               "-chardev", f"serial,id=prn,path={os.ttyname(slave)}", "-serial", "chardev:prn",
               "-monitor", "none"]
        self.stderr = open(os.path.join(self.work, "qemu.err"), "wb")
        self.qemu = subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr)
        os.set_blocking(self.qemu.stdout.fileno(), False)

    def cts(self, on):
        fd = os.open(self.ctl, os.O_WRONLY)
        os.pwrite(fd, b"1" if on else b"0", 0)
        os.close(fd)

    def send(self, line):
        self.qemu.stdin.write(line.encode() + b"\n")
        self.qemu.stdin.flush()

    def pump(self, deadline):
        """Takes in console lines and wire bytes until the deadline or the
        next console line. Returns the line, or None."""
        out = self.qemu.stdout.fileno()
        while True:
            if self.pending:
                return self.pending.pop(0)
            if b"\n" in self.partial:
                line, self.partial = self.partial.split(b"\n", 1)
                text = line.decode(errors="replace").rstrip("\r")
                self.console.append(text)
                return text
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([out, self.master], [], [], left)
            if self.master in ready:
                self.read_wire()
            if out in ready:
                chunk = os.read(out, 65536)
                if not chunk:
                    raise Failure("QEMU closed its console")
                self.partial += chunk

    def read_wire(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except BlockingIOError:
                return
            if not chunk:
                return
            self.wire += chunk
            self.arrivals.append((time.monotonic_ns(), len(self.wire)))

    def hold(self, seconds, until=None):
        """Keeps CTS as it is for a set time, or until a console line starts
        with until, taking in the wire and the console; returns the console
        lines, which stay to be expected."""
        end = time.monotonic() + seconds
        lines = []
        while (line := self.pump(end)) is not None:
            lines.append(line)
            if until and line.startswith(until):
                break
        self.pending = lines + self.pending
        self.read_wire()
        return lines

    def expect(self, prefix, timeout):
        deadline = time.monotonic() + timeout
        while True:
            line = self.pump(deadline)
            if line is None:
                raise Failure(f"no '{prefix}' on the console within {timeout:.0f} s")
            if line.startswith(prefix):
                return line
            if line.startswith("@"):
                raise Failure(f"expected '{prefix}', got '{line}'")

    def finish(self):
        try:
            self.qemu.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.qemu.kill()
            self.qemu.wait()
            raise Failure("QEMU did not power off")
        self.read_wire()

    def stop(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
            self.qemu.wait()


def split_calls(data, queues):
    """Splits data into whole calls, each the next call of one of the queues;
    returns an error or None."""
    pos, next_of = 0, [0] * len(queues)
    while pos < len(data):
        for q, calls in enumerate(queues):
            i = next_of[q]
            if i < len(calls) and data.startswith(calls[i], pos):
                pos += len(calls[i])
                next_of[q] += 1
                break
        else:
            return f"bytes at offset {pos} continue no whole call: {data[pos:pos + 40]!r}"
    if any(n != len(calls) for n, calls in zip(next_of, queues)):
        return f"calls missing: {next_of} of {[len(c) for c in queues]}"
    return None


def scenario(rig, errors, times):
    marks = {}
    rig.expect("@boot", BOOT_TIMEOUT_S)

    def go(name):
        rig.expect(f"@wait {name}", STEP_TIMEOUT_S)
        rig.read_wire()
        marks[name] = len(rig.wire)
        rig.started[name] = time.monotonic_ns()
        rig.send("go")

    def done(name, want=(1, None), sent=None, timeout=STEP_TIMEOUT_S):
        """The step's report: it must have returned as want (result, errno:
        None for any) says, left the port at its own settings, and put sent
        on the wire where given. Gives its time in us."""
        line = rig.expect(f"@done {name} ", timeout)
        m = re.match(r"@done \S+ rc=(-?\d+) errno=(\d+) us=(\d+) (.*)$", line)
        if not m:
            raise Failure(f"bad step report: {line}")
        rc, err, us, settings = int(m.group(1)), int(m.group(2)), int(m.group(3)), m.group(4)
        rig.read_wire()
        if (rc, err if want[1] is not None else None) != want:
            errors.append(f"{name}: returned {rc} with errno {err}, not {want}")
        if settings != OWN:
            errors.append(f"{name}: port left at {settings}, not {OWN}")
        if sent is not None and sent_since(name) != sent:
            errors.append(f"{name}: sent {sent_since(name)!r}, expected {sent!r}")
        return us

    def sent_since(name):
        return bytes(rig.wire[marks[name]:])

    for name in TIMED:
        for step in (name, name + "/floor"):
            go(step)
            times[step] = done(step, sent=EXPECTED[name])

    # CTS off for a set time: nothing may leave, and the command may not
    # return; once CTS is back, all of it leaves.
    rig.cts(False)
    go("hold")
    if any(line.startswith("@done hold ") for line in rig.hold(HOLD_S)):
        errors.append("hold: the command returned while CTS was off")
    rig.read_wire()
    early = sent_since("hold")
    rig.cts(True)
    done("hold", sent=EXPECTED["hold"])
    if early:
        errors.append(f"hold: {len(early)} bytes left while CTS was off")

    def cut_short(name, want):
        """CTS off until the step returns, which it must do as want (result,
        errno: None for any) says; what it could not send is dropped, not
        sent when CTS returns. Gives the step's time in us."""
        rig.cts(False)
        go(name)
        lines = rig.hold(ALARM_HOLD_S, until=f"@done {name} ")
        returned = any(line.startswith(f"@done {name} ") for line in lines)
        rig.cts(True)
        if not returned:
            errors.append(f"{name}: the step had not returned after {ALARM_HOLD_S} s of CTS off")
        us = done(name, want)
        go(name + "/after")
        done(name + "/after")
        if sent_since(name) != EXPECTED["after"]:
            errors.append(f"{name}: after CTS returned the wire got {sent_since(name)!r}, "
                          f"expected only the next command's {EXPECTED['after']!r}")
        return us

    # CTS off across a repeating timer: the command returns 0 with EINTR on
    # it. Nested in the application's hold, the application's own close must
    # not wait for it either.
    for name in ("alarm", "nested"):
        cut_short(name, (0, EINTR))

    def noted(kind, name):
        prefix = f"{kind} {name}| "
        return [line[len(prefix):] for line in rig.console if line.startswith(prefix)]

    # tarvik-print status and doctor: nothing sent, the settings left, and
    # what each says of CTS.
    for name, cts, want_rc, state in (("status/ready", True, 0, "ready"),
                                      ("status/off", False, 2, "not_ready"),
                                      ("doctor/off", False, 0, None)):
        rig.cts(cts)
        go(name)
        done(name, (want_rc, None), sent=b"")
        rig.cts(True)
        out = noted("out", name)
        if state is not None:
            found = json.loads(out[0]) if out else {}
            if (found.get("state"), found.get("cts"), found.get("dsr")) != (state, cts, True):
                errors.append(f"{name}: said {out}")
        elif not any("CTS is off" in line and "commands will wait until the printer takes the "
                     "bytes" in line and line.startswith("warning") for line in out):
            errors.append(f"{name}: no warning of CTS off in {out}")

    # --timeout 1: 124 within 1 to 3 s, standard output empty, the reason on
    # standard error: CTS off, or the holder's process id.
    for name, reason in (("timeout", lambda: "the printer did not take the bytes (CTS off)"),
                         ("timeout/held", lambda: "is held by another program, process "
                                                  f"{noted('holder', 'timeout/held')[0]} (")):
        us = cut_short(name, (TIMED_OUT, None))
        times[name] = us
        err = " ".join(noted("err", name))
        if not 1_000_000 <= us <= 3_000_000 or noted("out", name) or reason() not in err:
            errors.append(f"{name}: returned after {us / 1e6:.2f} s, printed {noted('out', name)}, "
                          f"said {err!r}")

    go("two")
    done("two", timeout=120)
    err = split_calls(sent_since("two"), [process_calls("A"), process_calls("B")])
    if err:
        errors.append(f"two processes: {err}")
    rig.expect("@end", STEP_TIMEOUT_S)
    rig.finish()


def check_wire_log(rig, errors):
    """Every byte left at 9600 8N1 with RTS up, and the log saw every byte.
    While two processes print, the line goes back to the port's own settings
    between any two commands: one command at a time holds it."""
    params, rts, logged, cts_reads = None, 0, 0, 0
    bad, runs = [], [b""]
    two = rig.started.get("two", float("inf"))
    with open(rig.log) as f:
        for line in f:
            parts = line.split()
            kind, at, rest = parts[0], int(parts[1]), " ".join(parts[2:])
            if kind == "T" and at > two:
                runs[-1] += bytes.fromhex(rest)
            if kind == "P" and rest != "9600 8N1" and runs[-1]:
                runs.append(b"")
            if kind == "P":
                params = rest
            elif kind == "M":
                rts = int(rest.split()[1])
            elif kind == "C":
                cts_reads += 1
            elif kind == "T":
                logged += len(rest) // 2
                if params != "9600 8N1" or not rts:
                    bad.append(f"{rest} at {params} rts={rts}")
    if logged != len(rig.wire):
        errors.append(f"wire log: {logged} bytes logged but {len(rig.wire)} arrived "
                      "(does QEMU still write through the interposed calls?)")
    if bad:
        errors.append(f"wire log: {len(bad)} bytes left off 9600 8N1 or without RTS, "
                      f"first: {bad[:3]}")
    calls = process_calls("A") + process_calls("B")
    shared = [r for r in runs if r and r not in calls]
    if "two" in rig.started and shared:
        errors.append(f"two processes: {len(shared)} times the line carried more than one "
                      f"command between settings, first: {shared[0][:60]!r}...")
    if cts_reads == 0:
        errors.append("wire log: QEMU never read the modem lines")


def main():
    p = argparse.ArgumentParser()
    for opt in ("cache", "work", "init", "guest", "print", "lib", "preload"):
        p.add_argument("--" + opt, required=True)
    args = p.parse_args()

    version = subprocess.run(["qemu-system-i386", "--version"], capture_output=True,
                             text=True).stdout
    if not version.startswith("QEMU emulator version 7.2."):
        print("uart: wire.so is made for QEMU 7.2's 16550 and tty chardev; found: "
              + version.splitlines()[0], file=sys.stderr)
        return 1
    initramfs(args, os.path.join(args.work, "initrd.gz"))

    errors, times = [], {}
    started = time.monotonic()
    rig = Rig(args)
    try:
        scenario(rig, errors, times)
    except Failure as e:
        errors.append(str(e))
    finally:
        rig.stop()
    rig.read_wire()
    check_wire_log(rig, errors)
    elapsed = time.monotonic() - started
    with open(os.path.join(args.work, "times.txt"), "w") as f:
        f.write("# command bytes wire-ms library-ms floor-ms\n")
        for name in TIMED:
            if name in times and name + "/floor" in times:
                n = len(EXPECTED[name])
                f.write(f"{name} {n} {n * 10 / 9600 * 1000:.1f} {times[name] / 1000:.1f} "
                        f"{times[name + '/floor'] / 1000:.1f}\n")
        for name in ("timeout", "timeout/held"):
            if name in times:
                f.write(f"# tarvik-print --timeout 1, {name}: returned after "
                        f"{times[name] / 1000:.0f} ms\n")
    if errors:
        print("uart: FAILED")
        for e in errors:
            print("  " + e)
        print("---- guest console (last 30 lines)")
        print("\n".join(rig.console[-30:]))
        print("---- wire log (last 20 lines):", rig.log)
        with open(rig.log) as f:
            print("".join(f.readlines()[-20:]), end="")
        with open(os.path.join(args.work, "qemu.err")) as f:
            err = f.read().strip()
        if err:
            print("---- QEMU stderr\n" + err)
        return 1
    print(f"uart: all checks passed in {elapsed:.1f} s "
          f"({len(rig.wire)} bytes on the wire; times in {args.work}/times.txt; "
          f"--timeout 1 with CTS off returned after {times['timeout'] / 1000:.0f} ms)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
