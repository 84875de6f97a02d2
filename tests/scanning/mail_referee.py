#!/usr/bin/env python3
"""Compares a delivered message with the one that was sent, with Python's
email package as referee: the header fields and their order, the MIME tree
and every clean part (decoded bytes, type, file name) must be the sent ones;
a part that carried the test virus, or a program by name (the default name
filter takes "*.exe"), must hold the placeholder; no part, no uuencoded
block inside text and nothing inside an S/MIME part may decode to the
virus; the report is in the mail's own body and nowhere else; a mail sent
with LF line ends arrives with LF line ends.

The body is the mail's own first text part at the top: through mixed,
related, signed and the rest the first part, through alternative every
alternative, never inside an attached message or a digest entry. A finding
in the body takes the body (the report stands in its place); a finding
anywhere else takes that part alone. Prints what differs; exit 1 if any.
    mail_referee.py SENT DELIVERED PLACEHOLDER"""
import binascii
import email
import email.policy
import subprocess
import sys
import tempfile

EICAR = b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE"
REPORT = "Tervala Anti-Virus Report"
OPENSSL = "/usr/bin/openssl"


def load(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


def without_charset(name, value):
    """A text part may have moved to UTF-8 to hold the report: only that."""
    if name.lower() != "content-type":
        return value
    return ";".join(p for p in value.split(";") if not p.strip().lower().startswith("charset="))


def leaves(message):
    return [p for p in message.walk() if not p.is_multipart()]


def is_text(part):
    return part.get_content_maintype() == "text" and not part.get_filename() \
        and part.get_content_disposition() != "attachment"


def body_parts(message):
    found = []

    def collect(part):
        if part.get_content_maintype() == "message":
            return
        if not part.is_multipart():
            if is_text(part):
                found.append(part)
            return
        children = part.get_payload()
        if not children or part.get_content_subtype() == "digest":
            return
        if part.get_content_subtype() == "alternative":
            for child in children:
                collect(child)
        else:
            collect(children[0])

    collect(message)
    return found


def uu_blocks(text, begin=b"begin "):
    """The uuencoded blocks of a text, decoded; `begin` is how a block's
    first line starts (a lenient reader takes b"begin")."""
    out, block = [], None
    for line in text.splitlines():
        if line.startswith(begin) and block is None:
            block = b""
        elif line.strip() == b"end" and block is not None:
            out.append(block)
            block = None
        elif block is not None:
            try:
                block += binascii.a2b_uu(line)
            except binascii.Error:
                pass
    return out


def smime_inside(part):
    """What an opaque-signed S/MIME part holds, as a message; None if none."""
    if part.get_content_type() not in ("application/pkcs7-mime", "application/x-pkcs7-mime"):
        return None
    with tempfile.NamedTemporaryFile() as der:
        der.write(part.get_payload(decode=True) or b"")
        der.flush()
        run = subprocess.run([OPENSSL, "cms", "-verify", "-noverify", "-inform", "DER", "-in", der.name],
                             capture_output=True)
    return load(run.stdout) if run.returncode == 0 else None


def infected(part):
    data = part.get_payload(decode=True) or b""
    if EICAR in data:
        return True
    if is_text(part) and any(EICAR in b for b in uu_blocks(data)):
        return True
    inner = smime_inside(part)
    return inner is not None and any(infected(p) for p in leaves(inner))


def forbidden(part):
    return (part.get_filename() or "").lower().endswith(".exe")


def main(sent_path, delivered_path, placeholder_path):
    sent_bytes, got_bytes = open(sent_path, "rb").read(), open(delivered_path, "rb").read()
    sent, got = load(sent_bytes), load(got_bytes)
    placeholder = open(placeholder_path, "rb").read()
    faults = []
    if b"\r\n" not in sent_bytes and b"\r\n" in got_bytes:
        faults.append("a mail sent with LF line ends has CRLF in it now")
    # A single part that became multipart to hold the report moves its
    # content fields down; every other field stays, in order.
    wrapped = sent.get_content_type() != got.get_content_type()
    moved = {"content-type", "content-transfer-encoding", "content-disposition", "mime-version"} if wrapped else set()
    sent_fields = [(k, without_charset(k, v)) for k, v in sent.items() if k.lower() not in moved]
    got_fields = [(k, without_charset(k, v)) for k, v in got.items() if k.lower() not in moved]
    if sent_fields != got_fields:
        faults.append("header fields: %r != %r" % (sent_fields, got_fields))
    a, b = leaves(sent), leaves(got)
    sent_body = [id(p) for p in body_parts(sent)]
    got_body = [id(p) for p in body_parts(got)]
    reported = False
    if len(b) == len(a) + 1 and b[0].get_content_type() == "text/plain":
        report_part = b.pop(0)  # a mail without a body gets a text part for the report
        got_body.append(id(report_part))
        reported = REPORT in (report_part.get_payload(decode=True) or b"").decode("utf-8", "replace")
    if [p.get_content_type() for p in a] != [p.get_content_type() for p in b]:
        faults.append("tree: %r != %r" % ([p.get_content_type() for p in a], [p.get_content_type() for p in b]))
    for i, (x, y) in enumerate(zip(a, b)):
        if x.get_filename() != y.get_filename():
            faults.append("part %d: name %r != %r" % (i, x.get_filename(), y.get_filename()))
        if x.get("Content-ID") != y.get("Content-ID"):
            faults.append("part %d: Content-ID %r != %r" % (i, x.get("Content-ID"), y.get("Content-ID")))
        sent_data = x.get_payload(decode=True) or b""
        got_data = y.get_payload(decode=True) or b""
        text = got_data.decode(y.get_content_charset() or "utf-8", "replace")
        if id(x) in sent_body:
            if REPORT in text:
                reported = True
            if not infected(x) and not got_data.endswith(sent_data) and \
                    x.get_content_subtype() != "html" and sent_data not in got_data:
                faults.append("body part %d changed beyond the report" % i)
            continue
        if REPORT in text:
            faults.append("part %d, no body part, carries the report" % i)
        if infected(x) or forbidden(x):
            inner_only = is_text(x) and EICAR not in sent_data  # a uuencoded block inside text
            if not inner_only and got_data.replace(b"\r\n", b"\n") != placeholder.replace(b"\r\n", b"\n"):
                faults.append("part %d (%s) is not the placeholder" % (i, x.get_filename()))
        elif got_data != sent_data:
            faults.append("clean part %d (%s, %s) changed" % (i, x.get_content_type(), x.get_filename()))
    if any(infected(p) for p in leaves(got)):
        faults.append("the virus decodes from the delivered message")
    if not reported and any(infected(p) or forbidden(p) for p in leaves(sent)):
        faults.append("no report in the mail's body")
    for fault in faults:
        print(fault)
    print("OK" if not faults else "%d fault(s)" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
