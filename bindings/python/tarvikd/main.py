"""tarvikd: options, the start-up rules (each failure one line on standard
error and exit status 2, before it listens), the serving, and the stop on
SIGTERM or SIGINT after the job being printed."""

from __future__ import annotations

import argparse
import asyncio
import codecs
import concurrent.futures
import functools
import ipaddress
import math
import os
import secrets
import signal
import socket
import sys
from typing import Any

from aiohttp import web

import tarvik
from tarvik import Printer

from . import api
from .journal import Journal, JournalError
from .spooler import Spooler


class StartError(Exception):
    pass


def _seconds(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(text)
    return value


def _encoding(name: str) -> str:
    codecs.lookup(name)
    return name


def options(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="tarvikd", description="Print service for a tarvik printer: HTTP on "
                                     "localhost, a journal of every job, each printed at most once.")
    parser.add_argument("--dir", default=".", help="where the printer's tarvik.ini is (default: here)")
    parser.add_argument("--listen", default="127.0.0.1:9190", metavar="HOST:PORT",
                        help="address to listen on (default 127.0.0.1:9190; port 0 picks a free one)")
    parser.add_argument("--token-file", metavar="FILE", help="its first line is the token (default DIR/tarvikd.token, "
                        "made when missing)")
    parser.add_argument("--origin", action="append", default=[], metavar="ORIGIN",
                        help="a browser origin allowed to call the service; repeatable")
    parser.add_argument("--journal", metavar="FILE", help="the SQLite journal (default DIR/tarvikd.db)")
    parser.add_argument("--timeout", type=_seconds, default=30.0, metavar="SECONDS",
                        help="bound on each command's waits for the port and the printer (default 30)")
    parser.add_argument("--encoding", type=_encoding, default="latin-1", metavar="NAME",
                        help="the printer's code page (default latin-1)")
    return parser.parse_args(argv)


def address(listen: str) -> tuple[socket.AddressFamily, tuple[Any, ...]]:
    host, colon, port = listen.rpartition(":")
    if not colon or not port.isdigit() or int(port) > 65535 or not host:
        raise StartError(f"--listen {listen}: give HOST:PORT, such as 127.0.0.1:9190 or [::1]:9190")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    try:
        family, _, _, _, found = socket.getaddrinfo(host, int(port), type=socket.SOCK_STREAM)[0]
    except (socket.gaierror, UnicodeError) as e:
        raise StartError(f"--listen {listen}: {e}") from None
    return family, found


def loopback(found: tuple[Any, ...]) -> bool:
    return ipaddress.ip_address(found[0].partition("%")[0]).is_loopback


def token(path: str, given: bool) -> str:
    """The token file's first line. The default file is made when missing,
    with a random token of 256 bits, readable by its owner alone."""
    if not given:
        try:
            made = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            pass
        except OSError as e:
            raise StartError(f"cannot make the token file {path}: {e.strerror}") from None
        else:
            with os.fdopen(made, "w") as file:
                file.write(secrets.token_urlsafe(32) + "\n")
    try:
        with open(path, encoding="utf-8") as file:
            first = file.readline().strip()
    except (OSError, UnicodeError) as e:
        raise StartError(f"cannot read the token file {path}: {getattr(e, 'strerror', None) or e}") from None
    if not first:
        raise StartError(f"the token file {path} holds no token on its first line")
    return first


def listener(family: socket.AddressFamily, found: tuple[Any, ...]) -> socket.socket:
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(found)
        sock.listen(128)
    except OSError as e:
        sock.close()
        raise StartError(f"cannot listen on {found[0]} port {found[1]}: {e.strerror}") from None
    sock.setblocking(False)
    return sock


def url(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def start(args: argparse.Namespace) -> tuple[Printer, Journal, str, socket.socket]:
    """Every check that makes the start fail, in order."""
    directory = os.path.abspath(args.dir)
    if not os.path.isfile(os.path.join(directory, "tarvik.ini")):
        raise StartError(f"there is no tarvik.ini in {directory}")
    family, found = address(args.listen)
    if not loopback(found) and args.token_file is None:
        raise StartError(f"--listen {args.listen} is not a loopback address: give the clients' token with --token-file")
    secret = token(args.token_file or os.path.join(directory, "tarvikd.token"), args.token_file is not None)
    try:
        journal = Journal(args.journal or os.path.join(directory, "tarvikd.db"))
    except JournalError as e:
        raise StartError(str(e)) from None
    try:
        printer = Printer(directory, args.encoding, args.timeout)
        sock = listener(family, found)
    except (tarvik.Error, StartError) as e:
        journal.close()
        raise StartError(str(e)) from None
    return printer, journal, secret, sock


async def serve(args: argparse.Namespace, printer: Printer, journal: Journal, secret: str,
                sock: socket.socket) -> None:
    loop = asyncio.get_running_loop()
    db = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tarvikd-journal")

    def call(method: str, *arguments: Any) -> asyncio.Future[Any]:
        return loop.run_in_executor(db, functools.partial(getattr(journal, method), *arguments))

    lost, gone = await call("recover")
    if lost:
        api.log(f"{lost} job(s) were printing when the service ended: now unknown, not printed again")
    if gone:
        api.log(f"{gone} ended job(s) older than 30 days removed")
    spooler = Spooler(printer, call)
    service = api.Service(printer, Printer, secret, frozenset(args.origin), args.timeout, call, spooler)
    runner = web.AppRunner(api.app(service), access_log=None, handle_signals=False)
    await runner.setup()
    server = await loop.create_server(runner.server, sock=sock)
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    print(f"listening on {url(sock)}", flush=True)
    printing = asyncio.create_task(spooler.run())
    stopped = asyncio.create_task(stop.wait())
    await asyncio.wait([printing, stopped], return_when=asyncio.FIRST_COMPLETED)
    # No more requests; the job being printed is finished, so that a check
    # is never parted from its authentication. Queued jobs stay queued.
    server.close()
    spooler.stop()
    await printing
    await runner.server.shutdown(1.0)
    await runner.cleanup()
    spooler.close()
    db.shutdown()
    journal.close()
    printer.close()


def main(argv: list[str] | None = None) -> int:
    args = options(argv)
    try:
        printer, journal, secret, sock = start(args)
    except StartError as e:
        print(f"tarvikd: {e}", file=sys.stderr)
        return 2
    asyncio.run(serve(args, printer, journal, secret, sock))
    return 0
