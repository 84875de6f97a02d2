#!/usr/bin/env python3
"""Prints, one base64 line each, what Python's email package decodes from
every part of a message that a reader gets as an attachment rather than as
inline text: the referee for the host's converted view."""
import base64
import email
import email.policy
import sys


def main(path):
    # From bytes, not from a binary file: the file reader's text layer would
    # turn CRLF into LF.
    with open(path, "rb") as f:
        message = email.message_from_bytes(f.read(), policy=email.policy.default)
    for part in message.walk():
        if part.is_multipart():
            continue
        inline_text = part.get_content_maintype() == "text" and not part.get_filename() \
            and part.get_content_disposition() != "attachment"
        if inline_text:
            continue
        payload = part.get_payload(decode=True)
        if payload:
            print(base64.b64encode(payload).decode("ascii"))


if __name__ == "__main__":
    main(sys.argv[1])
