"""tarvikd through a real socket, printing on the virtual printer."""

import fcntl
import os
import re
import signal
import socket
import sqlite3
import stat
import subprocess
import termios
import threading
import time

import pytest

ORIGIN = "https://pos.example.com"
CHECK = {"check": {"text1": "PAGUE", "text2": "JOSE", "date": "2025-03-15", "amount": "1234.56",
                   "text5": "SAO PAULO", "text6": "", "bank": "341-7"}}
AUTH = {"authenticate": {"text": "AUT 000123", "pitch": "1", "double": True, "selector": "Y"}}
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")


def job(*commands, **members):
    return {"commands": list(commands or (CHECK, AUTH)), **members}


def changed(command, **members):
    ((name, given),) = command.items()
    return {name: given | members}


@pytest.fixture
def tarvikd_options():
    return ["--origin", ORIGIN, "--timeout", "2"]


@pytest.fixture
def service(print_service):
    return print_service


def until(get, done, what):
    """Polls ``get()`` for 5 s until ``done`` of what it gives; gives that."""
    for _ in range(500):
        if done(got := get()):
            return got
        threading.Event().wait(0.01)
    pytest.fail(f"{what}; the last: {got}")


def printing(service, id):
    """Waits until job ``id`` is printing (the printer is stopped)."""
    until(lambda: service.request("GET", f"/v1/jobs/{id}")[2], lambda j: j["state"] == "printing", f"job {id}")


def arrived(printer, last):
    """The events, each with its index as "at", once one is ``last``; the
    printer first reads what filled its line, in pieces that the decoder
    cannot count as commands."""
    return until(lambda: [e | {"at": i} for i, e in enumerate(printer.events())], lambda es: any(map(last, es)),
                 "not arrived")


def at_once(count, work):
    """Runs ``work(0)`` to ``work(count - 1)``, each in a thread, to their ends."""
    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    [t.start() for t in threads]
    [t.join() for t in threads]


TOO_LARGE = b'{"commands": [{"text": {"text": "' + b"x" * 65536 + b'"}}]}'
REFUSALS = [
    # method, path, body, headers, status, error, field
    ("POST", "/v1/jobs", job(), {"Authorization": None}, 401, "unauthorized", None),
    ("POST", "/v1/jobs", job(), {"Authorization": "Bearer nope"}, 401, "unauthorized", None),
    ("GET", "/v1/status", None, {"Authorization": "Basic abc"}, 401, "unauthorized", None),
    ("POST", "/v1/jobs", job(), {"Origin": "https://evil.example", "Authorization": None}, 403, "forbidden", None),
    ("POST", "/v1/jobs", job(), {"Origin": "null"}, 403, "forbidden", None),
    ("POST", "/v1/jobs", TOO_LARGE, {"Content-Type": "text/plain"}, 413, "too_large", None),
    ("POST", "/v1/jobs", b"{}", {"Content-Type": "text/plain"}, 415, "unsupported_media_type", None),
    ("POST", "/v1/jobs", b"{}", {}, 415, "unsupported_media_type", None),
    ("POST", "/v1/jobs", b'{"commands": [', {"Content-Type": "application/json"}, 400, "bad_request", None),
    ("POST", "/v1/jobs", b'{"commands": [{"line_feed": {"n": NaN}}]}', {"Content-Type": "application/json"},
     400, "bad_request", None),
    ("POST", "/v1/jobs", b'\xff{}', {"Content-Type": "application/json; charset=utf-8"}, 400, "bad_request", None),
    ("POST", "/v1/jobs", [CHECK], {}, 400, "bad_request", None),
    ("POST", "/v1/jobs", job(CHECK, priority=1), {}, 400, "bad_request", "priority"),
    ("POST", "/v1/jobs", {"key": "k"}, {}, 400, "bad_request", "commands"),
    ("POST", "/v1/jobs", job(*[AUTH] * 51), {}, 400, "bad_request", "commands"),
    ("POST", "/v1/jobs", {"commands": []}, {}, 400, "bad_request", "commands"),
    ("POST", "/v1/jobs", job(CHECK | AUTH), {}, 400, "bad_request", "commands[0]"),
    ("POST", "/v1/jobs", job({"cut": {}}), {}, 400, "bad_request", "commands[0].cut"),
    ("POST", "/v1/jobs", job(changed(AUTH, bold=True)), {}, 400, "bad_request", "commands[0].authenticate.bold"),
    ("POST", "/v1/jobs", job({"text": {}}), {}, 400, "bad_request", "commands[0].text.text"),
    ("POST", "/v1/jobs", job({"back_side_on": []}), {}, 400, "bad_request", "commands[0].back_side_on"),
    ("POST", "/v1/jobs", job(key=""), {}, 400, "bad_request", "key"),
    ("POST", "/v1/jobs", job(key="k" * 129), {}, 400, "bad_request", "key"),
    ("POST", "/v1/jobs", job(key="caf\u00e9"), {}, 400, "bad_request", "key"),
    ("POST", "/v1/jobs?wait=121", job(), {}, 400, "bad_request", "wait"),
    ("GET", "/v1/jobs?limit=0", None, {}, 400, "bad_request", "limit"),
    ("GET", "/v1/jobs?state=lost", None, {}, 400, "bad_request", "state"),
    ("POST", "/v1/preview", job(key="k"), {}, 400, "bad_request", "key"),
    ("GET", "/v1/jobs/999", None, {}, 404, "not_found", None),
    ("DELETE", "/v1/jobs/x", None, {}, 404, "not_found", None),
    ("GET", "/v2/status", None, {}, 404, "not_found", None),
] + [
    # The package's rules, each in the second command: nothing of the first prints either.
    ("POST", "/v1/jobs", job(CHECK, command), {}, 400, "bad_request", f"commands[1].{field}")
    for command, field in [
        (changed(AUTH, pitch="a"), "authenticate.pitch"),
        (changed(AUTH, selector="Z"), "authenticate.selector"),
        (changed(AUTH, double="no"), "authenticate.double"),
        ({"line_feed": {"n": 11}}, "line_feed.n"),
        ({"line_feed": {"n": "3"}}, "line_feed.n"),
        ({"text": {"text": "a\u0000b"}}, "text.text"),
        ({"text": {"text": "a\u001b!b"}}, "text.text"),
        ({"text": {"text": "A\u00c7\u00daCAR \u20ac5"}}, "text.text"),
        ({"back_text": {"text": 5}}, "back_text.text"),
        (changed(CHECK, text1="X" * 93), "check.text1"),
        (changed(CHECK, text5="SP}"), "check.text5"),
        (changed(CHECK, text2="\u001b"), "check.text2"),
        (changed(CHECK, amount=12.5), "check.amount"),
        (changed(CHECK, amount="12.5"), "check.amount"),
        (changed(CHECK, amount="-5,00"), "check.amount"),
        (changed(CHECK, amount="1234"), "check.amount"),
        (changed(CHECK, amount=True), "check.amount"),
        (changed(CHECK, date="2025-02-30"), "check.date"),
        (changed(CHECK, date="31/02/2025"), "check.date"),
        (changed(CHECK, bank="1000"), "check.bank"),
        (changed(CHECK, bank=[341]), "check.bank"),
    ]
]


def test_refusals(service):
    # One service for every row; each row's refusal printed nothing before the line feed after it.
    wrong, seen = [], 0
    for row, (method, path, body, headers, status, error, field) in enumerate(REFUSALS):
        got, _, answer = service.request(method, path, body, headers)
        service.request("POST", "/v1/jobs", job({"line_feed": {}}))
        events = arrived(service.printer, lambda e, after=seen: e["type"] == "line_feed" and e["at"] >= after)
        printed = [e["type"] for e in events[seen:]]
        seen = len(events)
        if (got, answer.get("error"), answer.get("field"), bool(answer.get("message")), printed) != (
                status, error, field, True, ["line_feed"]):
            wrong.append((row, REFUSALS[row][:2], REFUSALS[row][4:], got, answer, printed))
    assert not wrong


def test_a_job_prints_in_one_request_and_is_kept(service):
    status, _, printed = service.request("POST", "/v1/jobs?wait=10", job(key="pdv3-000123"))
    assert status == 201
    assert {k: printed[k] for k in ("key", "state", "commands", "results", "error")} == {
        "key": "pdv3-000123", "state": "printed", "commands": [CHECK, AUTH],
        "results": [{"ok": True}, {"ok": True}], "error": None}
    assert all(STAMP.fullmatch(printed[k]) for k in ("created", "started", "finished"))
    events = service.printer.wait(10)
    assert (events[9]["type"], events[9]["amount"], events[9]["fields"][1]) == ("check", "000000123456", "JOSE")
    assert (events[10]["type"], events[10]["text"], events[10]["selector"]) == ("authentication", "AUT 000123", "Y")
    assert service.request("GET", f"/v1/jobs/{printed['id']}")[2] == printed
    assert service.request("GET", "/v1/jobs?state=printed&limit=1")[2] == {"jobs": [printed]}
    assert service.request("GET", "/v1/jobs?state=queued")[2] == {"jobs": []}
    assert service.request("POST", "/v1/jobs", job(key="pdv3-000123"))[:3:2] == (200, printed)
    conflict = service.request("POST", "/v1/jobs", job(AUTH, key="pdv3-000123"))
    assert (conflict[0], conflict[2]["error"]) == (409, "conflict")
    _, _, status = service.request("GET", "/v1/status")
    assert (status["printer"]["state"], status["printer"]["device"], status["queued"], status["printing"]) == (
        "cannot_tell", service.printer.device, 0, None)
    token = service.printer.directory / "tarvikd.token"
    assert stat.S_IMODE(token.stat().st_mode) == 0o600 and len(service.token) >= 22  # 128 bits in base64


def test_the_same_key_at_once_gives_one_job(service):
    answers, start = [], threading.Barrier(3)

    def post(_):
        start.wait()
        answers.append(service.request("POST", "/v1/jobs?wait=10", job(key="twice")))

    at_once(3, post)
    assert sorted(status for status, _, _ in answers) == [200, 200, 201]
    assert len({answer["id"] for _, _, answer in answers}) == 1
    service.printer.wait(10)
    assert service.request("POST", "/v1/jobs?wait=10", job({"line_feed": {}}))[2]["state"] == "printed"
    assert [e["type"] for e in service.printer.wait(11)[10:]] == ["authentication", "line_feed"]


def test_cors(service):
    preflight = {"Origin": ORIGIN, "Access-Control-Request-Method": "POST", "Authorization": None}
    status, headers, _ = service.request("OPTIONS", "/v1/jobs", headers=preflight)
    assert status == 204
    allowed = {"origin": ORIGIN, "methods": "GET, POST, DELETE", "headers": "Authorization, Content-Type",
               "private-network": "true"}
    assert {k: headers.get(f"access-control-allow-{k}") for k in allowed} == allowed
    assert service.request("OPTIONS", "/v1/jobs", headers=preflight | {"Origin": "https://evil.example"})[0] == 403
    for headers in ({"Origin": ORIGIN}, {"Origin": ORIGIN, "Authorization": None}):
        _, given, _ = service.request("GET", "/v1/status", headers=headers)
        assert (given["access-control-allow-origin"], given["vary"]) == (ORIGIN, "Origin")


def test_preview_draws_and_prints_nothing(service, monkeypatch):
    with open(service.printer.directory / "tarvik.ini", "a") as ini:
        ini.write("341 06,14,08,06,06,05,05\n")
    status, headers, svg = service.request("POST", "/v1/preview", job())
    assert (status, headers["content-type"]) == (200, "image/svg+xml")
    assert all(t in svg.decode() for t in ("PAGUE", "JOSE", "AUT 000123", "layout 06140806060505"))
    status, _, done = service.request("POST", "/v1/jobs?wait=10", job({"line_feed": {}}))
    assert (status, done["state"], [e["type"] for e in service.printer.wait(1)]) == (201, "printed", ["line_feed"])
    monkeypatch.setenv("TARVIK_VIRTUAL", "/nonexistent/tarvik-virtual")
    monkeypatch.setenv("TARVIK_PRINT", "/nonexistent/tarvik-print")
    service.stop()
    service.start()
    status, _, answer = service.request("POST", "/v1/preview", job())
    assert (status, answer["error"]) == (503, "preview_unavailable")
    assert service.request("GET", "/v1/status")[2]["printer"]["state"] == "cannot_tell"


def test_a_stalled_printer_fails_the_job_in_time(service, full_line):
    line = os.open(service.printer.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    settings = termios.tcgetattr(line)
    began = time.monotonic()
    first = service.request("POST", "/v1/jobs", job(key="stalled"))[2]
    second = service.request("POST", "/v1/jobs", job())[2]
    printing(service, first["id"])
    assert service.request("DELETE", f"/v1/jobs/{first['id']}")[0] == 409
    status, _, cancelled = service.request("DELETE", f"/v1/jobs/{second['id']}")
    assert (status, cancelled["state"]) == (200, "cancelled")
    _, _, failed = service.request("POST", "/v1/jobs?wait=10", job(key="stalled"))
    assert time.monotonic() - began < 2 + 4
    assert (failed["state"], failed["results"][0]["error"]) == ("failed", "timeout")
    assert termios.tcgetattr(line) == settings
    fcntl.flock(line, fcntl.LOCK_EX | fcntl.LOCK_NB)  # no one holds the port
    os.close(line)


def test_a_full_queue_takes_no_more(service, tarvikd_options, full_line):
    assert service.stop() == 0
    db = sqlite3.connect(service.printer.directory / "tarvikd.db")
    with db:
        db.executemany("INSERT INTO jobs (commands, state, created) VALUES (?, 'queued', ?)",
                       [('[{"line_feed": {}}]', "2026-01-01T00:00:00.000Z")] * 1001)
    db.close()
    service.start(*tarvikd_options)
    printing(service, 1)  # on the stopped printer: 1,000 stay queued
    status, _, answer = service.request("POST", "/v1/jobs", job({"line_feed": {}}))
    assert (status, answer["error"]) == (503, "queue_full")
    assert service.request("GET", "/v1/jobs?limit=1")[2]["jobs"][0]["id"] == 1001


@pytest.mark.parametrize("signum, ended, first_state, texts", [
    (signal.SIGTERM, 0, "printed", [["FIRST", "SECOND"]]),
    # A killed job is printed at most once: some of it may have reached the line.
    (signal.SIGKILL, -signal.SIGKILL, "unknown", [["SECOND"], ["FIRST", "SECOND"]]),
])
def test_an_ending_service_finishes_or_forgets_the_job_it_prints(signum, ended, first_state, texts, service,
                                                                 full_line):
    first = service.request("POST", "/v1/jobs", job({"text": {"text": "FIRST"}}))[2]
    second = service.request("POST", "/v1/jobs", job({"text": {"text": "SECOND"}}))[2]
    printing(service, first["id"])
    service.process.send_signal(signum)
    if signum == signal.SIGTERM:
        os.kill(service.printer.process.pid, signal.SIGCONT)  # the printer takes the bytes again
    assert service.stop() == ended
    os.kill(service.printer.process.pid, signal.SIGCONT)
    service.start()
    done = service.request("POST", "/v1/jobs?wait=10", job({"line_feed": {}}))[2]
    jobs = {j["id"]: j for j in service.request("GET", "/v1/jobs")[2]["jobs"]}
    assert [jobs[j["id"]]["state"] for j in (first, second, done)] == [first_state, "printed", "printed"]
    assert [e["text"] for e in arrived(service.printer, lambda e: e["type"] == "line_feed") if "text" in e] in texts


def test_start_up_refusals(service, tmp_path):
    program, directory = service.program, service.printer.directory
    journal = directory / "tarvikd.db"
    (tmp_path / "empty").mkdir()
    (tmp_path / "not-a-db").write_text("x" * 4096)
    (tmp_path / "blank").write_text("\n")
    (tmp_path / "tokened/tarvikd.token").mkdir(parents=True)
    (tmp_path / "tokened/tarvik.ini").write_text("")
    taken = socket.create_server(("127.0.0.1", 0))
    rows = [
        (["--dir", tmp_path / "empty"], "no tarvik.ini"),
        (["--journal", tmp_path / "nonexistent/j.db"], "cannot open the journal"),
        (["--journal", tmp_path / "not-a-db"], "cannot open the journal"),
        (["--journal", journal], "another tarvikd uses it"),
        (["--token-file", tmp_path / "missing"], "cannot read the token file"),
        (["--token-file", tmp_path / "blank"], "holds no token"),
        (["--dir", tmp_path / "tokened", "--journal", tmp_path / "j.db"], "cannot read the token file"),
        (["--listen", f"127.0.0.1:{taken.getsockname()[1]}", "--journal", tmp_path / "j.db"], "cannot listen"),
        (["--listen", "0.0.0.0:0", "--journal", tmp_path / "j.db"], "not a loopback address"),
        (["--listen", "nowhere", "--journal", tmp_path / "j.db"], "give HOST:PORT"),
    ]
    for options, said in rows:
        run = subprocess.run([program, "--dir", directory, *options], capture_output=True, text=True, timeout=30)
        assert (run.returncode, run.stdout, run.stderr.count("\n")) == (2, "", 1), options
        assert run.stderr.startswith("tarvikd: ") and said in run.stderr, options
    taken.close()
