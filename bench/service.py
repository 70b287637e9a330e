#!/usr/bin/python3
"""The print service's figures, on the virtual printer: its overhead per job
against the same commands through the package directly, the requests per
second of GET /v1/status and of refused requests with 8 clients, and the
resident memory after 10,000 jobs. A benchmark, not a test.

Usage (from a build tree): TARVIK_LIBRARY=... TARVIK_VIRTUAL=... TARVIKD=...
TARVIK_PRINT=... PYTHONPATH=bindings/python bench/service.py"""

import http.client
import json
import os
import statistics
import tempfile
import threading
import time
from pathlib import Path

import tarvik
from tarvik.pytest_plugin import PrintService, VirtualPrinter

CHECK = {"check": {"text1": "PAGUE", "text2": "JOSE", "date": "2025-03-15", "amount": "1234.56",
                   "text5": "SAO PAULO", "text6": "", "bank": "341-7"}}
AUTH = {"authenticate": {"text": "AUT 000123", "pitch": "1", "double": True}}
JOB = json.dumps({"commands": [CHECK, AUTH]}).encode()


def client(service, token=True):
    host, port = service.url.removeprefix("http://").rsplit(":", 1)
    connection = http.client.HTTPConnection(host, int(port))
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = f"Bearer {service.token}"

    def request(method, path, body=None):
        connection.request(method, path, body, headers)
        response = connection.getresponse()
        return response.status, response.read()

    return request


def direct(directory, n):
    printer = tarvik.Printer(directory)
    times = []
    for _ in range(n):
        start = time.perf_counter()
        with printer.hold():
            printer.check(**CHECK["check"] | {"date": "15/03/2025"})
            printer.authenticate(**AUTH["authenticate"])
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def served(service, n):
    request = client(service)
    times = []
    for _ in range(n):
        start = time.perf_counter()
        status, body = request("POST", "/v1/jobs?wait=30", JOB)
        assert status == 201 and json.loads(body)["state"] == "printed", body
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def rate(service, method, path, body, expect, token, total=4000, clients=8):
    def run():
        request = client(service, token)
        for _ in range(total // clients):
            assert request(method, path, body)[0] == expect

    threads = [threading.Thread(target=run) for _ in range(clients)]
    start = time.perf_counter()
    [t.start() for t in threads]
    [t.join() for t in threads]
    return total / (time.perf_counter() - start)


def resident(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) // 1024


def main():
    with tempfile.TemporaryDirectory() as scratch:
        printer = VirtualPrinter(os.environ["TARVIK_VIRTUAL"], Path(scratch))
        service = PrintService(os.environ["TARVIKD"], printer)
        service.start()
        try:
            direct(scratch, 20), served(service, 20)  # warm both
            alone, through = direct(scratch, 200), served(service, 200)
            print(f"check + authentication, median of 200: package {alone * 1e3:.2f} ms, "
                  f"service {through * 1e3:.2f} ms, overhead {(through - alone) * 1e3:.2f} ms per job")
            print(f"GET /v1/status, 8 clients: {rate(service, 'GET', '/v1/status', None, 200, True, 800):.0f} requests/s")
            print(f"refused (no token), 8 clients: {rate(service, 'POST', '/v1/jobs', JOB, 401, False):.0f} requests/s")
            bad = json.dumps({"commands": [{"text": {"text": "x", "pitch": "a"}}]}).encode()
            print(f"refused (bad pitch), 8 clients: {rate(service, 'POST', '/v1/jobs', bad, 400, True):.0f} requests/s")
            before = resident(service.process.pid)
            lines = json.dumps({"commands": [{"text": {"text": "LINE"}}]}).encode()

            def post():
                request = client(service)
                for _ in range(10000 // 8):
                    assert request("POST", "/v1/jobs?wait=60", lines)[0] == 201

            threads = [threading.Thread(target=post) for _ in range(8)]
            [t.start() for t in threads]
            [t.join() for t in threads]
            print(f"resident memory: {before} MiB after the runs above (420 jobs), "
                  f"{resident(service.process.pid)} MiB after 10,000 more jobs")
        finally:
            service.stop()
            printer.stop()


if __name__ == "__main__":
    main()
