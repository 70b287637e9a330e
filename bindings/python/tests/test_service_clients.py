"""The clients of examples/service, one per language, each printing the demo's
check and authentication through tarvikd on the virtual printer."""

import functools
import http.server
import os
import re
import shutil
import subprocess
import sys
import threading
import urllib.parse
from pathlib import Path

import pytest

CLIENTS = Path(__file__).resolve().parents[3] / "examples" / "service"
# The demo's check as the printer decodes it, with its bank's layout.
FIELDS = ["MIL DUZENTOS E TRINTA E QUATRO REAIS", "E CINQUENTA E SEIS CENTAVOS", "081226", "000000123456",
          "FULANO DE TAL", "SAO PAULO", "REAL", "REAIS", "000S06140806060505"]
AUTHENTICATION = {"selector": "Y", "pitch": "1", "double": True, "text": "AUT 0001 08/12/2026 R$ 1.234,56"}
# The tool that each client needs (java runs a source file with the JDK's
# compiler), then how it runs in its folder; client() builds and loads the
# last two.
COMMANDS = {"curl": ["curl", "sh", "check.sh"], "python": [sys.executable, sys.executable, "check.py"],
            "java": ["javac", "java", "Check.java"], "node": ["node", "node", "check.mjs"],
            "php": ["php", "php", "check.php"], "pascal": ["fpc"], "page": ["chromium"]}
# Virtual time stands still while a fetch is out: the DOM is dumped after
# the page's answer.
CHROMIUM = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-quic",
            "--virtual-time-budget=60000", "--dump-dom"]


@pytest.fixture
def pages():
    """examples/service served on two ports, as a shop's web application
    would be: the first origin is let in, the second is not."""
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=CLIENTS)
    servers = [http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) for _ in range(2)]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    yield [f"http://127.0.0.1:{server.server_port}" for server in servers]
    for server in servers:
        server.shutdown()
        server.server_close()


@pytest.fixture(autouse=True)
def demo_bank(tmp_path):
    """The demo's tarvik.ini, with its bank, before the virtual printer
    points its port there."""
    (tmp_path / "tarvik.ini").write_text("Porta=ttyS0\n341 06,14,08,06,06,05,05\n")


@pytest.fixture
def tarvikd_options(pages):
    return ["--origin", pages[0]]


def client(language, tmp_path, pages):
    """A function of the URL and the token that runs the language's client,
    giving whether it succeeded, and what it wrote on standard output and on
    standard error (a page: its state)."""
    if shutil.which(COMMANDS[language][0]) is None:
        pytest.skip(f"{COMMANDS[language][0]} is not installed (tools/setup.sh installs it)")
    if language == "page":
        def load(url, token, origin=pages[0]):
            page = f"{origin}/check.html#" + urllib.parse.urlencode({"url": url, "token": token})
            dom = subprocess.run(["chromium", *CHROMIUM, f"--user-data-dir={tmp_path / 'chromium'}", page],
                                 capture_output=True, text=True, timeout=90, check=True).stdout
            state = re.search(r'<p id="state">(.*?)</p>', dom, re.S)[1]
            return state == "printed", state + "\n", ""
        return load
    command = COMMANDS[language][1:]
    if language == "pascal":
        built = subprocess.run(["fpc", "-v0", f"-FE{tmp_path}", f"-FU{tmp_path}", "check.pas"],
                               cwd=CLIENTS, capture_output=True, text=True)
        if missing := re.search(r"Can't find unit \w+", built.stdout):
            pytest.skip(f"fpc: {missing[0]} (tools/setup.sh installs fp-units-fcl)")
        assert built.returncode == 0, built.stdout
        command = [tmp_path / "check"]

    def run(url, token):
        done = subprocess.run(command, cwd=CLIENTS, env=os.environ | {"TARVIK_URL": url, "TARVIK_TOKEN": token},
                              capture_output=True, text=True, timeout=90)
        return done.returncode == 0, done.stdout, done.stderr
    return run


@pytest.mark.parametrize("language", COMMANDS)
def test_client_prints_check_then_authentication(language, tmp_path, pages, print_service):
    run = client(language, tmp_path, pages)
    assert run(print_service.url, print_service.token)[:2] == (True, "printed\n")
    events = print_service.printer.wait(2)
    assert [e["type"] for e in events] == ["check_field"] * 9 + ["check", "authentication"]
    assert events[9]["fields"] == FIELDS
    assert {k: events[10][k] for k in AUTHENTICATION} == AUTHENTICATION

    # A refused job is reported as one, with the service's reason; a page
    # from an origin not let in is stopped at its preflight.
    ok, out, err = run(print_service.url, "not-the-token")
    assert not ok and "unauthorized" in out + err
    if language == "page":
        refused = run(print_service.url, print_service.token, pages[1])
        assert refused[:2] == (False, "no answer: Failed to fetch\n")
    assert len(print_service.request("GET", "/v1/jobs")[2]["jobs"]) == 1
    assert len(print_service.printer.events()) == len(events)
