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
# What the printer decodes of the demo's check with its bank's layout, then
# of its authentication.
FIELDS = ["MIL DUZENTOS E TRINTA E QUATRO REAIS", "E CINQUENTA E SEIS CENTAVOS", "081226", "000000123456",
          "FULANO DE TAL", "SAO PAULO", "REAL", "REAIS", "000S06140806060505"]
PRINTED = [
    *({"type": "check_field", "field": str(n), "text": text} for n, text in enumerate(FIELDS, 1)),
    {"type": "check", "fields": FIELDS, "date": "08/12/26", "amount": "000000123456", "layout": "06140806060505"},
    {"type": "authentication", "selector": "Y", "pitch": "1", "double": True, "width": 40,
     "text": "AUT 0001 08/12/2026 R$ 1.234,56"},
]
# How each client runs from its folder, after the tool it needs (the JDK's
# compiler for a source file run by java).
COMMANDS = {
    "curl": ["curl", "sh", "check.sh"],
    "python": [sys.executable, sys.executable, "check.py"],
    "java": ["javac", "java", "Check.java"],
    "node": ["node", "node", "check.mjs"],
    "php": ["php", "php", "check.php"],
}


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *_):
        pass


class Pages(http.server.ThreadingHTTPServer):
    """examples/service served on a free port of 127.0.0.1, as a shop's web
    application would be: the page's origin."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), functools.partial(Quiet, directory=CLIENTS))
        self.origin = f"http://127.0.0.1:{self.server_port}"
        threading.Thread(target=self.serve_forever, daemon=True).start()


@pytest.fixture
def pages():
    """The page's own origin, which tarvikd lets in, and another one."""
    servers = Pages(), Pages()
    yield servers
    for server in servers:
        server.shutdown()
        server.server_close()


@pytest.fixture(autouse=True)
def demo_bank(tmp_path):
    """The demo's tarvik.ini, with its bank's line, before the virtual
    printer points its port there."""
    (tmp_path / "tarvik.ini").write_text("Porta=ttyS0\n341 06,14,08,06,06,05,05\n")


@pytest.fixture
def tarvikd_options(pages):
    return ["--origin", pages[0].origin]


def tool(name):
    if shutil.which(name) is None:
        pytest.skip(f"{name} is not installed (tools/setup.sh installs it)")
    return name


def client(language, tmp_path, pages):
    """A function of the URL and the token that runs the language's client,
    giving whether it succeeded, and what it wrote on standard output and on
    standard error."""
    if language == "page":
        def load(url, token, origin=pages[0].origin):
            dom = subprocess.run(
                [tool("chromium"), "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-quic",
                 f"--user-data-dir={tmp_path / 'chromium'}", "--virtual-time-budget=60000", "--dump-dom",
                 f"{origin}/check.html#" + urllib.parse.urlencode({"url": url, "token": token})],
                capture_output=True, text=True, timeout=90, check=True).stdout
            state = re.search(r'<p id="state">(.*?)</p>', dom, re.S)[1]
            return state == "printed", state + "\n", ""
        return load
    if language == "pascal":
        built = subprocess.run([tool("fpc"), "-v0", f"-FE{tmp_path}", f"-FU{tmp_path}", "check.pas"],
                               cwd=CLIENTS, capture_output=True, text=True)
        missing = re.search(r"Can't find unit \w+", built.stdout)
        if missing:
            pytest.skip(f"fpc: {missing[0]} (tools/setup.sh installs fp-units-fcl)")
        assert built.returncode == 0, built.stdout
        command = [tmp_path / "check"]
    else:
        tool(COMMANDS[language][0])
        command = COMMANDS[language][1:]

    def run(url, token):
        done = subprocess.run(command, cwd=CLIENTS, env=os.environ | {"TARVIK_URL": url, "TARVIK_TOKEN": token},
                              capture_output=True, text=True, timeout=90)
        return done.returncode == 0, done.stdout, done.stderr
    return run


@pytest.mark.parametrize("language", ["curl", "python", "java", "node", "php", "pascal", "page"])
def test_client_prints_check_then_authentication(language, tmp_path, pages, print_service):
    run = client(language, tmp_path, pages)
    assert run(print_service.url, print_service.token)[:2] == (True, "printed\n")
    assert [{k: v for k, v in e.items() if k != "hex"} for e in print_service.printer.wait(2)] == PRINTED

    # A refused job is reported as one, with the service's reason; a page
    # from an origin not let in is stopped at its preflight.
    ok, out, err = run(print_service.url, "not-the-token")
    assert not ok and "unauthorized" in out + err
    if language == "page":
        refused = run(print_service.url, print_service.token, pages[1].origin)
        assert refused[:2] == (False, "no answer: Failed to fetch\n")
    assert len(print_service.request("GET", "/v1/jobs")[2]["jobs"]) == 1
    assert len(print_service.printer.events()) == len(PRINTED)
