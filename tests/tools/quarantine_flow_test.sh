#!/usr/bin/env bash
# Infected mail through the running monitor into quarantine and out again:
# the administrator's quarantine and statistics views, end to end.
set -u
bin=$(cd "$1" && pwd)
zulctl="$bin/zulctl"
server=$(mktemp -d)
testfiles=/usr/share/clamav-testfiles
monitor=
trap '[ -n "$monitor" ] && kill "$monitor" 2>/dev/null; wait 2>/dev/null; rm -rf "$server"' EXIT
source "$(dirname "$0")/checks.sh"

check "init" 0 "$zulctl" init "$server/srv"
export ZUL_NOTES_INI="$server/srv/notes.ini"
check "settings init" 0 "$zulctl" settings init --bases "$bin/demo-bases"
(cd "$server/srv" && exec "$bin/nZulMailMonitor" > "$server/console.txt" 2>&1) &
monitor=$!
for _ in $(seq 1 200); do "$zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done

check "submit" 0 "$zulctl" mail submit "$testfiles/clam.mail"
# The recipient's notice is a memo of its own, released before the mail
# itself is, so the router may deliver it first.
for _ in $(seq 1 200); do
  "$zulctl" mail route > "$server/route.txt" 2>&1
  cat "$server/route.txt" >> "$server/routes.txt"
  grep -q ' 0 still held' "$server/route.txt" && break
  sleep 0.05
done
out=$(grep '^0x8F8 ' "$server/routes.txt")
contains "released and delivered" "0x8F8 delivered to ClamAV as note 0x"
[ "$(grep -c '^0x8F8 delivered' "$server/routes.txt")" = 1 ] && passed=$((passed + 1)) \
  || { echo "FAIL delivered more than once: $(cat "$server/routes.txt")"; failures=$((failures + 1)); }

check "quarantine ls" 0 "$zulctl" quarantine ls
contains "quarantine ls" "1 document(s)"
contains "quarantine ls" "ClamAV Test File"
check "quarantine ls by sender" 0 "$zulctl" quarantine ls --sender nobody
contains "quarantine ls by sender" "0 document(s)"
check "quarantine ls bad date" 2 "$zulctl" quarantine ls --since yesterday
for bad in 2026-02-31 2026-13-01 2025-02-29 2026-1-01 "2026-01-01x" " 2026-01-01"; do
  check "quarantine ls --since $bad" 2 "$zulctl" quarantine ls --since "$bad"
done
check "quarantine ls on a leap day" 0 "$zulctl" quarantine ls --since 2024-02-29
check "quarantine show" 0 "$zulctl" quarantine show 0x8f8
contains "quarantine show" "clam.exe"
contains "quarantine show" "В доставленном сообщении:"
check "quarantine export" 0 "$zulctl" quarantine export 0x8f8 "$server/out"
check "exported is the original" 0 cmp "$server/out/clam.exe" "$testfiles/clam.exe"
check "release" 0 "$zulctl" quarantine release 0x8f8 --to anna@example.com
contains "release" "released to anna@example.com"
check "release twice" 1 "$zulctl" quarantine release 0x8f8
contains "release twice" "already released to anna@example.com"
check "route the release" 0 "$zulctl" mail route
contains "route the release" "delivered to anna@example.com as note 0x8F8 of mail/anna.nsf"
check "recipient's copy" 0 "$zulctl" db extract mail/anna.nsf 0x8f8 "$server/anna"
check "recipient got the original" 0 cmp "$server/anna/clam.exe" "$testfiles/clam.exe"
check "show records the release" 0 "$zulctl" quarantine show 0x8f8
contains "show records the release" "Released     to anna@example.com"

check "stats" 0 "$zulctl" stats
contains "stats" "clam.exe"
"$zulctl" stats --prometheus > "$server/metrics.txt"
check "prometheus format parses" 0 /usr/bin/python3 -c '
import sys
from prometheus_client.parser import text_string_to_metric_families
families = {f.name: f for f in text_string_to_metric_families(open(sys.argv[1]).read())}
threats = families["tervala_threats"]
assert any(s.labels.get("name") == "clam.exe" and s.value == 1 for s in threats.samples), threats.samples
assert any(s.labels.get("type") == "150" for s in families["tervala_detections"].samples)
assert "tervala_journal_records" in families
' "$server/metrics.txt"
check "purge keeps recent" 0 "$zulctl" quarantine purge --older-than 1
contains "purge keeps recent" "0 document(s) purged"
check "purge bad days" 2 "$zulctl" quarantine purge --older-than soon
check "quarantine --help" 0 "$zulctl" quarantine --help
check "stats --help" 0 "$zulctl" stats --help

"$zulctl" quit >/dev/null
wait "$monitor"
monitor=
"$zulctl" quit --cancel >/dev/null
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
