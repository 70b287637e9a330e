#!/usr/bin/env bash
# A printer on another machine, on loopback: tarvik-virtual plays the printer
# on a pseudo-terminal, ser2net serves that over raw TCP on 127.0.0.1, and
# socat makes the application's local pseudo-terminal, which the library opens
# through tarvik.ini. A check and a line feed printed through it, two opens
# and closes of the port, must reach the printer byte for byte as they reach
# a printer on a local port.
# Usage: loopback.sh TARVIK_VIRTUAL TARVIK_PRINT WORKDIR
# TARVIK_EMULATOR, if set, runs the two programs.
set -euo pipefail
emulator=(${TARVIK_EMULATOR:-})
virtual=("${emulator[@]}" "$(realpath "$1")") print=("${emulator[@]}" "$(realpath "$2")") work=$3
rm -rf "$work"
mkdir -p "$work/direct" "$work/printer" "$work/app"

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
fail() {
  echo "loopback: $*" >&2
  for f in "$work"/*.log; do [ -s "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }; done >&2
  exit 1
}
# Starts tarvik-virtual in DIR as printer NAME, capturing what it receives in
# NAME.bin; its JSON lines come on descriptor 3, and its ready line is read
# into $ready.
start_printer() {
  local name=$1 dir=$2
  mkfifo "$work/$name.out"
  timeout 60 "${virtual[@]}" --dir "$dir" --json --count 10 --capture "$work/$name.bin" \
    >"$work/$name.out" 2>"$work/$name.log" &
  pids+=($!)
  exec 3<"$work/$name.out"
  IFS= read -r -t 30 ready <&3 || fail "tarvik-virtual did not start"
}

# One check, with a 0xFF byte in a field: raw TCP must carry it unchanged.
check_args=('PAGUE POR ESTE CHEQUE' 'JOSE DA SILVA' 15/03/2025 1.234,56 $'SAO PAULO \xff' 'CONTA 12345-6' 237)
bank='237 06,14,08,06,06,05,05'

# The bytes on a local port, for comparison.
printf '%s\n' "$bank" >"$work/direct/tarvik.ini"
start_printer direct "$work/direct"
(cd "$work/direct" && "${print[@]}" check "${check_args[@]}" && "${print[@]}" lf 2) >/dev/null || fail "local commands failed"
cat <&3 >"$work/direct.json"
exec 3<&-
wait "${pids[-1]}" || fail "local tarvik-virtual failed"

# The printer's machine: the virtual printer and ser2net in front of it.
start_printer remote "$work/printer"
device=$(sed -n 's/.*"device":"\([^"]*\)".*/\1/p' <<<"$ready")
[ -c "$device" ] || fail "no printer device in: $ready"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/ser2net.yaml" <<YAML
connection: &printer
  accepter: tcp,127.0.0.1,$port
  connector: serialdev,$device,9600n81,local
  options:
    kickolduser: true
YAML
timeout 60 "${SER2NET:-ser2net}" -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$work/ser2net.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  ss -ltnH "sport = :$port" | grep -q . && break
  kill -0 "${pids[-1]}" 2>/dev/null || fail "ser2net ended"
  sleep 0.1
done
ss -ltnH "sport = :$port" | grep -q . || fail "ser2net does not listen on $port"

# The application's machine: socat makes the local port. ignoreeof keeps it
# going across the library's close after every command; raw TCP, because the
# telnet mode drops 0xFF bytes.
mkfifo "$work/socat.err"
timeout 60 socat -d -d "PTY,rawer,ignoreeof" "TCP:127.0.0.1:$port" 2>"$work/socat.err" &
pids+=($!)
exec 4<"$work/socat.err"
while IFS= read -r -t 30 line <&4; do
  if [[ $line =~ PTY\ is\ /dev/(pts/[0-9]+) ]]; then local_port=${BASH_REMATCH[1]}; break; fi
done
[ -n "${local_port:-}" ] || fail "socat made no pseudo-terminal"
cat <&4 >"$work/socat.log" &
pids+=($!)
printf 'Porta=%s\n%s\n' "$local_port" "$bank" >"$work/app/tarvik.ini"

# The second command opens the port after the library closed it once: socat
# must still be there.
(cd "$work/app" && "${print[@]}" check "${check_args[@]}" && "${print[@]}" lf 2) >/dev/null \
  || fail "commands through the network failed"
cat <&3 >"$work/remote.json"
exec 3<&-
wait "${pids[1]}" || fail "remote tarvik-virtual failed"

cmp "$work/direct.bin" "$work/remote.bin" || fail "the bytes differ from a local port's"
cmp -s "$work/direct.json" "$work/remote.json" || fail "the decoded check differs"
grep -q '"type":"check".*"amount":"000000123456"' "$work/remote.json" || fail "no check decoded: $(cat "$work/remote.json")"
grep -q '"type":"line_feed","count":2' "$work/remote.json" || fail "no line feed decoded"
echo "check and line feed printed through ser2net and socat on 127.0.0.1:$port, $(wc -c <"$work/remote.bin") bytes, all equal"
