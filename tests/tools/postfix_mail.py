#!/usr/bin/env python3
"""The mail side of the Postfix gateway test: writes everyday messages, sends
them by SMTP and reads what the Maildir got, with Python's email package as
the referee."""
import base64
import email
import email.policy
import pathlib
import smtplib
import socket
import sys

EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
TRACE_HEADERS = {b"return-path", b"delivered-to", b"x-original-to", b"received"}
PNG = base64.b64decode(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==")


def lines(*parts):
    return b"\r\n".join(parts) + b"\r\n"


def alternative_with_inline_image(tag):
    image = base64.encodebytes(PNG).replace(b"\n", b"\r\n").rstrip(b"\r\n")
    return lines(
        b"From: =?UTF-8?B?0JDQvdC90LA=?= <anna@sender.test>", b"To: bob@example.com",
        b"Subject: =?UTF-8?B?0J/RgNC40LLQtdGCLCDQvNC40YAh?= " + tag, b"Date: Tue, 08 Dec 2026 10:00:00 +0000",
        b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0",
        b'Content-Type: multipart/alternative; boundary="alt"', b"", b"--alt",
        b"Content-Type: text/plain; charset=utf-8", b"Content-Transfer-Encoding: 8bit", b"",
        "Привет, мир! Строка текста.".encode(), b"--alt", b'Content-Type: multipart/related; boundary="rel"', b"",
        b"--rel", b"Content-Type: text/html; charset=utf-8", b"", b'<p>Hi <img src="cid:logo@x"></p>', b"--rel",
        b"Content-Type: image/png", b"Content-ID: <logo@x>", b"Content-Transfer-Encoding: base64", b"", image,
        b"--rel--", b"--alt--")


def empty_body(tag):
    return lines(b"From: anna@sender.test", b"To: bob@example.com", b"Subject: empty " + tag,
                 b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"")


def with_eicar(tag):
    return lines(
        b"From: anna@sender.test", b"To: bob@example.com", b"Subject: infected " + tag,
        b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0",
        b'Content-Type: multipart/mixed; boundary="mix"', b"", b"--mix", b"Content-Type: text/plain", b"",
        b"See the attachment.", b"--mix", b'Content-Type: application/octet-stream; name="eicar.txt"',
        b'Content-Disposition: attachment; filename="eicar.txt"', b"", EICAR, b"--mix--")


SHAPES = {"alternative": alternative_with_inline_image, "empty": empty_body, "eicar": with_eicar}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def send(port, shape, tag, path, sender, recipients):
    message = SHAPES[shape](tag.encode())
    pathlib.Path(path).write_bytes(message)
    with smtplib.SMTP("127.0.0.1", int(port), timeout=30) as smtp:
        smtp.sendmail(sender, recipients, message)


def burst(port, count, tag):
    """Sends `count` small messages over one SMTP connection."""
    with smtplib.SMTP("127.0.0.1", int(port), timeout=60) as smtp:
        for n in range(int(count)):
            smtp.sendmail("anna@sender.test", ["bob@example.com"], empty_body(f"{tag}-{n}".encode()))


def count(maildir, tag):
    return sum(1 for path in pathlib.Path(maildir).glob("new/*") if tag.encode() in path.read_bytes())


def without_trace(raw):
    head, _, body = raw.replace(b"\r\n", b"\n").partition(b"\n\n")
    kept, skipping = [], False
    for line in head.split(b"\n"):
        if line[:1] in (b" ", b"\t"):
            if not skipping:
                kept.append(line)
            continue
        skipping = line.split(b":", 1)[0].strip().lower() in TRACE_HEADERS
        if not skipping:
            kept.append(line)
    return b"\n".join(kept) + b"\n\n" + body


def find(maildir, tag):
    """The delivered files whose Message-ID or Subject carries the tag."""
    found = []
    for path in sorted(pathlib.Path(maildir).glob("new/*")):
        message = email.message_from_bytes(path.read_bytes(), policy=email.policy.default)
        if tag in str(message.get("Message-ID", "")) or tag in str(message.get("Subject", "")):
            found.append(path)
    return found


def check_unchanged(sent, delivered):
    if without_trace(pathlib.Path(sent).read_bytes()) != without_trace(pathlib.Path(delivered).read_bytes()):
        print("delivered message differs from the sent one:\n" + pathlib.Path(delivered).read_text(errors="replace"))
        return 1
    return 0


def check_cleaned(delivered):
    raw = pathlib.Path(delivered).read_bytes()
    message = email.message_from_bytes(raw, policy=email.policy.default)
    if message.defects:
        print("defects:", message.defects)
        return 1
    payloads = [part.get_payload(decode=True) or b"" for part in message.walk() if not part.is_multipart()]
    if any(EICAR in payload for payload in payloads) or EICAR in raw:
        print("the payload was delivered")
        return 1
    if not any(b"eicar.txt" in payload and b"Copy in quarantine" in payload for payload in payloads):
        print("no report names the removed attachment:\n" + raw.decode(errors="replace"))
        return 1
    return 0


def main(argv):
    verb = argv[1]
    if verb == "port":
        print(free_port())
    elif verb == "send":
        send(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7:])
    elif verb == "burst":
        burst(argv[2], argv[3], argv[4])
    elif verb == "count":
        print(count(argv[2], argv[3]))
    elif verb == "find":
        for path in find(argv[2], argv[3]):
            print(path)
    elif verb == "unchanged":
        return check_unchanged(argv[2], argv[3])
    elif verb == "cleaned":
        return check_cleaned(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
