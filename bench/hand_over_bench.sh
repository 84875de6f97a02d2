#!/usr/bin/env bash
# The hand-over from an MTA, per message: wall time and fdatasync of the hook
# (zulsubmit, and zulctl mail submit beside it) while the monitor runs; then,
# as root with Postfix installed, Postfix's message rate through the gateway
# against the same Postfix instance without the filter, in one run.
#   bench/hand_over_bench.sh BUILD [MAILS]
set -u
bin=$(cd "${1:?usage: hand_over_bench.sh BUILD [MAILS]}" && pwd)
mails=${2:-200}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
mailpy="$repo/tests/tools/postfix_mail.py"
root=$(mktemp -d)
chmod 755 "$root"
srv="$root/srv"
pf="$root/postfix"
maildirs="$root/mail"
cleanup() {
  pkill -TERM -f "=$root/" 2>/dev/null
  [ -d "$pf/conf" ] && postfix -c "$pf/conf" abort >/dev/null 2>&1
  wait 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
now_ms() { date +%s%3N; }

"$bin/zulctl" init "$srv" --admin postmaster@example.com >/dev/null
export ZUL_NOTES_INI="$srv/notes.ini"
"$bin/zulctl" settings init --bases "$bin/demo-bases" >/dev/null
printf 'From: anna@sender.test\nTo: bob@example.com\nSubject: hand-over\n\nhello\n' > "$root/m.eml"

as_owner() { if [ "$(id -u)" -eq 0 ]; then setpriv --reuid zul --regid zul --init-groups -- "$@"; else "$@"; fi; }
if [ "$(id -u)" -eq 0 ]; then
  getent passwd zul >/dev/null || useradd --system --user-group --home-dir /nonexistent --shell /usr/sbin/nologin zul
  chown -R zul:zul "$srv"
fi
(cd "$srv" && as_owner "$bin/nZulMailMonitor" "=$srv/notes.ini" > "$root/monitor.txt" 2>&1) &
for _ in $(seq 1 200); do as_owner "$bin/zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done

hand_over() {  # hand_over NAME COMMAND...: ms per message and fdatasync per message
  local name=$1
  shift
  python3 - "$name" "$mails" "$root/m.eml" "$@" <<'PY'
import os, pwd, subprocess, sys, time
name, mails, message, command = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
user = "zul" if os.getuid() == 0 else None
def run(prefix=()):
    with open(message, "rb") as m:
        return subprocess.run([*prefix, *command], stdin=m, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              user=user, group=user, extra_groups=[] if user else None, check=True)
start = time.perf_counter()
for _ in range(mails):
    run()
wall = (time.perf_counter() - start) / mails * 1000
syncs = 0
for _ in range(20):
    report = run(["strace", "-f", "-c", "-e", "trace=fdatasync,fsync"]).stderr.decode()
    syncs += sum(int(line.split()[3]) for line in report.splitlines() if line.rstrip().endswith(("fdatasync", "fsync")))
print(f"{name:28} {wall:6.2f} ms/message  {syncs / 20:4.2f} fdatasync/message")
PY
}
submit=("$bin/zulsubmit" --from anna@sender.test --to bob@example.com -)
as_owner "${submit[@]}" < "$root/m.eml"  # the monitor scans one and so holds mail.box open, as it runs
for _ in $(seq 1 200); do [ "$(as_owner "$bin/zulctl" mail held | grep -c '^0x')" = 0 ] && break; sleep 0.05; done
as_owner "$bin/zulctl" tell zulmailmonitor HOOK PAUSE SMTP >/dev/null
for _ in $(seq 1 200); do [ -s "$srv/run/hook-SMTP.state" ] && break; as_owner "${submit[@]}" < "$root/m.eml"; sleep 0.05; done
echo "hand-over, $mails messages each; the hook alone (paused: nothing to scan):"
hand_over "zulsubmit" "${submit[@]}"
hand_over "zulctl mail submit -" "$bin/zulctl" mail submit --from anna@sender.test --to bob@example.com -
as_owner "$bin/zulctl" tell zulmailmonitor HOOK RESUME SMTP >/dev/null
echo "and held, the monitor scanning each meanwhile (2 cores shared):"
hand_over "zulsubmit" "${submit[@]}"
pkill -TERM -f "=$srv/notes.ini"
wait

if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/postfix ]; then
  echo "Postfix rate: needs root and Postfix; skipped"
  exit 0
fi
# A fresh server for the rate, so nothing of the above is relayed meanwhile.
srv="$root/gateway"
"$bin/zulctl" init "$srv" --admin postmaster@example.com >/dev/null
export ZUL_NOTES_INI="$srv/notes.ini"
"$bin/zulctl" settings init --bases "$bin/demo-bases" >/dev/null
chown -R zul:zul "$srv"
(cd "$srv" && as_owner "$bin/nZulMailMonitor" "=$srv/notes.ini" > "$root/monitor.txt" 2>&1) &
for _ in $(seq 1 200); do as_owner "$bin/zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done
port=$(python3 "$mailpy" port)
plain_port=$(python3 "$mailpy" port)
. "$repo/tests/tools/postfix_instance.sh"
start_postfix_instance || exit 1
(runuser -u zul -g postdrop -- env MAIL_CONFIG="$pf/conf" "$bin/zulctl" "=$srv/notes.ini" mail route --follow --relay sendmail \
  > "$root/router.txt" 2>&1) &

delivered=0
rate() {  # rate PORT: messages per second from the first SMTP command to the last delivery
  local start end
  start=$(now_ms)
  python3 "$mailpy" burst "$1" "$mails" "rate-$1"
  delivered=$((delivered + mails))
  for _ in $(seq 1 60000); do
    [ "$(ls "$maildirs/bob/new" 2>/dev/null | wc -l)" -ge "$delivered" ] && break
    sleep 0.01
  done
  end=$(now_ms)
  echo "$mails / (($end - $start) / 1000)" | bc -l
}
plain=$(rate "$plain_port")
filtered=$(rate "$port")
printf 'Postfix without the filter: %6.1f messages/s\n' "$plain"
printf 'Postfix through the gateway: %6.1f messages/s (%.2f of the plain rate)\n' "$filtered" \
  "$(echo "$filtered / $plain" | bc -l)"
