#!/usr/bin/env bash
# The gateway behind a real Postfix: an instance of its own (configuration,
# queue and Maildirs in a temporary folder, SMTP on 127.0.0.1 at a free port)
# with the content-filter lines of packaging/postfix, and the server set up by
# the README's gateway steps, run as they stand there. The system's own
# Postfix is never touched.
set -u
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
mailpy="$here/postfix_mail.py"
if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/postfix ] || ! command -v runuser >/dev/null; then
  echo "needs root, Postfix and runuser: skipped"
  exit 77
fi

root=$(mktemp -d)
chmod 755 "$root"
srv="$root/srv"
pf="$root/postfix"
maildirs="$root/mail"
pids=()
cleanup() {
  pkill -TERM -f "=$srv/notes.ini" 2>/dev/null
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  postfix -c "$pf/conf" abort >/dev/null 2>&1
  [ -n "${KEEP:-}" ] && echo "kept $root" || rm -rf "$root"
}
trap cleanup EXIT
. "$here/checks.sh"

# The README's gateway block, with this build, this folder and the demo bases
# in place of the installed programs, /srv/zul and ClamAV's bases.
readme_steps() {
  sed -n '/^### Content filter/,/^## /p' "$repo/README.md" | sed -n '/^```$/,/^```$/p' \
    | sed -e "s|/srv/zul|$srv|g" -e "s|--bases /var/lib/clamav|--bases $bin/demo-bases|" \
          -e "s#\\(^\\|[ =]\\)zulctl #\\1$bin/zulctl #" -e "s|-- nZulMailMonitor|-- $bin/nZulMailMonitor|" \
          -e "s|-- zulctl|-- $bin/zulctl|" -e "s|-- zulrouter|-- $bin/zulrouter|"
}
daemon_log="$root/router.txt"
. "$here/postfix_delivery.sh"

# 1-2. The user, the server directory, its settings and ownership.
getent passwd zul >/dev/null || eval "$(step useradd)"
for line in "$(step "$bin/zulctl init")" "$(step ZUL_NOTES_INI=)" "$(step chown)"; do
  [ -n "$line" ] || { echo "FAIL a README step is missing"; exit 1; }
  eval "$line" >/dev/null || { echo "FAIL README step: $line"; exit 1; }
done
export ZUL_NOTES_INI="$srv/notes.ini"

# Postfix: a minimal instance, plus the lines of packaging/postfix.
port=$(python3 "$mailpy" port)
reinject_port=$(python3 "$mailpy" port)
. "$here/postfix_instance.sh"
start_postfix_instance || { echo "FAIL"; exit 1; }
# The way back drops an idle connection after a second, so that the router
# reconnects often here and a changed setting reaches it soon.
postconf -c "$pf/conf" -P "127.0.0.1:$reinject_port/inet/smtpd_timeout=1s" >/dev/null
postfix -c "$pf/conf" reload >/dev/null 2>&1

# 3. The monitor and the router, by hand as the README says; the router's
# way back is the second smtpd of this instance.
start_monitor() {
  eval "$(step "runuser -u zul -- $bin/nZulMailMonitor")" >> "$root/monitor.txt" 2>&1 &
  monitor=$!
  pids+=("$monitor")
  for _ in $(seq 1 200); do as_zul "$bin/zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done
}
start_monitor
router_line=$(step "runuser -u zul -- $bin/zulrouter")
[ -n "$router_line" ] && passed=$((passed + 1)) || { echo "FAIL no router line in the README"; failures=$((failures + 1)); }
eval "${router_line/127.0.0.1:10026/127.0.0.1:$reinject_port}" > "$root/router.txt" 2>&1 &
pids+=($!)


# Everyday clean mail arrives as it was sent, apart from Postfix's trace headers.
send alternative clean-alt bob@example.com carol@example.com
send empty clean-empty bob@example.com
got=$(delivered bob clean-alt); once "alternative mail to bob" "$got"
check "alternative mail unchanged" 0 python3 "$mailpy" unchanged "$root/clean-alt.eml" "$(head -1 <<<"$got")"
once "alternative mail to carol" "$(delivered carol clean-alt)"
got=$(delivered bob clean-empty); once "empty-bodied mail" "$got"
check "empty-bodied mail unchanged" 0 python3 "$mailpy" unchanged "$root/clean-empty.eml" "$(head -1 <<<"$got")"
send dots clean-dots bob@example.com
got=$(delivered bob clean-dots); once "mail with lines of dots" "$got"
check "lines of dots unchanged on the way back" 0 python3 "$mailpy" unchanged "$root/clean-dots.eml" "$(head -1 <<<"$got")"

# Infected mail arrives cleaned, with its report; the administrators hear of it.
send eicar infected bob@example.com
got=$(delivered bob infected); once "infected mail" "$got"
check "infected mail cleaned and reported" 0 python3 "$mailpy" cleaned "$(head -1 <<<"$got")"
for _ in $(seq 1 400); do [ -n "$(ls "$maildirs/postmaster/new" 2>/dev/null)" ] && break; sleep 0.05; done
[ -n "$(ls "$maildirs/postmaster/new" 2>/dev/null)" ] && passed=$((passed + 1)) \
  || { echo "FAIL no memo reached the administrators"; tail -20 "$pf/maillog"; failures=$((failures + 1)); }

# With the monitor stopped, mail waits held: no bounce, no delivery; it goes
# out scanned, once, when the monitor is back.
pkill -TERM -f "nZulMailMonitor =$srv/notes.ini"; wait "$monitor" 2>/dev/null
send empty while-down bob@example.com
for _ in $(seq 1 200); do as_zul "$bin/zulctl" mail held | grep -q . && break; sleep 0.05; done
check "held while the monitor is down" 0 as_zul "$bin/zulctl" mail held
contains "held while the monitor is down" "1 held"
[ -z "$(python3 "$mailpy" find "$maildirs/bob" while-down)" ] && passed=$((passed + 1)) \
  || { echo "FAIL delivered unscanned"; failures=$((failures + 1)); }
check "postfix queue empty" 0 postqueue -c "$pf/conf" -p
contains "postfix queue empty" "Mail queue is empty"
start_monitor
once "mail held while the monitor was down" "$(delivered bob while-down)"

# A hand-over Postfix refuses stays in mail.box and is tried again, over a
# new connection.
refuse() {  # refuse RESTRICTIONS: what the way back answers recipients, from its next connection on
  postconf -c "$pf/conf" -P "127.0.0.1:$reinject_port/inet/smtpd_recipient_restrictions=$1" >/dev/null
  postfix -c "$pf/conf" reload >/dev/null 2>&1
  # The router's kept connection ends with the smtpd's idle time-out.
  for _ in $(seq 1 200); do pgrep -f "smtpd -n 127.0.0.1:$reinject_port" >/dev/null || break; sleep 0.05; done
}
refuse reject
send empty refused bob@example.com
for _ in $(seq 1 400); do grep -q 'not relayed' "$root/router.txt" && break; sleep 0.05; done
grep -q 'not relayed (smtp://127.0.0.1:[0-9]*: RCPT failed: 554); kept in mail.box' "$root/router.txt" && passed=$((passed + 1)) \
  || { echo "FAIL no refusal seen: $(cat "$root/router.txt")"; failures=$((failures + 1)); }
refuse permit_mynetworks,reject
once "refused hand-over retried" "$(delivered bob refused)"

grep -q 'status=bounced' "$pf/maillog" && { echo "FAIL a bounce:"; grep bounced "$pf/maillog"; failures=$((failures + 1)); }
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
