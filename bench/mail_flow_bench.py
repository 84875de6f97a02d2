#!/usr/bin/env python3
"""Mail through the running monitor against the kernel alone, in one run.

A mixed corpus of N mails (one to five attachments each: text, archives,
office files, PDF, ClamAV's test files) is submitted to a running
nZulMailMonitor and timed until the last one is released. The same objects
(every attachment and each body's text, as the monitor writes them) are then
scanned directly by the kernel (zulctl scan). Both with the same bases.

    bench/mail_flow_bench.py BUILD [--mails N] [--bases DIR]

Prints mails/s, objects/s, the ratio monitor/kernel in objects/s, and the
hook-to-release latency (request read to document released) p50 and p99.
"""
import argparse
import base64
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

TESTFILES = "/usr/share/clamav-testfiles"
SAMPLES = ["clam.zip", "clam.pdf", "clam.ole.doc", "clam.exe", "clam.tar.gz", "clam.7z", "clam.cab"]


def corpus(count, folder, objects):
    rng = random.Random(7)
    samples = [(name, open(os.path.join(TESTFILES, name), "rb").read()) for name in SAMPLES]
    files = []
    n_objects = 0
    for i in range(count):
        body = f"Mail {i}: the quarterly figures are attached.\n" * rng.randint(1, 20)
        parts = []
        for k in range(rng.randint(1, 5)):
            kind = rng.random()
            if kind < 0.4:
                name, data = f"notes{i}-{k}.txt", (f"line {k} of mail {i}\r\n" * rng.randint(10, 2000)).encode()
            elif kind < 0.6:
                name, data = f"data{i}-{k}.bin", rng.randbytes(rng.randint(1000, 200000))
            else:
                name, data = samples[rng.randrange(len(samples))]
                name = f"{i}-{k}-{name}"
            parts.append((name, data))
            with open(os.path.join(objects, name), "wb") as out:
                out.write(data)
            n_objects += 1
        with open(os.path.join(objects, f"body{i}.txt"), "w") as out:
            out.write(body)
        n_objects += 1
        lines = [f"From: sender{i}@example.com", "To: anna@example.com", f"Subject: mail {i}", "MIME-Version: 1.0",
                 'Content-Type: multipart/mixed; boundary="b"', "", "--b", "Content-Type: text/plain", "", body]
        for name, data in parts:
            lines += ["--b", f'Content-Type: application/octet-stream; name="{name}"',
                      "Content-Transfer-Encoding: base64", "", base64.encodebytes(data).decode()]
        lines.append("--b--\n")
        path = os.path.join(folder, f"mail{i:05d}.eml")
        with open(path, "w") as out:
            out.write("\n".join(lines))
        files.append(path)
    return files, n_objects


def process_cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def sync_counter(pid):
    """perf counting the monitor's fdatasync and fsync calls, or None."""
    if os.geteuid() != 0 or shutil.which("perf") is None:
        return None
    return subprocess.Popen(["perf", "stat", "-x", ",", "-e", "syscalls:sys_enter_fdatasync,syscalls:sys_enter_fsync",
                             "-p", str(pid)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def stop_sync_counter(counter):
    if counter is None:
        return None
    counter.send_signal(signal.SIGINT)
    report = counter.communicate(timeout=30)[1]
    counts = [line.split(",")[0] for line in report.splitlines() if "sys_enter_f" in line]
    return sum(int(c) for c in counts if c.isdigit()) if counts else None


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def sign_bases(zulctl, folder):
    """The tasks load only a folder whose signed index lists every file: a
    set made for the bench (make-large-bases.py) gets one."""
    index = os.path.join(folder, "master.xml")
    if not os.path.exists(index):
        with open(index, "w") as out:
            out.write('<?xml version="1.0"?>\n<UpdateFiles UpdateDate="%s">\n</UpdateFiles>\n'
                      % time.strftime("%d%m%Y %H%M", time.gmtime()))
    subprocess.run([zulctl, "bases", "sign", index], check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--mails", type=int, default=200)
    parser.add_argument("--bases", default=None)
    parser.add_argument("--reload-with", default=None,
                        help="halfway through, install this bases set and tell the monitor to reload")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    zulctl = os.path.join(build, "zulctl")
    source_bases = os.path.abspath(args.bases or os.path.join(build, "demo-bases"))
    root = tempfile.mkdtemp(prefix="zulbench-flow.")
    monitor = None
    try:
        server = os.path.join(root, "srv")
        env = dict(os.environ, ZUL_NOTES_INI=os.path.join(server, "notes.ini"))
        run = lambda *a: subprocess.run([zulctl, *a], env=env, check=True, stdout=subprocess.DEVNULL)
        run("init", server)
        bases = os.path.join(root, "bases")  # the monitor's own folder, so a reload can change it
        shutil.copytree(source_bases, bases)
        sign_bases(zulctl, bases)
        run("settings", "init", "--bases", bases)
        os.makedirs(os.path.join(root, "mail"))
        os.makedirs(os.path.join(root, "objects"))
        mails, n_objects = corpus(args.mails, os.path.join(root, "mail"), os.path.join(root, "objects"))

        received, released = {}, {}
        lock = threading.Lock()  # the reader thread fills both while the main thread counts
        ready = threading.Event()

        def reader(stream):
            current = None  # the note ID of the request being handled
            for raw in stream:
                now = time.monotonic()
                line = raw.decode("utf-8", "replace")
                if "Инициализация завершена." in line:
                    ready.set()
                if "Получен запрос от перехватчика" in line:
                    current = int(line.split("|")[1], 16)
                    with lock:
                        received[current] = now
                elif "Документ 0x" in line and "обработан." in line and "|" not in line:
                    # The driver's line names a note handle, the handler's (the last
                    # one of a request) the note ID: only the request's own note counts.
                    number = int(line.split("0x")[1].split()[0], 16)
                    if number == current:
                        with lock:
                            released[current] = now

        monitor = subprocess.Popen([os.path.join(build, "nZulMailMonitor")], cwd=server, env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=reader, args=(monitor.stdout,), daemon=True).start()
        if not ready.wait(600):
            sys.exit("the monitor did not start")
        syncs = sync_counter(monitor.pid)
        cpu_before = process_cpu_seconds(monitor.pid)
        start = time.monotonic()
        subprocess.run([zulctl, "mail", "submit", *mails], env=env, check=True, stdout=subprocess.DEVNULL)
        deadline = start + 3600
        def done():
            with lock:
                return [n for n in received if n in released and released[n] >= received[n]]
        reloaded_at = None
        while len(done()) < len(mails) and time.monotonic() < deadline and monitor.poll() is None:
            if args.reload_with and reloaded_at is None and len(done()) >= len(mails) // 2:
                for name in os.listdir(bases):
                    os.remove(os.path.join(bases, name))
                for name in os.listdir(args.reload_with):
                    shutil.copy(os.path.join(args.reload_with, name), bases)
                sign_bases(zulctl, bases)
                subprocess.run([zulctl, "tell", "update2mail", "UPDATER|COMPLETE"], env=env, stdout=subprocess.DEVNULL)
                reloaded_at = time.monotonic()
            time.sleep(0.01)
        finished = done()
        monitor_cpu = process_cpu_seconds(monitor.pid) - cpu_before
        sync_count = stop_sync_counter(syncs)
        monitor_seconds = max(released[n] for n in finished) - start
        latencies = [released[n] - received[n] for n in finished]

        def kernel_scan(paths):
            t0 = time.monotonic()
            scan = subprocess.Popen([zulctl, "scan", "--bases", bases, *paths], env=env, stdout=subprocess.DEVNULL)
            _, _, usage = os.wait4(scan.pid, 0)
            return time.monotonic() - t0, usage.ru_utime + usage.ru_stime

        tiny = os.path.join(root, "tiny.txt")
        open(tiny, "w").write("x")
        kernel_start, kernel_start_cpu = kernel_scan([tiny])
        kernel_wall, kernel_cpu = kernel_scan([os.path.join(root, "objects")])
        kernel_seconds = max(kernel_wall - kernel_start, 1e-6)
        kernel_cpu = max(kernel_cpu - kernel_start_cpu, 1e-6)

        peak = "?"
        try:
            for status_line in open(f"/proc/{monitor.pid}/status"):
                if status_line.startswith("VmHWM:"):
                    peak = status_line.split(":")[1].strip()
        except OSError:
            pass
        print(f"bases: {source_bases}" + (f", reloaded halfway with {args.reload_with}" if args.reload_with else ""))
        print(f"monitor peak resident size: {peak}")
        if reloaded_at is not None:
            after = [released[n] - received[n] for n in finished if received[n] >= reloaded_at - 5]
            print(f"longest hook-to-release latency around the reload: {max(after) * 1000:.0f} ms")
        print(f"mails: {len(finished)}/{len(mails)} released, {n_objects} objects (attachments and bodies)")
        print(f"monitor: {monitor_seconds:.2f} s, {len(mails) / monitor_seconds:.1f} mails/s, "
              f"{n_objects / monitor_seconds:.1f} objects/s")
        print(f"kernel alone: {kernel_seconds:.2f} s (start-up of {kernel_start:.2f} s left out), "
              f"{n_objects / kernel_seconds:.1f} objects/s")
        print(f"ratio monitor/kernel (objects/s): {kernel_seconds / monitor_seconds:.2f}")
        per_mail = 1000 / max(len(finished), 1)
        print(f"CPU per mail: monitor {monitor_cpu * per_mail:.2f} ms, kernel alone on the same objects "
              f"{kernel_cpu * per_mail:.2f} ms, overhead {(monitor_cpu - kernel_cpu) * per_mail:.2f} ms")
        print("fdatasync+fsync per mail of the monitor: " +
              (f"{sync_count / max(len(finished), 1):.2f}" if sync_count is not None else "n/a (needs root and perf)"))
        if latencies:
            print(f"hook-to-release latency: p50 {percentile(latencies, 50) * 1000:.1f} ms, "
                  f"p99 {percentile(latencies, 99) * 1000:.1f} ms")
    finally:
        if monitor is not None:
            subprocess.run([zulctl, "quit", "--wait", "60"], env=dict(os.environ, ZUL_NOTES_INI=os.path.join(root, "srv", "notes.ini")),
                           stdout=subprocess.DEVNULL)
            monitor.wait(60)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
