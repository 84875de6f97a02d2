#!/usr/bin/env bash
# Postfix without a scanner, through the content filter and through the
# milter, in one run on one Postfix instance, with the same mails: everyday
# sizes, each with one attachment, one in five infected, sent by two SMTP
# clients. Per mode: messages per second from the first SMTP command to the
# last delivery, CPU per message of every process on the machine (the SMTP
# clients included, the same in each mode), of each group of processes
# (Postfix, the hook Postfix runs, the monitor, the milter, the router), and
# p50/p99 from the end of a message's data to its delivery into the Maildir;
# then each mode one mail at a time, from the 250 to the Maildir. Needs root
# and Postfix.
#   bench/smtp_modes_bench.sh BUILD [MAILS]
set -u
bin=$(cd "${1:?usage: smtp_modes_bench.sh BUILD [MAILS]}" && pwd)
mails=${2:-300}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
mailpy="$repo/tests/tools/postfix_mail.py"
if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/postfix ]; then
  echo "needs root and Postfix"
  exit 1
fi
root=$(mktemp -d)
work=
chmod 755 "$root"
srv="$root/srv"
pf="$root/postfix"
maildirs="$root/mail"
cleanup() {
  pkill -TERM -f "=$srv/notes.ini" 2>/dev/null
  [ -d "$pf/conf" ] && postfix -c "$pf/conf" abort >/dev/null 2>&1
  wait 2>/dev/null
  rm -rf "$root" "$work"
}
trap cleanup EXIT

getent passwd zul >/dev/null || useradd --system --user-group --home-dir /nonexistent --shell /usr/sbin/nologin zul
"$bin/zulctl" init "$srv" --admin postmaster@example.com --language en >/dev/null
export ZUL_NOTES_INI="$srv/notes.ini"
# The work folder on a tmpfs, as the units set it up (--work-folder).
work=$(mktemp -d /dev/shm/zul-bench.XXXXXX)
"$bin/zulctl" settings init --bases "$bin/demo-bases" --work-folder "$work" >/dev/null
chown zul:zul "$work"
chmod 700 "$work"
install -d -o zul -g postfix -m 0750 "$root/spool"
chown -R zul:zul "$srv"
(cd "$srv" && runuser -u zul -- "$bin/nZulMailMonitor" "=$srv/notes.ini" > "$root/monitor.txt" 2>&1) &
for _ in $(seq 1 200); do runuser -u zul -- "$bin/zulctl" tasks | grep -q 'Idle task' && break; sleep 0.05; done

port=$(python3 "$mailpy" port)
plain_port=$(python3 "$mailpy" port)
milter_port=$(python3 "$mailpy" port)
reinject_port=$(python3 "$mailpy" port)
milter_port_socket="$root/spool/milter.sock"
. "$repo/tests/tools/postfix_instance.sh"
start_postfix_instance || exit 1
(runuser -u zul -- "$bin/zulrouter" "=$srv/notes.ini" --relay "smtp://127.0.0.1:$reinject_port" > "$root/router.txt" 2>&1) &
(runuser -u zul -G postfix -- "$bin/zulmilter" "=$srv/notes.ini" --listen "unix:$milter_port_socket" --group postfix \
  > "$root/milter.txt" 2>&1) &
for _ in $(seq 1 200); do [ -S "$milter_port_socket" ] && break; sleep 0.05; done

python3 - "$mails" "$maildirs/bob" "$plain_port" "$port" "$milter_port" <<'PY'
import base64, os, pathlib, random, smtplib, statistics, sys, threading, time

mails, maildir = int(sys.argv[1]), pathlib.Path(sys.argv[2])
modes = [("plain Postfix", int(sys.argv[3])), ("content filter", int(sys.argv[4])), ("milter", int(sys.argv[5]))]
EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
random.seed(7)
sizes = [random.choice([2_000, 8_000, 30_000, 120_000, 400_000]) for _ in range(mails)]

def message(tag, n, infected=None):
    infected = n % 5 == 0 if infected is None else infected
    data = EICAR if infected else random.randbytes(sizes[n % len(sizes)])
    attachment = base64.encodebytes(data).replace(b"\n", b"\r\n")
    return (b"From: anna@sender.test\r\nTo: bob@example.com\r\nSubject: bench " + tag + b"\r\n"
            b"Message-ID: <" + tag + b"@sender.test>\r\nMIME-Version: 1.0\r\n"
            b'Content-Type: multipart/mixed; boundary="b"\r\n\r\n--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n'
            b"Please find the file attached.\r\n--b\r\nContent-Type: application/octet-stream; name=\"file.bin\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n" + attachment + b"--b--\r\n")

def busy_jiffies():
    fields = [int(v) for v in open("/proc/stat").readline().split()[1:]]
    return sum(fields) - fields[3] - fields[4]  # all but idle and iowait

POSTFIX = {"master", "smtpd", "cleanup", "qmgr", "virtual", "pipe", "trivial-rewrite", "pickup", "anvil",
           "proxymap", "tlsmgr", "scache", "postdrop", "sendmail", "postlogd"}
GROUPS = {"nZulMailMonitor": "monitor", "zulmilter": "milter", "zulrouter": "router"}

def processes():
    """CPU of every process now, by pid: its group, its own jiffies and those of children it reaped."""
    seen = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = open(f"/proc/{pid}/stat").read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
        group = GROUPS.get(name, "Postfix" if name in POSTFIX else None)
        if group:
            seen[pid] = (group, name, int(rest[11]) + int(rest[12]), int(rest[13]) + int(rest[14]))
    return seen

def group_jiffies(before, after):
    """Per group, what its processes spent between the two looks; the hook is
    what Postfix's pipe reaped of its zulsubmit children."""
    spent = {"Postfix": 0, "hook": 0, "monitor": 0, "milter": 0, "router": 0}
    for pid, (group, name, own, reaped) in after.items():
        _, _, own0, reaped0 = before.get(pid, (group, name, 0, 0))
        spent[group] += own - own0
        if name == "pipe":
            spent["hook"] += reaped - reaped0
    return spent

def run(name, port):
    sent = {}
    tags = [f"{port}-{n}".encode() for n in range(mails)]
    bodies = [message(tags[n], n) for n in range(mails)]
    lock = threading.Lock()
    def client(indexes):
        with smtplib.SMTP("127.0.0.1", port, timeout=300) as smtp:
            for n in indexes:
                smtp.mail("anna@sender.test")
                smtp.rcpt("bob@example.com")
                smtp.putcmd("data")
                smtp.getreply()
                smtp.send(bodies[n].replace(b"\r\n.", b"\r\n..") + b".\r\n")
                ended = time.time()
                code, _ = smtp.getreply()
                if code != 250:
                    raise SystemExit(f"{name}: {code} for message {n}")
                with lock:
                    sent[tags[n]] = ended
    before = set(os.listdir(maildir / "new")) if (maildir / "new").exists() else set()
    looked = processes()
    jiffies, start = busy_jiffies(), time.time()
    clients = [threading.Thread(target=client, args=(range(k, mails, 2),)) for k in range(2)]
    for c in clients: c.start()
    for c in clients: c.join()
    arrived = {}
    while len(arrived) < mails and time.time() - start < 600:
        for f in set(os.listdir(maildir / "new")) - before:
            path = maildir / "new" / f
            head = path.read_bytes()[:4096]
            for tag in tags:
                if b"<" + tag + b"@" in head and tag not in arrived:
                    arrived[tag] = path.stat().st_mtime
                    break
            before.add(f)
        time.sleep(0.005)
    end = max(arrived.values()) if arrived else time.time()
    per_message = lambda j: j * 1000 / os.sysconf("SC_CLK_TCK") / mails
    cpu_ms = per_message(busy_jiffies() - jiffies)
    shares = {group: per_message(j) for group, j in group_jiffies(looked, processes()).items()}
    latency = sorted((arrived[t] - sent[t]) * 1000 for t in arrived if t in sent)
    p = lambda q: latency[min(len(latency) - 1, int(q * len(latency)))] if latency else float("nan")
    return name, len(arrived), mails / (end - start), cpu_ms, p(0.50), p(0.99), shares

def one_at_a_time(port, count=20):
    """p50/p99 from the 250 to the Maildir, each mail sent once the one before arrived."""
    latencies = []
    with smtplib.SMTP("127.0.0.1", port, timeout=300) as smtp:
        for n in range(count):
            tag = f"single-{port}-{n}".encode()
            before = set(os.listdir(maildir / "new"))
            smtp.sendmail("anna@sender.test", ["bob@example.com"], message(tag, n, infected=False))
            accepted = time.time()
            found = None
            while found is None and time.time() - accepted < 60:
                for f in set(os.listdir(maildir / "new")) - before:
                    if b"<" + tag + b"@" in (maildir / "new" / f).read_bytes()[:4096]:
                        found = (maildir / "new" / f).stat().st_mtime
                time.sleep(0.001)
            latencies.append(((found or time.time()) - accepted) * 1000)
    latencies.sort()
    return latencies[len(latencies) // 2], latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))]

results = [run(name, port) for name, port in modes]
singles = [one_at_a_time(port) for _, port in modes]
print(f"{mails} mails, one attachment each (2-400 KB), one in five infected, 2 SMTP clients")
print(f"{'mode':16} {'delivered':>9} {'msgs/s':>8} {'of plain':>8} {'CPU ms/msg':>10} {'p50 ms':>8} {'p99 ms':>8}"
      "   CPU ms/msg of: Postfix / hook / monitor / milter / router")
plain = results[0][2]
for name, delivered, rate, cpu, p50, p99, shares in results:
    print(f"{name:16} {delivered:9d} {rate:8.1f} {rate / plain:8.2f} {cpu:10.1f} {p50:8.1f} {p99:8.1f}"
          "   " + " / ".join(f"{shares[g]:.1f}" for g in ("Postfix", "hook", "monitor", "milter", "router")))
print("one at a time, 20 clean mails, from the 250 to the Maildir:")
for (name, _), (p50, p99) in zip(modes, singles):
    print(f"{name:16} p50 {p50:7.1f} ms  p99 {p99:7.1f} ms")
PY
