#!/usr/bin/env python3
"""Memory against message size: for large messages (one long text line, and
one base64 attachment) the peak resident size of the hook and of the monitor
scanning the message, and the size mail.box grows to, each as a multiple of
the message. The monitor's own column is its peak less what it held once
started with its bases loaded, before the message came. Then the router
delivers the message to the local mail file: its peak, and the size of that
mail file. Hostile shapes (many tiny parts, many attachments, many text
parts with one infected attachment, archive bombs) come after, with the
seconds the monitor took from the hook's request to the release.

    bench/message_memory_bench.py BUILD [--sizes 10,50,85] [--shapes parts,attachments,texts,bombs]
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


EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def multipart(parts, subject):
    head = (b"From: a@sender.test\r\nTo: b@example.com\r\nSubject: " + subject + b"\r\nMIME-Version: 1.0\r\n"
            b'Content-Type: multipart/mixed; boundary="b"\r\n\r\n')
    return head + b"".join(b"--b\r\n" + p for p in parts) + b"--b--\r\n"


def many_parts(count):
    return multipart([b"Content-Type: text/plain\r\n\r\nx\r\n"] * count, b"parts")


def many_attachments(count):
    return multipart([b'Content-Type: application/octet-stream; name="f%d.bin"\r\nContent-Transfer-Encoding: base64\r\n'
                      b"\r\n%s\r\n" % (i, base64.b64encode(b"attachment %d" % i)) for i in range(count)], b"attachments")


def text_parts_with_eicar(count):
    texts = [b"Content-Type: text/plain\r\n\r\nline of text %d in a part of its own\r\n" % i for i in range(count)]
    virus = b'Content-Type: application/octet-stream; name="e.com"\r\nContent-Transfer-Encoding: base64\r\n\r\n'
    return multipart(texts + [virus + base64.b64encode(EICAR) + b"\r\n"], b"texts")


def bombs(count):
    """Archives of archives of zeros, each a few hundred kilobytes that
    expand to 256 MB."""
    import io
    import zipfile
    def zipped(members):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in members:
                z.writestr(name, data)
        return out.getvalue()
    level = zipped([("zeros.bin", bytes(1 << 20))])
    for depth in range(2):
        level = zipped([("l%d-%d.zip" % (depth, i), level) for i in range(16)])
    encoded = base64.encodebytes(level).replace(b"\n", b"\r\n")
    return multipart([b'Content-Type: application/zip; name="b%d.zip"\r\nContent-Transfer-Encoding: base64\r\n\r\n' % i
                      + encoded for i in range(count)], b"bombs")


SHAPES = {"parts": ("50,000 tiny parts", many_parts, 50000), "attachments": ("20,000 attachments", many_attachments, 20000),
          "texts": ("5,000 texts + EICAR", text_parts_with_eicar, 5000), "bombs": ("40 archive bombs", bombs, 40)}


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
        submitted = time.monotonic()
        for _ in range(36000):
            time.sleep(0.1)
            held = subprocess.run([zulctl, "mail", "held"], env=env, capture_output=True, text=True).stdout
            if "0 held" in (line.strip() for line in held.splitlines()):
                break
        seconds = time.monotonic() - submitted
        scanned = peak_kb(monitor.pid) if monitor.poll() is None else 0
        subprocess.run([zulctl, "quit", "--wait", "60"], env=env, stdout=subprocess.DEVNULL)
        monitor.wait()
        box = os.path.getsize(os.path.join(server, "data", "mail.box"))
        code, router = run_measured(spawner, [zulctl, "mail", "route"], env, os.devnull)
        if code != 0:
            raise SystemExit(f"the router failed with {code}")
        mail_file = os.path.join(server, "data", "mail", "b.nsf")
        delivered = os.path.getsize(mail_file) if os.path.exists(mail_file) else 0
        return hook, started, scanned, box, router, delivered, length, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--sizes", default="10,50,85", help="message sizes in MB")
    parser.add_argument("--shapes", default="parts,attachments,texts,bombs", help="hostile shapes, or none")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    spawner = start_spawner()
    print(f"{'message':>22} {'hook peak':>14} {'monitor peak':>16} {'started':>8} {'peak-started':>16} {'mail.box':>14}"
          f" {'router peak':>14} {'mail file':>14} {'scan':>9}")
    def row(label, hook, started, monitor, box, router, delivered, size, seconds):
        grown = max(monitor - started, 0)
        print(f"{label:>22} {hook / 1024:7.0f} MB {hook * 1024 / size:4.1f}x "
              f"{monitor / 1024:8.0f} MB {monitor * 1024 / size:4.1f}x {started / 1024:5.0f} MB "
              f"{grown / 1024:8.0f} MB {grown * 1024 / size:4.1f}x {box / 2**20:7.0f} MB {box / size:4.1f}x "
              f"{router / 1024:7.0f} MB {router * 1024 / size:4.1f}x {delivered / 2**20:7.0f} MB {delivered / size:4.1f}x"
              f" {seconds:7.1f} s", flush=True)

    for mb in (int(s) for s in args.sizes.split(",") if s):
        for name, make in (("one line", single_line), ("attachment", attachment)):
            row(f"{mb} MB {name}", *measure(build, spawner, make, mb * 1024 * 1024))
    for shape in (s for s in args.shapes.split(",") if s and s != "none"):
        label, make, count = SHAPES[shape]
        row(label, *measure(build, spawner, make, count))


if __name__ == "__main__":
    main()
