#!/usr/bin/python3
"""Prints a check and its authentication as one job through tarvikd, then the
job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN name the
service and its token. The key names the document: a retry after a lost
answer gives the same job and prints nothing more."""

import json
import os
import sys
import urllib.error
import urllib.request

JOB = {"key": "pdv-0001", "commands": [
    {"check": {"text1": "MIL DUZENTOS E TRINTA E QUATRO REAIS", "text2": "E CINQUENTA E SEIS CENTAVOS",
               "date": "2026-12-08", "amount": 123456, "text5": "FULANO DE TAL", "text6": "SAO PAULO",
               "bank": "341"}},
    {"authenticate": {"text": "AUT 0001 08/12/2026 R$ 1.234,56", "pitch": "1", "double": True,
                      "selector": "Y"}}]}

request = urllib.request.Request(
    os.environ["TARVIK_URL"] + "/v1/jobs?wait=60", data=json.dumps(JOB).encode(),
    headers={"Authorization": "Bearer " + os.environ["TARVIK_TOKEN"], "Content-Type": "application/json"})
try:
    with urllib.request.urlopen(request, timeout=90) as response:
        state = json.load(response)["state"]
except urllib.error.HTTPError as error:
    sys.exit(f"{error.code} {error.read().decode()}")
print(state)
sys.exit(state != "printed")
