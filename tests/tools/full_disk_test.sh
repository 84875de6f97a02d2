#!/usr/bin/env bash
# A full data folder while the monitor and the relaying router run: saves,
# releases and hand-over records fail for a while. Every mail must still be
# handed over exactly once, none may stay held once space returns, and
# nobody runs a requeue. The data folder is a small tmpfs (needs root).
#   full_disk_test.sh BUILD
set -u
bin=$(cd "$1" && pwd)
zulctl="$bin/zulctl"
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: mounting a small file system needs root"
  exit 0
fi
root=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  umount "$root/srv/data" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
[ -n "${KEEP_ROOT:-}" ] && trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; echo "kept $root"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

mkdir -p "$root/srv/data"
mount -t tmpfs -o size=6m tmpfs "$root/srv/data" || { echo "skipped: cannot mount a tmpfs here"; exit 0; }
"$zulctl" init "$root/srv" >/dev/null || exit 1
export ZUL_NOTES_INI="$root/srv/notes.ini"
"$zulctl" ini set ZulMailMonitorLogLevel 1 >/dev/null
"$zulctl" ini set ZulMailMonitorRetryDelay 1 >/dev/null
"$zulctl" settings init --bases "$bin/demo-bases" >/dev/null || exit 1

# The next hop: records every message it takes, one file each.
mkdir "$root/out"
cat > "$root/sendmail" <<SH
#!/bin/sh
cat > "\$(mktemp "$root/out/m.XXXXXX")"
SH
chmod +x "$root/sendmail"

(cd "$root/srv" && exec "$bin/nZulMailMonitor" > "$root/monitor.txt" 2>&1) &
pids+=($!)
for _ in $(seq 1 200); do "$zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done
("$zulctl" mail route --follow --relay "sendmail:$root/sendmail" > "$root/router.txt" 2> "$root/router-errors.txt") &
pids+=($!)

# Fill the folder but for a little, then send twenty mails (every fourth
# infected) as an MTA does: a refused submission is sent again later.
dd if=/dev/zero of="$root/srv/data/filler" bs=4k 2>/dev/null
truncate -s -${FREE_KB:-600}k "$root/srv/data/filler"
eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
head -c 45000 /dev/urandom | base64 > "$root/filling.b64"  # 60 KB a mail: the space runs out half way
submit() {
  local i=$1 body="clean text $1"
  [ $((i % 4)) -eq 0 ] && body=$eicar
  {
    printf 'From: s%d@example.com\nTo: anna@example.com\nSubject: full disk %d\nMIME-Version: 1.0\n' "$i" "$i"
    printf 'Content-Type: multipart/mixed; boundary="b"\n\n--b\nContent-Type: text/plain\n\nhello\n'
    printf -- '--b\nContent-Type: application/octet-stream; name="o%d.txt"\n\n%s\n' "$i" "$body"
    printf -- '--b\nContent-Type: application/octet-stream; name="data.bin"\nContent-Transfer-Encoding: base64\n\n'
    cat "$root/filling.b64"
    printf -- '--b--\n'
  } | "$zulctl" mail submit --from "s$i@example.com" --to anna@example.com - 2>/dev/null
}
refused=()
for i in $(seq 1 20); do
  submit "$i"
  case $? in
    0) ;;
    75) refused+=("$i") ;;
    *) fail "submit $i: neither stored nor refused for later" ;;
  esac
done
echo "${#refused[@]} submissions refused while the disk was full; $(df -k --output=avail "$root/srv/data" | tail -1) KB free"
sleep 1  # both meet the full disk for a while
rm -f "$root/srv/data/filler"
for i in "${refused[@]}"; do submit "$i" || fail "submit $i again once there is space"; done

delivered=0
for _ in $(seq 1 ${WAIT_TENTHS:-600}); do
  delivered=$(cat "$root/out"/m.* 2>/dev/null | grep -c '^Subject: full disk ')
  held=$("$zulctl" mail held 2>/dev/null | tail -1)
  [ "$delivered" -ge 20 ] && [ "$held" = "0 held" ] && break
  sleep 0.1
done
sleep 1  # a duplicate hand-over would come now
[ "$held" = "0 held" ] || fail "still held without a requeue: $held"
for i in $(seq 1 20); do
  n=$(cat "$root/out"/m.* 2>/dev/null | grep -c "^Subject: full disk $i\$")
  [ "$n" = 1 ] || fail "mail $i handed over $n times"
done
dups=$(md5sum "$root/out"/m.* 2>/dev/null | awk '{print $1}' | sort | uniq -d | wc -l)
[ "$dups" = 0 ] || fail "$dups messages (memos included) handed over more than once"
infected=$(grep -l 'EICAR-STANDARD' "$root/out"/m.* 2>/dev/null | wc -l)
[ "$infected" = 0 ] || fail "$infected handed-over messages carry the test virus"
grep -q 'cannot record a hand-over\|Ошибка' "$root/router-errors.txt" "$root/monitor.txt" \
  || echo "note: the disk filled before anything failed to write"

"$zulctl" quit --wait 20 >/dev/null
wait
pids=()
echo "$(ls "$root/out" | wc -l) messages handed over; $failures failures"
[ "$failures" -eq 0 ]
