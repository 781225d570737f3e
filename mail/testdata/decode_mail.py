#!/usr/bin/python3
"""Decodes a stored mail with Python's email package for the tests.

Usage: decode_mail.py FILE

Prints one item per line as "TAG<TAB>value", values in UTF-8 with "\\",
CR and LF escaped as "\\\\", "\\r" and "\\n":
  subject     the Subject header with its encoded words decoded
  header      "Name: value" for every header of the message, undecoded
  charset     the charset of the text part
  body        one line of the decoded text part (one item per line)
  attachment  "filename<TAB>content type<TAB>hex of the decoded content"
  defects     the parser's defects, if any
"""

import email
import email.header
import email.policy
import sys


def escape(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def put(tag, value):
    sys.stdout.write(tag + "\t" + escape(value) + "\n")


def main():
    with open(sys.argv[1], "rb") as f:
        message = email.message_from_bytes(f.read(), policy=email.policy.compat32)
    # The subject as a reader shows it: RFC 2047 decoding of the default
    # policy, which drops the blanks between encoded words.
    with open(sys.argv[1], "rb") as f:
        modern = email.message_from_bytes(f.read(), policy=email.policy.default)
    put("subject", str(modern.get("Subject", "")))
    for name, value in message.items():
        put("header", "%s: %s" % (name, value))
    for part in message.walk():
        if part.is_multipart():
            continue
        filename = part.get_filename()
        payload = part.get_payload(decode=True) or b""
        if filename:
            sys.stdout.write("attachment\t%s\t%s\t%s\n" % (filename, part.get_content_type(), payload.hex()))
            continue
        charset = part.get_content_charset() or "us-ascii"
        put("charset", charset)
        text = payload.decode(charset)
        lines = text.split("\r\n") if "\r\n" in text else text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        for line in lines:
            put("body", line)
    for defect in message.defects:
        put("defects", repr(defect))


if __name__ == "__main__":
    main()
