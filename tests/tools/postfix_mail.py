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


def html_only(tag):
    return lines(
        b"From: anna@sender.test", b"To: bob@example.com", b"Subject: html " + tag,
        b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0",
        b"Content-Type: text/html; charset=utf-8", b"Content-Transfer-Encoding: quoted-printable", b"",
        b"<html><body><p>Caf=C3=A9 au lait, a line long enough to be wrapped by the quoted-printable =",
        b"encoder at seventy-six columns.</p></body></html>")


def signed(tag):
    # As a signing client writes it: the signed part must keep every byte.
    return lines(
        b"From: anna@sender.test", b"To: bob@example.com", b"Subject: signed " + tag,
        b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0",
        b'Content-Type: multipart/signed; protocol="application/pgp-signature"; micalg=pgp-sha256;',
        b' boundary="sig"', b"", b"--sig", b"Content-Type: text/plain; charset=us-ascii",
        b"Content-Transfer-Encoding: 7bit", b"", b"Signed text with trailing spaces   ", b"", b"--sig",
        b'Content-Type: application/pgp-signature; name="signature.asc"', b"", b"-----BEGIN PGP SIGNATURE-----", b"",
        b"iQEzBAEBCAAdFiEEabcdefghijklmnopqrstuvwxyz0123456789ABCDEF=", b"=XYZ1", b"-----END PGP SIGNATURE-----",
        b"--sig--")


def forwarded(tag):
    inner = lines(b"From: carol@elsewhere.test", b"To: anna@sender.test", b"Subject: the original",
                  b"Date: Mon, 07 Dec 2026 09:00:00 +0000", b"Content-Type: text/plain; charset=utf-8",
                  b"Content-Transfer-Encoding: quoted-printable", b"",
                  b"Forty columns wide quoted-printable tex=", b"t that must not be rewrapped at all.")
    return lines(
        b"From: anna@sender.test", b"To: bob@example.com", b"Subject: Fwd: the original " + tag,
        b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0",
        b'Content-Type: multipart/mixed; boundary="fwd"', b"", b"--fwd", b"Content-Type: text/plain", b"",
        b"See below.", b"--fwd", b"Content-Type: message/rfc822", b"", inner.rstrip(b"\r\n"), b"--fwd--")


def cyrillic(tag):
    return lines(
        b"From: =?KOI8-R?B?5dfHxc7JyQ==?= <anna@sender.test>", b"To: bob@example.com",
        b"Subject: =?KOI8-R?B?8NLJ18XU?= " + tag, b"Date: Tue, 08 Dec 2026 10:00:00 +0000",
        b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0", b"Content-Type: text/plain; charset=koi8-r",
        b"Content-Transfer-Encoding: 8bit", b"", "Привет из КОИ-8.".encode("koi8-r"))


def lone_eicar(tag):
    # The whole message is the attachment: cleaning it changes the top-level
    # Content-Type, which goes back through the MTA's header calls.
    return lines(
        b"From: anna@sender.test", b"To: bob@example.com", b"Subject: lone " + tag,
        b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"MIME-Version: 1.0",
        b"Content-Type: application/octet-stream;", b'\tname="eicar.txt"',
        b'Content-Disposition: attachment; filename="eicar.txt"', b"Content-Transfer-Encoding: base64", b"",
        base64.b64encode(EICAR))


def lone_without_version(tag):
    # Cleaning it adds a field the sender did not write (MIME-Version).
    return lines(
        b"From: anna@sender.test", b"To: bob@example.com", b"Subject: lone " + tag,
        b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>",
        b'Content-Type: application/octet-stream; name="eicar.txt"', b"Content-Transfer-Encoding: base64", b"",
        base64.b64encode(EICAR))


def check_trace_first(delivered):
    """Postfix's trace fields stay above every field of the message."""
    head = pathlib.Path(delivered).read_bytes().replace(b"\r\n", b"\n").partition(b"\n\n")[0]
    names = [line.split(b":", 1)[0].lower() for line in head.split(b"\n") if line[:1] not in (b" ", b"\t")]
    last_trace = max(i for i, name in enumerate(names) if name in TRACE_HEADERS)
    first_other = min(i for i, name in enumerate(names) if name not in TRACE_HEADERS)
    if first_other < last_trace:
        print("a field went above the trace fields:\n" + head.decode(errors="replace"))
        return 1
    return 0


def headerless(tag):
    # No header field at all: the MTA adds its trace field in front.
    return lines(b"just a line of text " + tag, b"and another")


def dots(tag):
    # Lines SMTP must escape on the way: a lone dot would end the data early.
    return lines(b"From: anna@sender.test", b"To: bob@example.com", b"Subject: dots " + tag,
                 b"Date: Tue, 08 Dec 2026 10:00:00 +0000", b"Message-ID: <" + tag + b"@sender.test>", b"",
                 b"first line", b".", b"..", b".. two dots", b". after a dot", b"last line")


SHAPES = {"lone": lone_eicar, "lone-bare": lone_without_version, "dots": dots, "headerless": headerless, "alternative": alternative_with_inline_image, "empty": empty_body, "eicar": with_eicar,
          "html": html_only, "signed": signed, "forwarded": forwarded, "cyrillic": cyrillic}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def send(port, shape, tag, path, sender, recipients):
    message = SHAPES[shape](tag.encode())
    pathlib.Path(path).write_bytes(message)
    with smtplib.SMTP("127.0.0.1", int(port), timeout=30) as smtp:
        smtp.sendmail(sender, recipients, message)


def reply(port, shape, tag, path):
    """Sends one message and prints the server's reply to it: its code and text."""
    message = SHAPES[shape](tag.encode())
    pathlib.Path(path).write_bytes(message)
    try:
        with smtplib.SMTP("127.0.0.1", int(port), timeout=200) as smtp:
            smtp.sendmail("anna@sender.test", ["bob@example.com"], message)
        print("250 accepted")
    except smtplib.SMTPRecipientsRefused as refused:
        code, text = next(iter(refused.recipients.values()))
        print(code, text.decode(errors="replace"))
    except smtplib.SMTPResponseException as e:
        print(e.smtp_code, e.smtp_error.decode(errors="replace"))


def parallel(port, count, tag):
    """`count` SMTP clients at once, each with a message of its own; the codes
    that are not 250, one per line."""
    import threading
    failures = []

    def one(n):
        try:
            with smtplib.SMTP("127.0.0.1", int(port), timeout=200) as smtp:
                smtp.sendmail("anna@sender.test", ["bob@example.com"], with_eicar(f"{tag}-{n:02d}".encode())
                              if n % 4 == 0 else alternative_with_inline_image(f"{tag}-{n:02d}".encode()))
        except (smtplib.SMTPException, OSError) as e:
            failures.append(f"{n}: {e}")
    threads = [threading.Thread(target=one, args=(n,)) for n in range(int(count))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for failure in failures:
        print(failure)


def drop(port, tag):
    """Starts a message and drops the connection in the middle of its data."""
    with socket.create_connection(("127.0.0.1", int(port)), 30) as s:
        f = s.makefile("rb")
        f.readline()
        for command in (b"HELO client.test", b"MAIL FROM:<anna@sender.test>", b"RCPT TO:<bob@example.com>", b"DATA"):
            s.sendall(command + b"\r\n")
            while True:
                line = f.readline()
                if line[3:4] != b"-":
                    break
        s.sendall(b"From: anna@sender.test\r\nSubject: dropped " + tag.encode() + b"\r\n\r\nhalf a mess")


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


def check_headers_kept(sent, delivered):
    """The cleaned message keeps the sent one's header fields, and its text
    part its own text below the report."""
    sent_head, _, _ = without_trace(pathlib.Path(sent).read_bytes()).partition(b"\n\n")
    got = without_trace(pathlib.Path(delivered).read_bytes())
    got_head, _, got_body = got.partition(b"\n\n")
    if sent_head != got_head:
        print("header fields changed:\n" + got_head.decode(errors="replace"))
        return 1
    if not got_body.startswith(b"--mix\nContent-Type: text/plain\n\n") or b"\nSee the attachment.\n--mix\n" not in got_body:
        print("the text part changed:\n" + got.decode(errors="replace"))
        return 1
    return 0


def main(argv):
    verb = argv[1]
    if verb == "port":
        print(free_port())
    elif verb == "send":
        send(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7:])
    elif verb == "reply":
        reply(argv[2], argv[3], argv[4], argv[5])
    elif verb == "parallel":
        parallel(argv[2], argv[3], argv[4])
    elif verb == "drop":
        drop(argv[2], argv[3])
    elif verb == "trace-first":
        return check_trace_first(argv[2])
    elif verb == "headers-kept":
        return check_headers_kept(argv[2], argv[3])
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
