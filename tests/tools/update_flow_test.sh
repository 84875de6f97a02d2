#!/usr/bin/env bash
# Both tasks on one server directory with the real update utility: a newer
# bases set in the mirror reaches the running monitor; a corrupt one is
# rolled back and the monitor keeps the previous set.
set -u
bin=$1
zulctl="$bin/zulctl"
root=$(mktemp -d)
server="$root/srv"
monitor=0
updater=0
cleanup() {
  [ "$monitor" -gt 0 ] && kill "$monitor" 2>/dev/null
  [ "$updater" -gt 0 ] && kill "$updater" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
failures=0
passed=0
ok() { passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# Waits (at most 30 s) until FILE contains TEXT.
wait_for() {
  for _ in $(seq 1 300); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# A bases set in FOLDER dated DATE ("DDMMYYYY HHMM"), signed; BAD makes its signatures unreadable.
make_set() {
  mkdir -p "$1"
  cp "$bin/demo-bases/demo.hdb" "$1/"
  [ "${3:-}" = bad ] && echo "this is not a signature line" > "$1/demo.hdb"
  printf '<?xml version="1.0"?>\n<UpdateFiles UpdateDate="%s"/>\n' "$2" > "$1/master.xml"
  "$zulctl" bases sign "$1/master.xml" >/dev/null
}

"$zulctl" init "$server" --admin postmaster@example.com >/dev/null
export ZUL_NOTES_INI="$server/notes.ini"
make_set "$server/bases" "01012026 0000"
"$zulctl" settings init --bases "$server/bases" >/dev/null
printf 'Bases=%s\nMirror=%s\n' "$server/bases" "$root/mirror" > "$server/basefetch.conf"
"$zulctl" ini set ZulUpdaterLogLevel 3 >/dev/null
"$zulctl" ini set ZulMailMonitorLogLevel 3 >/dev/null  # the updater's notices are said from level 3
cd "$server"
"$bin/nZulMailMonitor" > "$root/monitor.out" 2>&1 &
monitor=$!
"$bin/nZulUpdater" > "$root/updater.out" 2>&1 &
updater=$!
wait_for "$root/monitor.out" "Инициализация завершена." && ok || fail "monitor did not start"
wait_for "$root/updater.out" "Инициализация успешно завершена." && ok || fail "updater did not start"

# Nothing newer in the mirror: code 10.
make_set "$root/mirror" "01012026 0000"
"$zulctl" update now >/dev/null
wait_for "$root/updater.out" "Нет новых баз." && ok || fail "same set was not recognised as nothing new"

# A newer set reaches the monitor.
rm -rf "$root/mirror"
make_set "$root/mirror" "15062027 1230"
"$zulctl" update now >/dev/null
wait_for "$root/updater.out" "Антивирусные базы обновлены." && ok || fail "new set not installed"
wait_for "$root/monitor.out" "Получено сообщение от апдейтера: 'UPDATER|COMPLETE'" && ok || fail "monitor not told"
for _ in $(seq 1 100); do "$zulctl" settings show formInformation | grep -q '2027-06-15 12:30' && break; sleep 0.1; done
"$zulctl" settings show formInformation | grep -qE 'iAVDate += "2027-06-15 12:30"' && ok || fail "information document not updated"
[ -d "$server/bases.backup" ] && ok || fail "no backup of the previous set"
[ -s "$server/log/nZulUpdater-basefetch.log" ] && ok || fail "the utility's log file is not $server/log/nZulUpdater-basefetch.log"
ls "$server/log" | grep -q '\\' && fail "a log file name holds a backslash: $(ls "$server/log")" || ok

# A corrupt newer set is rolled back; the monitor is not told.
rm -rf "$root/mirror"
make_set "$root/mirror" "01012028 0000" bad
"$zulctl" update now >/dev/null
wait_for "$root/updater.out" "Загрузились испорченные базы. Откатываем до предыдущего состояния." && ok || fail "corrupt set not detected"
sleep 0.5
grep -q "UpdateDate=\"15062027 1230\"" "$server/bases/master.xml" && ok || fail "bases not rolled back"
cmp -s "$bin/demo-bases/demo.hdb" "$server/bases/demo.hdb" && ok || fail "signatures not restored"
[ "$(grep -c "UPDATER|COMPLETE" "$root/monitor.out")" = 1 ] && ok || fail "monitor told about a corrupt set"
grep -q "Критическая ошибка" "$root/updater.out" && fail "rollback reported as failed" || ok
"$zulctl" scan --bases "$server/bases" /usr/share/clamav-testfiles/clam.exe >/dev/null
[ $? -eq 1 ] && ok || fail "restored bases do not detect"

# A mirror entry that is a link is refused by name and nothing is copied:
# followed, it would bring any file of this machine into the bases.
rm -rf "$root/mirror"
make_set "$root/mirror" "01012029 0000"
ln -s /etc/hostname "$root/mirror/stolen.hdb"
"$zulctl" update now >/dev/null
wait_for "$server/log/nZulUpdater-console.log" "refused $root/mirror/stolen.hdb: a link where a file is expected" \
  && ok || fail "a link in the mirror was not refused: $(cat "$server/log/nZulUpdater-console.log")"
wait_for "$root/updater.out" "Невозможно обновить антивирусные базы." && ok || fail "the run did not fail"
grep -q "UpdateDate=\"15062027 1230\"" "$server/bases/master.xml" && ok || fail "the bases changed"
[ ! -e "$server/bases.staging/stolen.hdb" ] && ok || fail "the link's target was copied"

# Sets their index does not vouch for load, but are rolled back all the
# same; the monitor keeps scanning with the set it has.
sigtool --md5 /usr/share/clamav-testfiles/clam.exe > "$root/allow.fp"
tamper_unsigned() { head -c -64 "$1/master.xml" > "$1/unsigned" && mv "$1/unsigned" "$1/master.xml"; }
tamper_added() { cp "$root/allow.fp" "$1/"; }
date=2030
for tamper in tamper_unsigned tamper_added; do
  rm -rf "$root/mirror"
  make_set "$root/mirror" "0101$date 0000"
  date=$((date + 1))
  "$tamper" "$root/mirror"
  before=$(grep -c "Загрузились испорченные базы" "$root/updater.out")
  "$zulctl" update now >/dev/null
  for _ in $(seq 1 300); do
    [ "$(grep -c "Загрузились испорченные базы" "$root/updater.out")" -gt "$before" ] && break
    sleep 0.1
  done
  [ "$(grep -c "Загрузились испорченные базы" "$root/updater.out")" -gt "$before" ] && ok || fail "$tamper: not rolled back"
  grep -q "не приняты" "$root/updater.out" && ok || fail "$tamper: no reason given"
  sleep 0.5
  grep -q "UpdateDate=\"15062027 1230\"" "$server/bases/master.xml" && ok || fail "$tamper: bases not rolled back"
done
grep -q "не приняты: файла allow.fp нет в индексе master.xml" "$root/updater.out" && ok || fail "the added file not named"
[ "$(grep -c "UPDATER|COMPLETE" "$root/monitor.out")" = 1 ] && ok || fail "monitor told about a set nobody vouched for"
"$zulctl" mail submit /usr/share/clamav-testfiles/clam.mail >/dev/null
for _ in $(seq 1 100); do "$zulctl" quarantine ls 2>/dev/null | grep -q "1 document(s)" && break; sleep 0.1; done
"$zulctl" quarantine ls | grep -q "ClamAV Test File" && ok || fail "the monitor let the test program through"
[ "$("$zulctl" db ls mail.box | grep -c "Антивирус Тервала - Администрато")" = 2 ] && ok \
  || fail "the administrators were not told of each set: $("$zulctl" db ls mail.box)"

"$zulctl" quit >/dev/null
wait "$monitor"; monitor=0
wait "$updater"; updater=0
grep -q "Завершение работы." "$root/updater.out" && ok || fail "updater did not stop"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
