#!/bin/sh
# Prints a check and its authentication as one job through tarvikd, then the
# job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN name the
# service and its token. The key names the document: a retry after a lost
# answer gives the same job and prints nothing more.
set -eu
job=$(curl --silent --show-error --fail-with-body --max-time 90 \
  -H "Authorization: Bearer $TARVIK_TOKEN" -H 'Content-Type: application/json' \
  --data-binary @- "$TARVIK_URL/v1/jobs?wait=60" <<'EOF'
{"key": "pdv-0001", "commands": [
  {"check": {"text1": "MIL DUZENTOS E TRINTA E QUATRO REAIS", "text2": "E CINQUENTA E SEIS CENTAVOS",
             "date": "2026-12-08", "amount": 123456, "text5": "FULANO DE TAL", "text6": "SAO PAULO",
             "bank": "341"}},
  {"authenticate": {"text": "AUT 0001 08/12/2026 R$ 1.234,56", "pitch": "1", "double": true,
                    "selector": "Y"}}]}
EOF
) || { printf "%s\n" "$job" >&2; exit 1; }
state=$(printf "%s\n" "$job" | sed -n 's/.*"state": "\([a-z]*\)".*/\1/p')
echo "$state"
[ "$state" = printed ]
