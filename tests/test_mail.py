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
import ssl
import subprocess
import tempfile
import time
import unittest

import harness as h

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult
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
        tls = server.transport.get_extra_info("ssl_object") is not None
        self.sessions = getattr(self, "sessions", []) + [(tls, session.authenticated)]
        return "250 OK"


def make_certificate(directory, name, san):
    """A self-signed certificate for the given subjectAltName; returns the
    paths of the certificate and its key."""
    cert, key = os.path.join(directory, name + ".crt"), os.path.join(directory, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=" + name, "-addext", "subjectAltName=" + san,
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def relay_env(port, security, user="", password=""):
    """env.csv naming a relay on localhost, the relay columns appended."""
    text = h.env_text(smtp="localhost", sender='"監視 エージェント" <agent@example.com>',
                      subject="監視 \\WatchNum\\件 障害 on relay", body="\\ResultLine\\")
    header, row = text.split(b"\n", 1)
    cells = [str(port), security, user, password]
    return (header + b',"SMTPPort","SMTPSecurity","SMTPUser","SMTPPassword"\n' + row.rstrip(b"\n") + b"," +
            b",".join(b'"' + c.encode().replace(b'"', b'""') + b'"' for c in cells) + b"\n")


def check_login(server, session, envelope, mechanism, auth_data):
    return AuthResult(success=auth_data.login == b"notify" and auth_data.password == b"pa,ss\"word")


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

    def test_submission_relays_with_starttls_tls_and_auth(self):
        certs = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, certs)
        good = make_certificate(certs, "localhost", "DNS:localhost,IP:127.0.0.1")
        wrong = make_certificate(certs, "wrong", "DNS:wrong.example")
        # The service trusts both test certificates and nothing else.
        bundle = os.path.join(certs, "trusted.pem")
        h.write(bundle, h.read(good[0]) + h.read(wrong[0]))
        os.environ["SSL_CERT_FILE"] = bundle
        self.addCleanup(os.environ.pop, "SSL_CERT_FILE", None)

        def context(pair):
            ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            ctx.load_cert_chain(*pair)
            return ctx

        cases = [
            ("starttls", 10587, good, dict(tls_context=context(good), require_starttls=True), True),
            # This server counts only STARTTLS as TLS when it offers AUTH.
            ("tls", 10465, good, dict(ssl_context=context(good), auth_require_tls=False), True),
            ("starttls", 10588, wrong, dict(tls_context=context(wrong), require_starttls=True), False),
            ("tls", 10466, wrong, dict(ssl_context=context(wrong), auth_require_tls=False), False),
        ]
        for security, port, pair, server_args, delivered in cases:
            with self.subTest(security=security, certificate=pair[0]):
                mailbox = Mailbox()
                server_args.setdefault("auth_require_tls", True)
                controller = Controller(mailbox, hostname="127.0.0.1", port=port, authenticator=check_login,
                                        auth_required=True, **server_args)
                controller.start()
                try:
                    self.start(relay_env(port, security, "notify", 'pa,ss"word'))
                    with open(self.watched, "ab") as f:
                        f.write(h.euc("ディスク障害") + b"\n")
                    self.assertTrue(h.wait_for(lambda: os.path.exists(self.trace), timeout=20))
                    start = self.service.log_size_at_start
                    if delivered:
                        self.assertTrue(h.wait_for(lambda: mailbox.messages, timeout=15),
                                        h.read_log(self.prefix)[start:].decode("euc_jp", "replace"))
                        self.assertEqual(mailbox.sessions[0], (True, True))
                        msg = email.message_from_bytes(mailbox.messages[0][3], policy=email.policy.default)
                        self.assertEqual(str(msg["Subject"]), "監視 1件 障害 on relay")
                        self.assertEqual(msg["From"].addresses[0].display_name, "監視 エージェント")
                        self.assertTrue(h.wait_for(lambda: h.euc(SENT) in h.read_log(self.prefix)))
                    else:
                        self.assertTrue(h.wait_for(lambda: FAILED in h.read_log(self.prefix)[start:], timeout=20))
                        log = h.read_log(self.prefix)[start:]
                        self.assertIn(b"certificate verification failed", log, log.decode("euc_jp", "replace"))
                        self.assertEqual(mailbox.messages, [])
                        self.assertNotIn(h.euc(SENT), log)
                finally:
                    self.service.kill()
                    self.service = None
                    controller.stop()
                    os.remove(self.trace) if os.path.exists(self.trace) else None


if __name__ == "__main__":
    unittest.main()
