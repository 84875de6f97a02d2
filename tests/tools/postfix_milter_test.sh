#!/usr/bin/env bash
# The milter behind a real Postfix: an instance of its own (configuration,
# queue and Maildirs in a temporary folder, SMTP on 127.0.0.1 at a free port)
# with the lines of packaging/postfix/milter.cf, and the server set up by the
# README's milter steps, run as they stand there. The system's own Postfix is
# never touched.
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
spool="$root/spool"  # stands for /var/spool/postfix/zul
milter_socket="$spool/milter.sock"
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

# The README's milter block, with this build, this folder and the demo bases
# in place of the installed programs, /srv/zul and ClamAV's bases.
readme_steps() {
  sed -n '/^### Milter/,/^##/p' "$repo/README.md" | sed -n '/^```$/,/^```$/p' \
    | sed -e "s|/srv/zul|$srv|g" -e "s|/var/spool/postfix/zul|$spool|g" \
          -e "s|--bases /var/lib/clamav|--bases $bin/demo-bases|" \
          -e "s#\\(^\\|[ =]\\)zulctl #\\1$bin/zulctl #" -e "s|-- nZulMailMonitor|-- $bin/nZulMailMonitor|" \
          -e "s|-- zulrouter|-- $bin/zulrouter|" -e "s|-- zulmilter|-- $bin/zulmilter|"
}
daemon_log="$root/milter.txt"
. "$here/postfix_delivery.sh"

getent passwd zul >/dev/null || eval "$(step useradd)"
for line in "$(step "$bin/zulctl init")" "$(step ZUL_NOTES_INI=)" "$(step chown)" "$(step "install -d")"; do
  [ -n "$line" ] || { echo "FAIL a README step is missing"; exit 1; }
  eval "$line" >/dev/null || { echo "FAIL README step: $line"; exit 1; }
done
export ZUL_NOTES_INI="$srv/notes.ini"

port=$(python3 "$mailpy" port)
. "$here/postfix_instance.sh"
start_postfix_instance || { echo "FAIL"; exit 1; }

start_monitor() {
  eval "$(step "runuser -u zul -- $bin/nZulMailMonitor")" >> "$root/monitor.txt" 2>&1 &
  monitor=$!
  pids+=("$monitor")
  for _ in $(seq 1 200); do as_zul "$bin/zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done
}
stop_monitor() {
  pkill -TERM -f "nZulMailMonitor =$srv/notes.ini"; wait "$monitor" 2>/dev/null
}
start_milter() {
  milter_line=$(step "runuser -u zul -g zul -G postfix -- $bin/zulmilter")
  [ -n "$milter_line" ] || { echo "FAIL no milter line in the README"; exit 1; }
  rm -f "$milter_socket"  # a stopped milter's socket would pass for the new one's
  eval "$milter_line" >> "$root/milter.txt" 2>&1 &
  milter=$!
  pids+=("$milter")
  for _ in $(seq 1 200); do [ -S "$milter_socket" ] && break; sleep 0.05; done
}
stop_milter() {  # the milter itself: runuser would kill it 2 s after passing the signal on
  pkill -TERM -f "zulmilter =$srv/notes.ini"; wait "$milter" 2>/dev/null
}
start_monitor
eval "$(step "runuser -u zul -- $bin/zulrouter" | sed "s|runuser -u zul --|runuser -u zul -g postdrop -- env MAIL_CONFIG=$pf/conf|")" \
  > "$root/router.txt" 2>&1 &
pids+=($!)
start_milter
check "a second milter on the server" 1 as_zul "$bin/zulmilter" "=$srv/notes.ini" --listen "unix:$root/second.sock"
contains "a second milter on the server" "a milter is already running on this server (process $(pgrep -f "^$bin/zulmilter =$srv/notes.ini")); not started"

reply() {  # reply NAME SHAPE TAG EXPECTED: the SMTP reply to the message starts so
  local got
  got=$(python3 "$mailpy" reply "$port" "$2" "$3" "$root/$3.eml")
  [[ $got == "$4"* ]] && passed=$((passed + 1)) || { echo "FAIL $1: '$got', expected '$4'"; failures=$((failures + 1)); }
}
nothing_held() {  # nothing_held NAME: mail.box keeps nothing of the milter's
  for _ in $(seq 1 100); do as_zul "$bin/zulctl" mail held | grep -q '^0 held' && break; sleep 0.05; done
  check "$1" 0 as_zul "$bin/zulctl" mail held
  contains "$1" "0 held"
}

# Everyday clean mail arrives as it was sent, apart from Postfix's trace fields.
for shape in alternative empty html signed forwarded cyrillic dots; do
  send "$shape" "clean-$shape" bob@example.com carol@example.com
  got=$(delivered bob "clean-$shape"); once "$shape mail to bob" "$got"
  check "$shape mail unchanged" 0 python3 "$mailpy" unchanged "$root/clean-$shape.eml" "$(head -1 <<<"$got")"
  once "$shape mail to carol" "$(delivered carol "clean-$shape")"
done

# Infected mail arrives cleaned, with its report; its header fields and its
# other part are as sent; the administrators hear of it by the router.
send eicar infected bob@example.com
got=$(delivered bob infected); once "infected mail" "$got"
check "infected mail cleaned and reported" 0 python3 "$mailpy" cleaned "$(head -1 <<<"$got")"
check "infected mail keeps the rest" 0 python3 "$mailpy" headers-kept "$root/infected.eml" "$(head -1 <<<"$got")"
for _ in $(seq 1 400); do [ -n "$(ls "$maildirs/postmaster/new" 2>/dev/null)" ] && break; sleep 0.05; done
[ -n "$(ls "$maildirs/postmaster/new" 2>/dev/null)" ] && passed=$((passed + 1)) \
  || { echo "FAIL no memo reached the administrators"; tail -20 "$pf/maillog"; failures=$((failures + 1)); }
send lone lone bob@example.com
got=$(delivered bob lone); once "a message that was one infected attachment" "$got"
check "a message that was one infected attachment, cleaned" 0 python3 "$mailpy" cleaned "$(head -1 <<<"$got")"
send lone-bare lone-bare bob@example.com
got=$(delivered bob lone-bare); once "a bare message that was one infected attachment" "$got"
check "a bare message cleaned" 0 python3 "$mailpy" cleaned "$(head -1 <<<"$got")"
check "a field the cleaning adds goes below Postfix's own" 0 python3 "$mailpy" trace-first "$(head -1 <<<"$got")"
nothing_held "answered mail leaves mail.box"

# A message without a header field is mail to the content filter (Postfix
# puts its Received field in front), so it is here too.
reply "a message without a header field" headerless headerless "250"
for _ in $(seq 1 200); do grep -rqs "just a line of text headerless" "$maildirs/bob/new" && break; sleep 0.05; done
grep -rqs "just a line of text headerless" "$maildirs/bob/new" && passed=$((passed + 1)) \
  || { echo "FAIL the message without a header field was not delivered"; failures=$((failures + 1)); }

# 20 SMTP clients at once: every mail is delivered exactly once.
failed=$(python3 "$mailpy" parallel "$port" 20 crowd)
[ -z "$failed" ] && passed=$((passed + 1)) || { echo "FAIL parallel clients refused: $failed"; failures=$((failures + 1)); }
for n in $(seq -w 0 19); do once "parallel mail $n" "$(delivered bob "crowd-$n")"; done

# A connection that drops in the middle of its data leaves nothing behind.
python3 "$mailpy" drop "$port" dropped
nothing_held "a dropped connection stores nothing"

# With the monitor stopped the client hears 451 and nothing is delivered;
# sent again once the monitor is back, the mail arrives scanned, once.
stop_monitor
reply "monitor down" empty while-down "451 4.7.1"
start_monitor
reply "monitor back" empty while-down "250"
once "mail sent again once the monitor was back" "$(delivered bob while-down)"

# With the milter stopped Postfix defers the mail.
stop_milter
reply "milter down" empty milter-down "451"
[ -z "$(python3 "$mailpy" find "$maildirs/bob" milter-down)" ] && passed=$((passed + 1)) \
  || { echo "FAIL delivered without the milter"; failures=$((failures + 1)); }

# With ZulMilterReject=1 infected mail is refused with the threat's name and
# kept in quarantine; nothing is delivered.
echo "ZulMilterReject=1" >> "$srv/notes.ini"
stop_monitor
start_monitor
start_milter
reply "infected mail refused" eicar refused "550 5.7.1 virus found: Eicar"
[ -z "$(python3 "$mailpy" find "$maildirs/bob" refused)" ] && passed=$((passed + 1)) \
  || { echo "FAIL a refused mail was delivered"; failures=$((failures + 1)); }
check "the refused mail's payload is in quarantine" 0 as_zul "$bin/zulctl" quarantine ls
contains "the refused mail's payload is in quarantine" "refused"
nothing_held "a refused mail leaves mail.box"

grep -q 'status=bounced' "$pf/maillog" && { echo "FAIL a bounce:"; grep bounced "$pf/maillog"; failures=$((failures + 1)); }
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
