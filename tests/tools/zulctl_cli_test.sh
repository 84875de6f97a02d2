#!/usr/bin/env bash
# The administrator's command line, end to end on a fresh server directory.
set -u
bin=$1
zulctl="$bin/zulctl"
server=$(mktemp -d)
trap 'rm -rf "$server"' EXIT
source "$(dirname "$0")/checks.sh"

check "init" 0 "$zulctl" init "$server/srv"
check "init again refuses" 1 "$zulctl" init "$server/srv"
check "init in English" 0 "$zulctl" init "$server/english" --language en
check "English library named" 0 "$zulctl" "=$server/english/notes.ini" ini get ZulMessageLibrary
contains "English library named" "zelklocale-en.dll"
check "English library installed" 0 test -s "$server/english/program/zelklocale-en.dll"
check "init in English again" 0 "$zulctl" init "$server/english-texts" --language en
check "English settings" 0 "$zulctl" "=$server/english-texts/notes.ini" settings init --bases "$bin/demo-bases"
check "English report texts" 0 "$zulctl" "=$server/english-texts/notes.ini" settings show formObjectActions
contains "English report texts" 'virus %v found. %a. Copy in quarantine: %q.'
check "init unknown language" 2 "$zulctl" init "$server/klingon" --language tlh
check "init with administrators" 0 "$zulctl" init "$server/gateway" --admin admin@example.com --admin sec@example.com
check "administrators as settings" 0 "$zulctl" "=$server/gateway/notes.ini" settings init --bases "$bin/demo-bases" --work-folder "$server/run-zul"
if grep -q 'Notes name' <<<"$out"; then echo "FAIL addresses called Notes names: $out"; failures=$((failures + 1)); fi
check "administrators stored" 0 "$zulctl" "=$server/gateway/notes.ini" settings show formGeneralSettings
contains "administrators stored" 'gsAdministrators     = "admin@example.com;sec@example.com"'
contains "the service's work folder" "gsTemporaryFolder    = \"$server/run-zul\""
check "the work folder by default" 0 "$zulctl" "=$server/english-texts/notes.ini" settings show formGeneralSettings
contains "the work folder by default" "gsTemporaryFolder    = \"$server/english-texts/tmp\""
check "an administrator must be an address" 2 "$zulctl" init "$server/gateway2" --admin "CN=Admin/O=Tervala"
check "settings init with the Notes default" 0 "$zulctl" "=$server/english/notes.ini" settings init --bases "$bin/demo-bases"
contains "settings init with the Notes default" "the administrator CN=Admin/O=Tervala is a Notes name"
export ZUL_NOTES_INI="$server/srv/notes.ini"

for verb in init tell quit tasks queue ini db log bases scan settings mail update; do
  check "$verb --help" 0 "$zulctl" "$verb" --help
  contains "$verb --help" "usage: zulctl $verb"
done
check "no verb" 2 "$zulctl"
check "unknown verb" 2 "$zulctl" frobnicate

check "ini set" 0 "$zulctl" ini set ZulMailMonitorLogLevel 4
check "ini get" 0 "$zulctl" ini get zulmailmonitorloglevel
contains "ini get" "4"
check "ini get missing" 1 "$zulctl" ini get NoSuchThing
grep -q '^; The data directory' "$server/srv/notes.ini" || { echo "FAIL comments lost"; failures=$((failures + 1)); }

check "tell without task queue" 1 "$zulctl" tell zulmailmonitor VERSION
contains "tell without task queue" "MQ\$ZULMAILMONITOR"

check "db create" 0 "$zulctl" db create "test.nsf" "Тестовая база"
check "db ls empty" 0 "$zulctl" db ls test.nsf
contains "db ls empty" "0 note(s)"
check "db ls missing" 1 "$zulctl" db ls nothing.nsf
contains "db ls missing" "does not exist"
check "db ls outside" 1 "$zulctl" db ls ../../etc/passwd
check "db show bad id" 2 "$zulctl" db show test.nsf zzz
check "db show unknown note" 1 "$zulctl" db show test.nsf 0x8F8
echo "not a database" > "$server/srv/data/broken.nsf"
check "db ls corrupt" 1 "$zulctl" db ls broken.nsf
contains "db ls corrupt" "damaged"

check "queue ls" 0 "$zulctl" queue ls
check "tasks" 0 "$zulctl" tasks
contains "tasks" "no task running"
check "quit" 0 "$zulctl" quit
check "quit cancel" 0 "$zulctl" quit --cancel
check "explicit ini argument" 0 env -u ZUL_NOTES_INI "$zulctl" "=$server/srv/notes.ini" ini get ServerName
contains "explicit ini argument" "CN=Demo/O=Tervala"
check "no ini anywhere" 1 env -u ZUL_NOTES_INI "$zulctl" ini get ServerName
check "bad code page" 0 "$zulctl" ini set ZulNativeCodePage klingon-42
check "bad code page warned" 0 "$zulctl" ini get ZulNativeCodePage
contains "bad code page warned" "warning: notes.ini ZulNativeCodePage=klingon-42 is no code page known here"
check "code page set back" 0 "$zulctl" ini set ZulNativeCodePage windows-1251
check "second server" 0 "$zulctl" init "$server/other"
check "settings init without bases" 0 env ZUL_NOTES_INI="$server/other/notes.ini" "$zulctl" settings init
contains "settings init without bases" "does not exist yet, and the mail monitor does not start"

# The task log as the tasks write it, read back by an administrator.
check "stat database" 0 "$zulctl" db create zulstat.nsf Statistics
check "sample monitor" 0 "$bin/tests/task_log_sample" monitor
contains "sample monitor" "ZulMailMonitor: Инициализация..."
check "log tail monitor" 0 "$zulctl" log tail monitor -n 3
contains "log tail monitor" "   ZulMailMonitor: Ошибка открытия документа 0x08f8. Ошибка: Note not found in the database"
contains "log tail monitor" "   ZulMailMonitor: Завершение работы."
check "sample updater" 0 "$bin/tests/task_log_sample" updater
check "log tail updater" 0 "$zulctl" log tail updater
contains "log tail updater" "ZulUpdater: Инициализация..."
contains "log tail updater" "====================="
check "log tail server" 0 "$zulctl" log tail
contains "log tail server" "ZulUpdater: Завершение работы."
check "journal records" 0 "$zulctl" db ls zulstat.nsf
contains "journal records" "2 note(s)"
contains "journal records" "form_Journal"
contains "journal records" "Завершение работы."
check "log tail bad" 2 "$zulctl" log tail sideways
"$zulctl" ini set ZulMailMonitorLogFileName "" >/dev/null
check "log tail no file" 1 "$zulctl" log tail monitor

# Settings: created, shown with their meanings, changed with notices to the tasks.
check "settings init" 0 "$zulctl" settings init --bases "$bin/demo-bases"
check "settings init again" 1 "$zulctl" settings init
check "settings show" 0 "$zulctl" settings show
contains "settings show" "-> scanning ON (msDisableTask \"1\" means ON)"
contains "settings show" "-> result  2 infected         delete, quarantine yes"
contains "settings show" "-> schedule ON"
check "settings set" 0 "$zulctl" settings set formMonitorSettings msSizeValue=2048 msDisableTask=0
check "settings show monitor" 0 "$zulctl" settings show formMonitorSettings
contains "settings show monitor" "-> size limit ON: 2048 KiB"
contains "settings show monitor" "-> scanning OFF"
check "notices posted" 0 "$zulctl" queue ls
contains "notices posted" "MQ\$DATABASE2MAIL                                1"
contains "notices posted" "MQ\$DATABASE2UPD                                 1"
check "settings set outbreak" 0 "$zulctl" settings set formOutbreak obValue0=5 obPeriodSelector0=3
check "outbreak notices" 0 "$zulctl" queue ls
contains "outbreak notices" "MQ\$DATABASE2MAIL                                3"
check "settings set bad number" 1 "$zulctl" settings set formMonitorSettings msSizeValue=lots
check "settings set bad time" 1 "$zulctl" settings set formUpdaterSettings usNextUpdate=tomorrow
check "settings set time" 0 "$zulctl" settings set formUpdaterSettings usNextUpdate=31.12.2026\ 03:00
check "settings set unknown item" 1 "$zulctl" settings set formMonitorSettings msNothing=1
check "settings set unknown form" 1 "$zulctl" settings set formNothing a=1
check "settings set negative size" 1 "$zulctl" settings set formMonitorSettings msSizeValue=-1
contains "settings set negative size" "msSizeValue cannot be negative; nothing changed"
check "settings set unknown digit" 1 "$zulctl" settings set formObjectActions acNotify2=0\;7
contains "settings set unknown digit" "acNotify2 takes the digits 0124"
check "settings kept" 0 "$zulctl" settings show formMonitorSettings
contains "settings kept" "-> size limit ON: 2048 KiB"

# Quitting waits for the tasks, and the next start runs normally.
"$zulctl" settings set formMonitorSettings msDisableTask=1 >/dev/null
(cd "$server/srv" && exec "$bin/nZulMailMonitor" > "$server/monitor1.txt" 2>&1) &
for _ in $(seq 1 200); do "$zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done
check "quit waits" 0 "$zulctl" quit --wait 20
contains "quit waits" "ZulMailMonitor"
contains "quit waits" "ended"
contains "quit waits" "all tasks ended; the server takes new starts"
wait
(cd "$server/srv" && exec "$bin/nZulMailMonitor" > "$server/monitor2.txt" 2>&1) &
started=no
for _ in $(seq 1 200); do "$zulctl" tasks | grep -q 'Idle task' && started=yes && break; sleep 0.05; done
[ "$started" = yes ] && passed=$((passed + 1)) || { echo "FAIL restart after quit"; failures=$((failures + 1)); }
check "quit again" 0 "$zulctl" quit
wait
check "quit bad wait" 2 "$zulctl" quit --wait soon

# Scanning from the command line.
check "bases info" 0 "$zulctl" bases info "$bin/demo-bases"
contains "bases info" "index       master.xml verified"
check "scan infected" 1 "$zulctl" scan --bases "$bin/demo-bases" /usr/share/clamav-testfiles/clam.zip
contains "scan infected" "infected	2	Tervala.Test.ClamAV-TestFile"
echo "clean" > "$server/clean.txt"
check "scan clean" 0 "$zulctl" scan --bases "$bin/demo-bases" "$server/clean.txt"
check "scan without bases" 2 "$zulctl" scan --bases "$server/nothing" "$server/clean.txt"
check "scan as the monitor does" 1 "$zulctl" scan /usr/share/clamav-testfiles/clam.zip
contains "scan as the monitor does" "infected	2	Tervala.Test.ClamAV-TestFile"
check "scan without a server" 1 env -u ZUL_NOTES_INI "$zulctl" scan --bases "$bin/demo-bases" /usr/share/clamav-testfiles/clam.exe
cp "$bin/demo-bases/master.xml" "$server/master.xml"
sed -i 's/UpdateDate="[0-9]*/UpdateDate="01012001/' "$server/master.xml"
mkdir -p "$server/altered" && cp "$bin/demo-bases/demo.hdb" "$server/master.xml" "$server/altered/"
check "bases info altered" 1 "$zulctl" bases info "$server/altered"
contains "bases info altered" "ALTERED"

# Mail in and out: the hook holds, a paused hook does not, the router delivers.
check "mail submit" 0 "$zulctl" mail submit /usr/share/clamav-testfiles/clam.mail
contains "mail submit" "held in mail.box; request 00000000|000008f8|00000000|mail.box posted"
check "hook request waits" 0 "$zulctl" queue ls
contains "hook request waits" "MQ\$HOOK2MAIL                                    1"
check "mail submit missing" 1 "$zulctl" mail submit "$server/no-such.eml"
check "mail submit folder" 1 "$zulctl" mail submit "$server"
contains "mail submit folder" "is a folder, not a file; not submitted"
check "bases sign folder" 1 "$zulctl" bases sign "$server"
contains "bases sign folder" "is a folder, not a file"
printf 'not a mail at all' > "$server/junk.eml"
check "mail submit junk" 1 "$zulctl" mail submit "$server/junk.eml"
contains "mail submit junk" "(no header lines)"
check "db extract converted" 0 "$zulctl" db extract mail.box 0x8f8 --converted "$server/extracted"
contains "db extract converted" "clam.exe"
check "extracted is the program" 0 cmp "$server/extracted/clam.exe" /usr/share/clamav-testfiles/clam.exe
check "db extract bad id" 2 "$zulctl" db extract mail.box zzz "$server/extracted"

# Options go before or after the operands, as --opt VALUE or --opt=VALUE.
check "option before the operand" 0 "$zulctl" db show --converted mail.box 0x8f8
contains "option before the operand" 'file "clam.exe"'
check "option between the operands" 0 "$zulctl" db extract mail.box --converted 0x8f8 "$server/extracted-2"
check "extracted between" 0 cmp "$server/extracted-2/clam.exe" /usr/share/clamav-testfiles/clam.exe
check "init option first" 0 "$zulctl" init --language en "$server/order"
check "init option first applied" 0 "$zulctl" "=$server/order/notes.ini" ini get ZulMessageLibrary
contains "init option first applied" "zelklocale-en.dll"
check "init --opt=value" 0 "$zulctl" init "$server/named" --server=CN=Other/O=Tervala
check "init --opt=value applied" 0 "$zulctl" "=$server/named/notes.ini" ini get ServerName
contains "init --opt=value applied" "CN=Other/O=Tervala"
check "unknown option named" 2 "$zulctl" db show mail.box 0x8f8 --convertd
contains "unknown option named" "--convertd"
check "action help" 0 "$zulctl" mail submit --help
contains "action help" "usage: zulctl mail submit"
contains "action help" "--from"
check "relay needs follow" 2 "$zulctl" mail route --relay sendmail
contains "relay needs follow" "--follow"
check "quit wait and cancel" 2 "$zulctl" quit --wait 5 --cancel
check "quit wait out of range" 2 "$zulctl" quit --wait=86401
check "action missing" 2 "$zulctl" quarantine
contains "action missing" "usage: zulctl quarantine"
check "mail export" 0 "$zulctl" mail export mail.box 0x8f8
contains "mail export" "Subject: ClamAV Test File"
"$zulctl" mail export mail.box 0x8f8 > "$server/back.eml"
check "exported mail still detected" 1 "$zulctl" scan --bases "$bin/demo-bases" "$server/back.eml"
check "hook pause" 0 "$zulctl" tell zulmailhooksmtp "MAILSCAN|HOLD"
printf 'From: ivan@example.com\nTo: Anna <anna@example.com>\nSubject: hello\nMIME-Version: 1.0\nContent-Type: text/plain\n\nhi\n' > "$server/hello.eml"
check "mail submit paused" 0 "$zulctl" mail submit "$server/hello.eml"
contains "mail submit paused" "not held (the hook of SMTP is paused)"
check "mail route" 0 "$zulctl" mail route
contains "mail route" "1 delivered, 1 still held"
check "delivered mail" 0 "$zulctl" db ls mail/anna.nsf
contains "delivered mail" "1 note(s)"
check "mail export delivered" 0 "$zulctl" mail export mail/anna.nsf 0x8f8
contains "mail export delivered" "Subject: hello"
check "mail submit memo" 0 "$zulctl" mail submit --memo /usr/share/clamav-testfiles/clam.exe.mbox.base64
memo=$(awk '{print $1}' <<<"$out")
check "memo shown" 0 "$zulctl" db show mail.box "$memo"
contains "memo shown" "rich text"
contains "memo shown" "file \"clam.exe\""
check "hook resume" 0 "$zulctl" tell zulmailhooksmtp "MAILSCAN|UNHOLD"
check "mail submit held again" 0 "$zulctl" mail submit /usr/share/clamav-testfiles/clam.exe.mbox.uu
contains "mail submit held again" "held in mail.box"

# A local route that stops half way goes on later without copying to anyone
# twice: here the second recipient's mail file cannot be made at first.
printf 'From: ivan@example.com\nTo: anna@example.com, bob@example.com\nSubject: twice?\n\nhi\n' > "$server/two.eml"
check "hook pause for two" 0 "$zulctl" tell zulmailhooksmtp "MAILSCAN|HOLD"
check "mail for two" 0 "$zulctl" mail submit "$server/two.eml"
mkdir -p "$server/srv/data/mail/bob.nsf"
check "route half way" 0 "$zulctl" mail route
contains "route half way" "delivered to anna@example.com"
contains "route half way" "not delivered to bob@example.com"
rmdir "$server/srv/data/mail/bob.nsf"
check "route the rest" 0 "$zulctl" mail route
contains "route the rest" "delivered to bob@example.com"
if grep -q 'delivered to anna' <<<"$out"; then echo "FAIL anna got the mail twice"; failures=$((failures + 1)); fi
check "hook resume after two" 0 "$zulctl" tell zulmailhooksmtp "MAILSCAN|UNHOLD"

# Copies that would fill the disk are not made: the mail waits in mail.box.
if [ "$(id -u)" -eq 0 ] && mkdir -p "$server/small" && mount -t tmpfs -o size=8m tmpfs "$server/small" 2>/dev/null; then
  trap 'umount "$server/small" 2>/dev/null; rm -rf "$server"' EXIT
  "$zulctl" init "$server/small/srv" >/dev/null
  printf 'From: ivan@example.com\nTo: anna@example.com\nSubject: big\n\nhi\n' > "$server/big.eml"
  small=(env ZUL_NOTES_INI="$server/small/srv/notes.ini" "$zulctl")
  check "hook known on a small disk" 0 "${small[@]}" mail submit "$server/big.eml"
  check "hook pause on a small disk" 0 "${small[@]}" tell zulmailhooksmtp "MAILSCAN|HOLD"
  check "mail on a small disk" 0 "${small[@]}" mail submit "$server/big.eml"
  check "route on a small disk" 0 "${small[@]}" mail route
  contains "route on a small disk" "left in mail.box: 1 copies need"
  contains "route on a small disk" "0 delivered, 1 still held"
  umount "$server/small"
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
