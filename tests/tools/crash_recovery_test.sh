#!/usr/bin/env bash
# No mail stuck or lost when the monitor dies: 300 mails (some infected, some
# large) stream through a monitor that is killed with SIGKILL at random
# points and restarted after "zulctl mail requeue", as its service unit does.
# In the end every mail is released, none carries its infected object, none
# is lost, none is held without a request and no copy is left on disk.
#   crash_recovery_test.sh BUILD [KILLS]
set -u
bin=$(cd "$1" && pwd)
kills=${2:-4}
zulctl="$bin/zulctl"
root=$(mktemp -d)
monitor=
trap '[ -n "$monitor" ] && kill -9 "$monitor" 2>/dev/null; wait 2>/dev/null; rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

"$zulctl" init "$root/srv" >/dev/null || exit 1
export ZUL_NOTES_INI="$root/srv/notes.ini"
"$zulctl" ini set ZulMailMonitorLogLevel 1 >/dev/null
"$zulctl" settings init --bases "$bin/demo-bases" >/dev/null || exit 1

python3 - "$root/mail" <<'PY'
import base64, os, random, sys
out = sys.argv[1]
os.makedirs(out)
rng = random.Random(int.from_bytes(os.urandom(4), "little"))
eicar = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
for i in range(300):
    kind = i % 5
    data = eicar if kind == 0 else rng.randbytes(1_000_000) if kind == 1 else f"clean text {i}\n".encode() * 50
    name = f"object{i}.txt" if kind != 1 else f"large{i}.bin"
    msg = (f"From: s{i}@example.com\nTo: anna@example.com\nSubject: crash test {i}\nMIME-Version: 1.0\n"
           'Content-Type: multipart/mixed; boundary="b"\n\n--b\nContent-Type: text/plain\n\nhello\n--b\n'
           f'Content-Type: application/octet-stream; name="{name}"\nContent-Transfer-Encoding: base64\n\n'
           + base64.encodebytes(data).decode() + "--b--\n")
    open(os.path.join(out, f"m{i:03d}.eml"), "w").write(msg)
PY

start_monitor() {
  (cd "$root/srv" && exec "$bin/nZulMailMonitor" >> "$root/console.txt" 2>&1) &
  monitor=$!
  for _ in $(seq 1 400); do "$zulctl" tasks | grep -q 'Idle task\|Scanning mail' && return 0; sleep 0.025; done
  fail "monitor did not start"
}

start_monitor
"$zulctl" mail submit "$root/mail"/*.eml > "$root/submit.txt" 2>&1 &
submitter=$!
for k in $(seq 1 "$kills"); do
  sleep "0.$(( (RANDOM % 6) + 1 ))"
  kill -9 "$monitor" 2>/dev/null
  wait "$monitor" 2>/dev/null
  "$zulctl" mail requeue >/dev/null || fail "requeue after kill $k"
  start_monitor
done
wait "$submitter" || fail "submission: $(tail -3 "$root/submit.txt")"
"$zulctl" mail requeue >/dev/null  # for a kill that came after the last submission's request was read
held=
for _ in $(seq 1 1200); do
  held=$("$zulctl" mail held | tail -1)
  [ "$held" = "0 held" ] && break
  sleep 0.05
done
[ "$held" = "0 held" ] || { fail "still held: $held"; "$zulctl" mail held | head -5; }

leftover=$(find "$root/srv/tmp/zulmailmonitor" -maxdepth 1 -type f -name 'ZELK*' | wc -l)
[ "$leftover" = 0 ] || fail "$leftover scan copies left in the work folder"

"$zulctl" db ls mail.box > "$root/box.txt"
subjects=$(grep -o 'crash test [0-9]*' "$root/box.txt" | sort -u | wc -l)
[ "$subjects" = 300 ] || fail "$subjects of 300 mails in mail.box"
infected=0
for id in $(awk '/crash test/ {print $1}' "$root/box.txt"); do
  "$zulctl" mail export mail.box "$id" > "$root/export.eml" 2>/dev/null || { fail "mail $id cannot be exported"; continue; }
  if grep -q 'WDVPIVAlQEFQWzRcUFpYNTQo' "$root/export.eml"; then infected=$((infected + 1)); fi
done
[ "$infected" = 0 ] || fail "$infected mails still carry their infected object"

"$zulctl" quit --wait 20 >/dev/null
wait "$monitor" 2>/dev/null
monitor=
echo "$kills kills; $subjects mails; $failures failures"
[ "$failures" -eq 0 ]
