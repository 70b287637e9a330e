"""tarvikd under load, killed, with a printer killed under it, and fed bad
requests: no job accepted is lost or printed twice, no refused one prints."""

import copy
import json
import os
import random
import signal

from test_service import AUTH, CHECK, arrived, at_once, changed, job, printing

SEED = random.randrange(2**32)


def check_job(tag, **members):
    """A check and its authentication, both carrying ``tag``."""
    return job(changed(CHECK, text1=tag), changed(AUTH, text=tag), **members)


def on_paper(printer):
    return [(e["type"], e["fields"][0] if e["type"] == "check" else e["text"])
            for e in printer.events() if e["type"] in ("check", "authentication")]


def everything_printed(service):
    """Waits until every job queued so far has ended and what it printed has arrived."""
    last = service.request("POST", "/v1/jobs?wait=60", job({"text": {"text": "END OF RUN"}}))[2]
    assert last["state"] == "printed"
    return arrived(service.printer, lambda e: e.get("text") == "END OF RUN")[:-1]


def test_eight_clients_at_once_print_whole_jobs_in_the_journal_s_order(print_service):
    answers = []

    def client(c):
        for j in range(25):
            answers.append(print_service.request("POST", "/v1/jobs?wait=100", check_job(f"C{c}J{j}"), timeout=120))

    at_once(8, client)
    assert sorted((status, done["state"]) for status, _, done in answers) == [(201, "printed")] * 200
    events = print_service.printer.wait(200 * 10, timeout=60)
    # Each job's nine fields, its summary and its authentication, with no other job's command among them.
    assert [e["type"] for e in events] == (["check_field"] * 9 + ["check", "authentication"]) * 200
    in_order = sorted((done for _, _, done in answers), key=lambda done: done["started"])
    tags = [done["commands"][0]["check"]["text1"] for done in in_order]
    assert on_paper(print_service.printer) == [(kind, tag) for tag in tags for kind in ("check", "authentication")]


def test_killed_five_times_in_fifty_jobs_nothing_is_lost_or_printed_twice(print_service):
    rng = random.Random(SEED)
    accepted, kills, since = {}, 0, 0
    at = rng.randint(1, 10)
    while len(accepted) < 50:
        key = f"K{len(accepted)}"
        status, _, answer = print_service.request("POST", "/v1/jobs", check_job(key, key=key))
        assert status in (200, 201), (SEED, answer)
        accepted[key] = answer["id"]
        since += 1
        if kills < 5 and since == at:
            # At a random point of the printing, which runs behind the answers.
            assert print_service.stop(signal.SIGKILL) == -signal.SIGKILL
            print_service.start()
            kills, since, at = kills + 1, 0, rng.randint(1, 10)
    ended = {key: print_service.request("POST", "/v1/jobs?wait=60", check_job(key, key=key))[2] for key in accepted}
    everything_printed(print_service)
    assert {key: done["id"] for key, done in ended.items()} == accepted
    states = [done["state"] for done in ended.values()]
    assert set(states) <= {"printed", "unknown"} and states.count("unknown") <= kills, (SEED, states)
    paper = on_paper(print_service.printer)
    for key, done in ended.items():
        copies = paper.count(("check", key))
        assert copies == 1 if done["state"] == "printed" else copies <= 1, (SEED, key, done["state"], copies)


def test_a_printer_killed_mid_job_fails_it(print_service, full_line):
    first = print_service.request("POST", "/v1/jobs", check_job("KILLED", key="k"))[2]
    printing(print_service, first["id"])
    os.kill(print_service.printer.process.pid, signal.SIGKILL)
    failed = print_service.request("POST", "/v1/jobs?wait=30", check_job("KILLED", key="k"))[2]
    # In a command, or in the hold around them when the printer went first.
    why = failed["results"][-1] if failed["results"] else failed["error"]
    assert (failed["state"], why["error"]) in [("failed", "send"), ("failed", "port")], failed


def random_value(rng, depth=0):
    choices = [None, True, False, rng.randint(-2**70, 2**70), rng.randint(0, 12), rng.uniform(-1e6, 1e6),
               "".join(rng.choice("aZ09 .,-/:}{\x00\x1b\u20ac\u00c7\ud800") for _ in range(rng.randint(0, 120)))]
    if depth < 3:
        choices += [[random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))],
                    {rng.choice(["text", "n", "pitch", "x", "key", "commands"]): random_value(rng, depth + 1)
                     for _ in range(rng.randint(0, 3))}]
    return rng.choice(choices)


def bad_request(rng):
    """A method, a path, headers and a body, mostly wrong in one way."""
    body = check_job("FUZZ", key=f"F{rng.randrange(10**6)}")
    spot = body
    while isinstance(spot, (dict, list)) and spot and rng.random() < 0.7:
        parent, index = spot, rng.choice(list(spot) if isinstance(spot, dict) else range(len(spot)))
        spot = spot[index]
    if spot is not body:
        choice = rng.random()
        if choice < 0.15 and isinstance(parent, dict):
            del parent[index]
        elif choice < 0.3 and isinstance(parent, dict):
            parent[rng.choice(["extra", "n", "text"])] = random_value(rng)
        else:
            parent[index] = random_value(rng)
    data = json.dumps(body).encode() if rng.random() < 0.9 else json.dumps(random_value(rng)).encode()
    if rng.random() < 0.1:
        data = data[:rng.randrange(len(data) + 1)]
    headers = {"Content-Type": rng.choice(["application/json"] * 8 + ["text/plain", "application/json; charset=x"])}
    if rng.random() < 0.05:
        headers["Authorization"] = "Bearer wrong"
    method, path = rng.choice([("POST", "/v1/jobs")] * 6 + [("POST", "/v1/preview"), ("POST", "/v1/jobs?wait=x"),
                                                           ("GET", "/v1/jobs?limit=-1"), ("DELETE", "/v1/jobs/1")])
    return method, path, headers, data


def test_ten_thousand_bad_requests_break_nothing_and_print_nothing_refused(print_service):
    answers = []

    def client(c):
        rng = random.Random(SEED + c)
        connection = print_service.connection(timeout=60)
        for _ in range(1250):
            method, path, headers, data = bad_request(rng)
            connection.request(method, path, data, {"Authorization": f"Bearer {print_service.token}"} | headers)
            response = connection.getresponse()
            answers.append((response.status, response.getheader("Content-Type"), response.read()))
        connection.close()

    at_once(8, client)
    assert len(answers) == 10000
    for status, kind, data in answers:
        assert status < 500 or (status, json.loads(data)["error"]) == (503, "queue_full"), (SEED, status, data)
    ids = {json.loads(data)["id"] for status, kind, data in answers if status in (200, 201) and kind != "image/svg+xml"}
    events = everything_printed(print_service)
    commands = 0
    for id in ids:
        done = print_service.request("GET", f"/v1/jobs/{id}")[2]
        assert done["state"] in ("printed", "failed", "cancelled"), (SEED, done)  # DELETE /v1/jobs/1 is among them
        commands += sum(9 if "check" in c else 1 for c, r in zip(done["commands"], done["results"]) if r["ok"])
    assert print_service.process.poll() is None, SEED
    assert len([e for e in events if e["type"] != "check"]) == commands, SEED
