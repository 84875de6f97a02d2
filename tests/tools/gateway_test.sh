#!/usr/bin/env bash
# Gateway mode against a stand-in for the MTA's sendmail: mail from the MTA's
# pipe with its envelope, scanned by the running monitor, relayed back with
# the envelope; a hand-over the MTA refuses stays and is retried.
set -u
bin=$(cd "$1" && pwd)
zulctl="$bin/zulctl"
root=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$root"' EXIT
failures=0
passed=0
ok() { passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

cat > "$root/sendmail" <<SH
#!/bin/sh
# Refuses while the file "refuse" exists, as an MTA that cannot queue now.
[ -e "$root/refuse" ] && exit 75
# Takes nothing and says it did, while the file "lazy" exists.
[ -e "$root/lazy" ] && exit 0
echo "\$*" > "$root/relayed.\$\$.args"
cat > "$root/relayed.\$\$.eml"
SH
chmod +x "$root/sendmail"

"$zulctl" init "$root/srv" >/dev/null
export ZUL_NOTES_INI="$root/srv/notes.ini"
"$zulctl" settings init --bases "$bin/demo-bases" >/dev/null
(cd "$root/srv" && exec "$bin/nZulMailMonitor" > "$root/monitor.txt" 2>&1) &
pids+=($!)
for _ in $(seq 1 200); do "$zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done

message='From: Header Sender <header@example.com>\nTo: header-to@example.com\nSubject: through the gateway\n\nhello\n'
printf "$message" | "$zulctl" mail submit --from envelope@example.com --to anna@example.com bob@example.com - \
  && ok || fail "submit from the MTA"
"$zulctl" db show mail.box 0x8f8 > "$root/show.txt"
grep -q 'SMTPOriginator .*envelope@example.com' "$root/show.txt" && ok || fail "envelope sender: $(grep SMTPOriginator "$root/show.txt")"
grep -q 'Recipients .*anna@example.com.*bob@example.com' "$root/show.txt" && ok || fail "envelope recipients: $(grep Recipients "$root/show.txt")"
printf 'no header here\n' | "$zulctl" mail submit --from a@example.com --to b@example.com -
[ $? -eq 65 ] && ok || fail "not a message is not 65"
printf "$message" | "$zulctl" "=$root/nowhere/notes.ini" mail submit --from a@example.com --to b@example.com -
[ $? -eq 75 ] && ok || fail "no server is not 75 (temporary)"
many=$(seq -f 'r%g@example.com' 1 70000)
refusal=$(printf "$message" | "$zulctl" mail submit --from a@example.com --to $many - 2>&1)
[ $? -eq 65 ] && ok || fail "70000 recipients not refused before acceptance: $refusal"
grep -q '70000 recipients; at most 65535' <<<"$refusal" && ok || fail "no reason: $refusal"
[ "$("$zulctl" db ls mail.box | grep -c 'through the gateway')" = 1 ] && ok || fail "a refused message was stored"
"$zulctl" mail submit --to b@example.com "$root/show.txt" >/dev/null 2>&1
[ $? -eq 2 ] && ok || fail "an envelope for files is not refused"

# The MTA's own hook program: the same storage, and a command line the MTA
# got wrong keeps the mail with the MTA (75) rather than bouncing it.
printf "$message" | "$bin/zulsubmit" --from '' --to carol@example.com - && ok || fail "zulsubmit did not store"
"$zulctl" db ls mail.box | grep -c 'through the gateway' | grep -qx 2 && ok || fail "zulsubmit's message not in mail.box"
printf 'no header here\n' | "$bin/zulsubmit" --from a@example.com --to b@example.com -
[ $? -eq 65 ] && ok || fail "zulsubmit: not a message is not 65"
printf "$message" | "$bin/zulsubmit" --from a@example.com -
[ $? -eq 75 ] && ok || fail "zulsubmit: a bad command line is not 75"
printf "$message" | "$bin/zulsubmit" "=$root/nowhere/notes.ini" --from a@example.com --to b@example.com -
[ $? -eq 75 ] && ok || fail "zulsubmit: no server is not 75"
"$bin/zulsubmit" --help | grep -q 'Exit codes' && ok || fail "zulsubmit --help"

touch "$root/refuse"
("$bin/zulrouter" --relay "sendmail:$root/sendmail" > "$root/router.txt" 2>&1) &
pids+=($!)
for _ in $(seq 1 200); do grep -q 'not relayed' "$root/router.txt" && break; sleep 0.05; done
grep -q '0x8F8 not relayed (.*exited with 75); kept in mail.box' "$root/router.txt" && ok || fail "refusal: $(cat "$root/router.txt")"
"$zulctl" tasks | grep -q 'ZulRouter' && ok || fail "no router status line"
"$bin/zulrouter" --help | grep -q 'One router runs per server' && ok || fail "zulrouter --help"
second=$("$zulctl" mail route --follow --relay "sendmail:$root/sendmail" 2>&1)
[ $? -eq 1 ] && ok || fail "a second router was not refused: $second"
grep -q "a router is already running on this server (process $!)" <<<"$second" && ok || fail "holder not named: $second"
"$zulctl" mail route > /dev/null 2>&1
[ $? -eq 1 ] && ok || fail "a one-shot route beside the running router was not refused"
rm "$root/refuse"
for _ in $(seq 1 200); do grep -q '0x8F8 relayed' "$root/router.txt" && break; sleep 0.05; done
first=$(grep -l 'envelope@example.com' "$root"/relayed.*.args 2>/dev/null | head -1)
[ "$(cat "$first" 2>/dev/null)" = "-G -i -f envelope@example.com -- anna@example.com bob@example.com" ] && ok \
  || fail "relay arguments: $(cat "$root"/relayed.*.args 2>/dev/null)"
cmp -s "${first%.args}.eml" <(printf "$message") && ok || fail "relayed message is not the original"

# A sendmail that exits 0 without reading the message did not take it.
touch "$root/lazy"
printf 'From: a@example.com\nSubject: unread\n\nbody\n' | "$zulctl" mail submit --from a@example.com --to dan@example.com -
for _ in $(seq 1 200); do grep -q 'did not read the whole message' "$root/router.txt" && break; sleep 0.05; done
grep -q 'not relayed (.*did not read the whole message); kept in mail.box' "$root/router.txt" && ok \
  || fail "an unread message counted as handed over: $(cat "$root/router.txt")"
rm "$root/lazy"
for _ in $(seq 1 200); do grep -lq 'dan@example.com' "$root"/relayed.*.args 2>/dev/null && break; sleep 0.05; done
grep -lq 'dan@example.com' "$root"/relayed.*.args && ok || fail "the unread message was not tried again"

"$zulctl" tell zulmailmonitor HOOK INFO SMTP >/dev/null
for _ in $(seq 1 100); do grep -q 'Mail hook SMTP: holding' "$root/srv/server.log" && break; sleep 0.05; done
grep -q 'Mail hook SMTP: holding' "$root/srv/server.log" && ok || fail "hook command not served at once"

"$zulctl" quit --wait 20 > "$root/quit.txt" && ok || fail "quit: $(cat "$root/quit.txt")"
grep -q 'ZulRouter.*ended' "$root/quit.txt" && ok || fail "router did not end: $(cat "$root/quit.txt")"
wait
pids=()
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
