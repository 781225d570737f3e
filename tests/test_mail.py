"""The road from a line appended to a watched file to a mail in the
recipient's mailbox: a real SMTP server on 127.0.0.1:25 receives the
notification, and Python's email package decodes it."""

import email
import email.header
import email.policy
import os
import re
import shutil
import socket
import time
import unittest

import harness as h

try:
    from aiosmtpd.controller import Controller
except ImportError:  # pragma: no cover - the test dependencies install it
    Controller = None

SENT = "監視ワードをトラッキングしてメール送信しました。"
FAILED = b"Error SMTP Server Connect.\n"


class Mailbox:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((session.host_name, envelope.mail_from, list(envelope.rcpt_tos),
                              envelope.original_content or envelope.content))
        return "250 OK"


def expected_helo(address):
    """The service greets with its fully qualified name, else its address."""
    name = socket.gethostname()
    if "." in name:
        return name
    try:
        canonical = socket.getaddrinfo(name, None, flags=socket.AI_CANONNAME)[0][3]
    except OSError:
        canonical = ""
    return canonical if "." in canonical else "[%s]" % address


def port_25_free():
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", 25)) != 0


@unittest.skipIf(Controller is None, "aiosmtpd is not installed")
class MailTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(port_25_free(), "something else listens on 127.0.0.1:25")
        self.prefix, _ = h.install()
        self.watched = os.path.join(self.prefix, "app.log")
        h.write(self.watched, b"")
        self.trace = os.path.join(self.prefix, "trace")
        self.service = None
        self.controller = None

    def tearDown(self):
        if self.service:
            self.service.kill()
        if self.controller:
            self.controller.stop()
        shutil.rmtree(self.prefix)

    def start(self, env):
        h.write(os.path.join(self.prefix, "data/env.csv"), env)
        h.write(os.path.join(self.prefix, "data/ScanLantern.conf"), h.conf_text([
            (self.watched, "障害", "1", "ops@example.com; dev@example.com", "echo ran >> " + self.trace)]))
        self.service = h.Service(self.prefix).start()

    def test_default_templates_arrive_decoded_with_every_placeholder(self):
        mailbox = Mailbox()
        self.controller = Controller(mailbox, hostname="127.0.0.1", port=25)
        self.controller.start()
        # The installed env.csv with its default templates; mail server and
        # sender filled in.
        env = h.read(os.path.join(self.prefix, "data/env.csv"))
        header, row = env.split(b"\n", 1)
        user, password, _, _, rest = row.split(b",", 4)
        self.start(b",".join([header + b"\n" + user, password, b'"127.0.0.1"', b'"agent@example.com"', rest]))

        line = "ディスク障害 /dev/sdb1 at 10:00"
        with open(self.watched, "ab") as f:
            f.write(h.euc(line) + b"\n")
        self.assertTrue(h.wait_for(lambda: mailbox.messages, timeout=15))
        helo, sender, rcpts, raw = mailbox.messages[0]
        host = socket.gethostname()
        self.assertEqual(sender, "agent@example.com")
        self.assertEqual(rcpts, ["ops@example.com", "dev@example.com"])
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertEqual(str(msg["Subject"]), "ScanLantern Notify from " + host)
        self.assertEqual(msg.get_content_charset(), "iso-2022-jp")
        body = msg.get_content().replace("\r\n", "\n")
        address = re.search(r"IPアドレス  (\S+)\n", body).group(1)
        self.assertEqual(helo, expected_helo(address))
        self.assertRegex(msg["Message-ID"], r"^<\d+\.\d+\.\d+@[A-Za-z0-9.-]+>$")
        # The Date carries the local zone, so it names the moment of sending.
        self.assertLess(abs(msg["Date"].datetime.timestamp() - time.time()), 60)
        for expected in ("ScanLanternが監視ワードをトラッキングしました。",
                         "サーバ名  " + host,
                         "監視ファイル  " + self.watched,
                         "監視ワード  障害",
                         "監視行\n" + line):
            self.assertIn(expected, body)
        self.assertRegex(body, r"IPアドレス  \d+\.\d+\.\d+\.\d+\n")
        self.assertTrue(all(b < 128 for b in raw), "8-bit bytes on the wire")
        self.assertTrue(h.wait_for(lambda: h.euc(SENT) in h.read_log(self.prefix)))
        self.assertTrue(h.wait_for(lambda: os.path.exists(self.trace)))

    def test_unreachable_server_is_logged_and_the_command_still_runs(self):
        self.start(h.env_text(smtp="127.0.0.1", sender="agent@example.com",
                              subject="\\WatchNum\\件 \\WatchString\\", body="\\ResultLine\\"))
        with open(self.watched, "ab") as f:
            f.write(h.euc("障害発生") + b"\n")
        self.assertTrue(h.wait_for(lambda: os.path.exists(self.trace), timeout=20))
        log = h.read_log(self.prefix)
        self.assertIn(h.euc("インフォメーション") + b"\n" + FAILED, log)
        self.assertNotIn(h.euc(SENT), log)

        # The mail server comes up: the next trigger is delivered.
        mailbox = Mailbox()
        self.controller = Controller(mailbox, hostname="127.0.0.1", port=25)
        self.controller.start()
        with open(self.watched, "ab") as f:
            f.write(h.euc("二度目の障害") + b"\n")
        self.assertTrue(h.wait_for(lambda: mailbox.messages, timeout=15))
        msg = email.message_from_bytes(mailbox.messages[0][3], policy=email.policy.default)
        self.assertEqual(msg.get_content().strip(), "二度目の障害")
        subject = "".join(part.decode(cs or "ascii") if isinstance(part, bytes) else part
                          for part, cs in email.header.decode_header(msg["Subject"]))
        self.assertEqual(subject.replace(" ", ""), "1件障害")


if __name__ == "__main__":
    unittest.main()
