#!/usr/bin/env python3
"""Memory against message size: for large messages (one long text line, and
one base64 attachment) the peak resident size of the hook and of the monitor
scanning the message, and the size mail.box grows to, each as a multiple of
the message. The monitor's own column is its peak less what it held once
started with its bases loaded, before the message came. Then the router
delivers the message to the local mail file: its peak, and the size of that
mail file.

    bench/message_memory_bench.py BUILD [--sizes 10,50,85]
"""
import argparse
import base64
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time


def single_line(size):
    head = b"From: a@sender.test\r\nTo: b@example.com\r\nSubject: one line\r\nContent-Type: text/plain\r\n\r\n"
    return head + b"A" * (size - len(head) - 2) + b"\r\n"


def attachment(size):
    raw = os.urandom(size * 3 // 4 - 400)
    head = (b'From: a@sender.test\r\nTo: b@example.com\r\nSubject: attachment\r\nMIME-Version: 1.0\r\n'
            b'Content-Type: multipart/mixed; boundary="b"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n--b\r\n'
            b'Content-Type: application/octet-stream; name="x.bin"\r\nContent-Transfer-Encoding: base64\r\n\r\n')
    return head + base64.encodebytes(raw).replace(b"\n", b"\r\n") + b"--b--\r\n"


# Runs one command a line (JSON: argv, env, stdin path) and answers its peak
# resident size. A child's peak counts what it held before exec, a copy of
# its parent: this small process, started before any message is made, is
# the parent, so the peak is the hook's own.
SPAWNER = r"""
import json, os, subprocess, sys
for line in sys.stdin:
    job = json.loads(line)
    with open(job["stdin"], "rb") as stdin:
        child = subprocess.Popen(job["argv"], stdin=stdin, env=job["env"], stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
    print(json.dumps([os.waitstatus_to_exitcode(status), usage.ru_maxrss]), flush=True)
"""


def start_spawner():
    return subprocess.Popen([sys.executable, "-c", SPAWNER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def run_measured(spawner, argv, env, stdin_path):
    spawner.stdin.write(json.dumps({"argv": argv, "env": env, "stdin": stdin_path}) + "\n")
    spawner.stdin.flush()
    return json.loads(spawner.stdout.readline())


def peak_kb(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def wait_until_started(server, monitor):
    log = os.path.join(server, "log", "zulmailmonitor.log")
    for _ in range(1200):
        if monitor.poll() is not None:
            raise SystemExit("the monitor ended while starting")
        # The log is in the server's code page.
        text = pathlib.Path(log).read_bytes().decode("cp1251", "replace") if os.path.exists(log) else ""
        if "Инициализация завершена." in text or "Initialisation complete." in text:
            return
        time.sleep(0.1)
    raise SystemExit("the monitor did not start")


def measure(build, spawner, make, size):
    """Peaks (the monitor's before and after the message) and mail.box size
    for the message make(size) makes, and its length."""
    with tempfile.TemporaryDirectory() as root:
        server = os.path.join(root, "srv")
        env = dict(os.environ, ZUL_NOTES_INI=os.path.join(server, "notes.ini"))
        zulctl = os.path.join(build, "zulctl")
        subprocess.run([zulctl, "init", server], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([zulctl, "settings", "init", "--bases", os.path.join(build, "demo-bases")], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        stdin_path = os.path.join(root, "message.eml")
        with open(stdin_path, "wb") as out:
            message = make(size)
            length = len(message)
            out.write(message)
            del message
        monitor = subprocess.Popen([os.path.join(build, "nZulMailMonitor")], cwd=server, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until_started(server, monitor)
        started = peak_kb(monitor.pid)
        code, hook = run_measured(spawner, [os.path.join(build, "zulsubmit"), "--from", "a@sender.test", "--to",
                                            "b@example.com", "-"], env, stdin_path)
        if code != 0:
            raise SystemExit(f"the hook failed with {code}")
        for _ in range(1200):
            time.sleep(0.1)
            held = subprocess.run([zulctl, "mail", "held"], env=env, capture_output=True, text=True).stdout
            if "0 held" in (line.strip() for line in held.splitlines()):
                break
        scanned = peak_kb(monitor.pid)
        subprocess.run([zulctl, "quit", "--wait", "60"], env=env, stdout=subprocess.DEVNULL)
        monitor.wait()
        box = os.path.getsize(os.path.join(server, "data", "mail.box"))
        code, router = run_measured(spawner, [zulctl, "mail", "route"], env, os.devnull)
        if code != 0:
            raise SystemExit(f"the router failed with {code}")
        delivered = os.path.getsize(os.path.join(server, "data", "mail", "b.nsf"))
        return hook, started, scanned, box, router, delivered, length


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--sizes", default="10,50,85", help="message sizes in MB")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    spawner = start_spawner()
    print(f"{'message':>22} {'hook peak':>14} {'monitor peak':>16} {'started':>8} {'peak-started':>16} {'mail.box':>14}"
          f" {'router peak':>14} {'mail file':>14}")
    for mb in (int(s) for s in args.sizes.split(",")):
        for name, make in (("one line", single_line), ("attachment", attachment)):
            hook, started, monitor, box, router, delivered, size = measure(build, spawner, make, mb * 1024 * 1024)
            grown = max(monitor - started, 0)
            print(f"{mb:>5} MB {name:>12} {hook / 1024:7.0f} MB {hook * 1024 / size:4.1f}x "
                  f"{monitor / 1024:8.0f} MB {monitor * 1024 / size:4.1f}x {started / 1024:5.0f} MB "
                  f"{grown / 1024:8.0f} MB {grown * 1024 / size:4.1f}x {box / 2**20:7.0f} MB {box / size:4.1f}x "
                  f"{router / 1024:7.0f} MB {router * 1024 / size:4.1f}x {delivered / 2**20:7.0f} MB {delivered / size:4.1f}x")


if __name__ == "__main__":
    main()
