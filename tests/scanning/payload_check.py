#!/usr/bin/env python3
"""Whether anything of a delivered message decodes to the test virus under
a lenient reader: Python's email (every part, uuencoded blocks inside text),
munpack and ripmime (each where installed), all of them. Prints what gets
out and exits 1 when anything does.
    payload_check.py DELIVERED"""
import email
import email.policy
import os
import subprocess
import sys
import tempfile

from mail_referee import uu_blocks

EICAR = b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE"
TOOLS = {"munpack": ["/usr/bin/munpack", "-q", "-C"], "ripmime": ["/usr/bin/ripmime", "--no-paranoid", "-d"]}


def python_reading(data):
    found = []
    for part in email.message_from_bytes(data, policy=email.policy.compat32).walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        if EICAR in payload or any(EICAR in block for block in uu_blocks(payload, begin=b"begin")):
            found.append("python: part %s" % part.get_content_type())
    return found


def tool_reading(name, command, path):
    if not os.path.exists(command[0]):
        return []
    with tempfile.TemporaryDirectory() as out:
        if name == "munpack":
            subprocess.run(command + [out, path], capture_output=True)
        else:
            subprocess.run(command + [out, "-i", path], capture_output=True)
        found = []
        for root, _, files in os.walk(out):
            for file in files:
                with open(os.path.join(root, file), "rb") as f:
                    if EICAR in f.read():
                        found.append("%s: %s" % (name, file))
        return found


def main(path):
    data = open(path, "rb").read()
    found = python_reading(data)
    for name, command in TOOLS.items():
        found += tool_reading(name, command, path)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
