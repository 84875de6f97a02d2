#!/usr/bin/env bash
# Databases under contention, through the MTA's hand-over: first submits
# racing to create mail.box all succeed; a write lock held by another
# process makes a submit wait, and past the wait it is "busy" (75, the MTA
# retries), never "damaged"; only a file that is no database is damaged.
#   database_contention_test.sh BUILD
set -u
bin=$(cd "$1" && pwd)
zulctl="$bin/zulctl"
root=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; wait 2>/dev/null; rm -rf "$root"' EXIT
. "$(dirname "$0")/checks.sh"

message() { printf 'From: a@example.com\nTo: b@example.com\nSubject: %s\n\nhello\n' "$1"; }
submit() { message "$2" | "$zulctl" "=$1/notes.ini" mail submit --from a@example.com --to b@example.com - 2>&1; }

# Four first submits at once, on five new servers.
for round in 1 2 3 4 5; do
  srv="$root/race$round"
  "$zulctl" init "$srv" >/dev/null
  for i in 1 2 3 4; do (submit "$srv" "race $i" > "$root/race$round.$i" 2>&1; echo $? >> "$root/race$round.codes") & done
  wait
  check "race $round: all stored" 0 test "$(sort -u "$root/race$round.codes")" = 0
  [ "$failures" -gt 0 ] && cat "$root/race$round".[1-4]
  check "race $round: four notes" 0 test "$("$zulctl" "=$srv/notes.ini" db ls mail.box | grep -c 'race ')" = 4
done

# Holds a write lock on a database until its standard input closes.
hold_lock() {
  python3 -c '
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("BEGIN IMMEDIATE")
print("locked", flush=True)
sys.stdin.read()
db.execute("COMMIT")' "$1" < "$root/release" > "$root/holder.txt" 3>&- &
  holder=$!
  for _ in $(seq 1 200); do grep -q locked "$root/holder.txt" 2>/dev/null && return; sleep 0.02; done
  echo "FAIL the lock holder did not start"; failures=$((failures + 1))
}

srv="$root/srv"
"$zulctl" init "$srv" >/dev/null
check "first message" 0 submit "$srv" "first"

# Released while the submit waits: it is stored.
mkfifo "$root/release"
exec 3<> "$root/release"
hold_lock "$srv/data/mail.box"
submit "$srv" "waited" > "$root/waited.txt" 2>&1 3>&- &
submitter=$!
sleep 0.3  # the submit now waits for the lock
exec 3>&-
wait "$holder"; holder=
wait "$submitter"
check "a submit waits for the lock to end" 0 test $? -eq 0
check "and its message is stored" 0 test "$("$zulctl" "=$srv/notes.ini" db ls mail.box | grep -c 'waited')" = 1

# Held past the wait: busy, kept by the MTA.
"$zulctl" "=$srv/notes.ini" ini set ZulDatabaseBusyTimeout 200 >/dev/null
exec 3<> "$root/release"
hold_lock "$srv/data/mail.box"
check "a lock held past the wait is a temporary failure" 75 submit "$srv" "busy" 3>&-
contains "busy said as busy" "locked"
if grep -qi 'damaged' <<<"$out"; then echo "FAIL busy reported as damaged: $out"; failures=$((failures + 1)); fi
exec 3>&-
wait "$holder"; holder=

# A file that is no database is damaged, and the server says what to do.
"$zulctl" init "$root/bad" >/dev/null
head -c 8192 /dev/urandom > "$root/bad/data/mail.box"
check "a damaged mail.box keeps the message with the MTA" 75 submit "$root/bad" "damaged"
contains "damaged said" "damaged"
contains "and what to do" "move it aside"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
