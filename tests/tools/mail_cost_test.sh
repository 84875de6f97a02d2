#!/usr/bin/env bash
# One mail cannot eat the server: the monitor, held to 1 GB of address
# space, gets through a mail of 50,000 tiny parts and 20,000 attachments
# and goes on to the mail behind them.
set -u
bin=$(cd "$1" && pwd)
zulctl="$bin/zulctl"
root=$(mktemp -d)
monitor=
trap '[ -n "$monitor" ] && kill "$monitor" 2>/dev/null; wait 2>/dev/null; rm -rf "$root"' EXIT
source "$(dirname "$0")/checks.sh"

/usr/bin/python3 - "$root" <<'PY'
import base64, sys
def mixed(parts, subject):
    return (b"From: a@sender.test\r\nTo: b@example.com\r\nSubject: " + subject + b"\r\nMIME-Version: 1.0\r\n"
            b'Content-Type: multipart/mixed; boundary="b"\r\n\r\n' + b"".join(b"--b\r\n" + p for p in parts) + b"--b--\r\n")
open(sys.argv[1] + "/parts.eml", "wb").write(mixed([b"Content-Type: text/plain\r\n\r\nx\r\n"] * 50000, b"parts"))
open(sys.argv[1] + "/attachments.eml", "wb").write(mixed(
    [b'Content-Type: application/octet-stream; name="f%d.bin"\r\nContent-Transfer-Encoding: base64\r\n\r\n%s\r\n'
     % (i, base64.b64encode(b"attachment %d" % i)) for i in range(20000)], b"attachments"))
open(sys.argv[1] + "/next.eml", "wb").write(b"From: a@sender.test\r\nTo: b@example.com\r\nSubject: next\r\n\r\nthe mail behind\r\n")
PY

check "init" 0 "$zulctl" init "$root/srv"
export ZUL_NOTES_INI="$root/srv/notes.ini"
check "settings init" 0 "$zulctl" settings init --bases "$bin/demo-bases"
(cd "$root/srv" && exec /usr/bin/prlimit --as=1073741824 "$bin/nZulMailMonitor" > "$root/monitor.txt" 2>&1) &
monitor=$!
for _ in $(seq 1 200); do "$zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done
check "submit" 0 "$zulctl" mail submit "$root/parts.eml" "$root/attachments.eml" "$root/next.eml"
for _ in $(seq 1 1200); do "$zulctl" mail held | grep -q '^0 held' && break; sleep 0.1; done
check "nothing left held" 0 "$zulctl" mail held
contains "nothing left held" "0 held"
check "the monitor lived through them" 0 kill -0 "$monitor"
check "the mail behind them left as sent" 0 "$zulctl" mail export mail.box 0x900
contains "the mail behind them left as sent" "the mail behind"
"$zulctl" quit >/dev/null
wait "$monitor"
monitor=
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
