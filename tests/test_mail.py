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


@h.needs_peer(Controller is not None, "aiosmtpd is not installed")
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
        # A new installation's subject names the host, the words and the file.
        self.assertEqual(str(msg["Subject"]), "[ScanLantern] %s: 障害 (%s)" % (host, self.watched))
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
        # The mail thread logs the failure on its own time, after or before the command ran.
        failed = h.euc("インフォメーション") + b"\n" + FAILED
        self.assertTrue(h.wait_for(lambda: failed in h.read_log(self.prefix), timeout=20))
        self.assertNotIn(h.euc(SENT), h.read_log(self.prefix))
        # What happens when the server comes back: test_faults.MailSpoolTest.

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
                    # The next case starts without this one's waiting mail.
                    shutil.rmtree(os.path.join(self.prefix, "data/spool"), ignore_errors=True)


class RelaySettingsTest(unittest.TestCase):
    """The relay columns through the mail settings page, the console routes
    and the settings file."""

    def setUp(self):
        self.prefix, _ = h.install()
        self.addCleanup(shutil.rmtree, self.prefix)
        self.env = os.path.join(self.prefix, "data/env.csv")
        # A file from before the relay columns: it keeps its layout until a
        # relay value is set.
        h.write(self.env, h.env_text(smtp="mx.example.com", sender="agent@example.com", subject="s", body="b"))
        h.write(os.path.join(self.prefix, "data/ScanLantern.conf"), h.conf_text([]))
        self.service = h.Service(self.prefix).start()
        self.addCleanup(self.service.kill)

    def http(self, method, path, body=b""):
        reply, _, _ = h.exchange(h.request_bytes(method, path, body))
        return h.status_of(reply), h.body_of(reply)

    def test_page_console_and_file_keep_the_relay_settings(self):
        status, page = self.http("GET", "/EnvSetting.cgi")
        self.assertEqual(status, 200)
        self.assertIn(b'name="SMTPPort" value=""', page)
        self.assertIn(b'<option value="none" selected>', page)

        form = "SMTPServer=smtp.example.com&FromMailAddress=agent%40example.com&SMTPPort=587" \
               "&SMTPSecurity=starttls&SMTPUser=notify&SMTPPassword=pa%2Css%22word"
        self.assertEqual(self.http("POST", "/EnvSaveSetting.cgi", form)[0], 200)
        status, page = self.http("GET", "/EnvSetting.cgi")
        self.assertIn(b'name="SMTPPort" value="587"', page)
        self.assertIn(b'<option value="starttls" selected>', page)
        self.assertIn(b'name="SMTPUser" value="notify"', page)
        self.assertIn(b'name="SMTPPassword" value=""', page)
        self.assertNotIn(b"pa,ss", page)

        # Bad values are refused with the reason beside the field, the values
        # as typed, and nothing changes.
        for form, reason in (("SMTPPort=99999", "ポート番号は 1 から 65535 の整数で入力してください"),
                             ("SMTPSecurity=ssl3", "接続の保護は none、starttls、tls のいずれかを選んでください")):
            status, body = self.http("POST", "/EnvSaveSetting.cgi",
                                     "SMTPServer=x&FromMailAddress=y%40example.com&" + form)
            self.assertEqual(status, 200)
            self.assertIn(('<span class="reason">' + reason).encode("shift_jis"), body)
            self.assertIn(b'name="SMTPServer" value="x"', body)

        # The console's text has its fixed five fields; its post keeps the
        # relay columns. The password survives a page save without one.
        status, text = self.http("GET", "/GetWatchSetting.cgi")
        env_line = text.split(b"\n")[0]
        self.assertEqual(env_line.count(b'","'), 4)
        self.assertNotIn(b"587", text)
        self.assertNotIn(b"pa,ss", text)
        self.assertEqual(self.http("POST", "/PostWatchSetting.cgi", env_line + b"\n")[0], 200)
        form = "SMTPServer=smtp.example.com&FromMailAddress=agent%40example.com&SMTPPort=587" \
               "&SMTPSecurity=starttls&SMTPUser=notify&SMTPPassword="
        self.assertEqual(self.http("POST", "/EnvSaveSetting.cgi", form)[0], 200)
        self.assertEqual(self.http("POST", "/SaveSetting.cgi")[0], 200)
        rows = h.read(self.env).split(b"\n")
        self.assertEqual(rows[0], b'"UserID","Password","SMTPServer","FromMailAddress","MailSubject","MailBody",'
                                  b'"SMTPPort","SMTPSecurity","SMTPUser","SMTPPassword"')
        self.assertEqual(rows[1], b'"admin","secret","smtp.example.com","agent@example.com","s","b",'
                                  b'"587","starttls","notify","pa,ss""word"')

        # Defaults again: the columns stay, empty; a file never given a
        # relay value keeps its old layout (the save before this one).
        form = "SMTPServer=smtp.example.com&FromMailAddress=agent%40example.com&SMTPPort=" \
               "&SMTPSecurity=none&SMTPUser=&SMTPPasswordClear=1"
        self.assertEqual(self.http("POST", "/EnvSaveSetting.cgi", form)[0], 200)
        self.assertEqual(self.http("POST", "/SaveSetting.cgi")[0], 200)
        self.assertEqual(h.read(self.env).split(b"\n")[1], b'"admin","secret","smtp.example.com",'
                         b'"agent@example.com","s","b","","","",""')


class Postfix:
    """A private Postfix instance on 127.0.0.1:25 that delivers mail for
    example.test into one Maildir and refuses to relay anywhere else."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="sl-postfix-")
        os.chmod(self.root, 0o755)  # the postfix and delivery users pass through
        self.conf = os.path.join(self.root, "conf")
        self.maildir = os.path.join(self.root, "mail", "box")
        self.log = os.path.join(self.root, "maillog")
        os.makedirs(self.conf)
        os.makedirs(os.path.join(self.root, "queue"))
        os.makedirs(os.path.join(self.root, "data"))
        os.makedirs(os.path.join(self.root, "mail"))
        shutil.chown(os.path.join(self.root, "data"), "postfix")
        os.chown(os.path.join(self.root, "mail"), 65534, 65534)
        shutil.copy("/etc/postfix/master.cf", self.conf)
        settings = {
            "compatibility_level": "3.6",
            "queue_directory": self.root + "/queue",
            "data_directory": self.root + "/data",
            "maillog_file": self.log,
            "maillog_file_prefixes": self.root,
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "myhostname": "mail.scanlantern.test",
            "mydestination": "",
            "alias_maps": "",
            "alias_database": "",
            "smtputf8_enable": "no",
            # Checks that relays make of their clients.
            "smtpd_helo_required": "yes",
            "smtpd_helo_restrictions": "reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname",
            "smtpd_relay_restrictions": "reject_unauth_destination",
            "strict_rfc821_envelopes": "yes",
            # Add nothing to what the client sent: the headers are the service's.
            "local_header_rewrite_clients": "",
            "virtual_mailbox_domains": "example.test",
            "virtual_mailbox_base": self.root + "/mail",
            "virtual_mailbox_maps": "static:box/",
            "virtual_uid_maps": "static:65534",
            "virtual_gid_maps": "static:65534",
        }
        with open(os.path.join(self.conf, "main.cf"), "w") as f:
            for name, value in settings.items():
                f.write("%s = %s\n" % (name, value))
        subprocess.run(["postconf", "-c", self.conf, "-F", "*/*/chroot = n"], check=True)

    def start(self):
        run = subprocess.run(["postfix", "-c", self.conf, "start"], capture_output=True, text=True)
        if run.returncode != 0:
            raise AssertionError("postfix did not start: %s%s" % (run.stderr, self.maillog()))
        if not h.wait_for(lambda: not port_25_free(), timeout=10):
            raise AssertionError("postfix does not listen: " + self.maillog())

    def stop(self):
        subprocess.run(["postfix", "-c", self.conf, "stop"], capture_output=True)
        h.wait_for(port_25_free, timeout=10)
        shutil.rmtree(self.root, ignore_errors=True)

    def maillog(self):
        return h.read(self.log).decode("utf-8", "replace") if os.path.exists(self.log) else ""

    def delivered(self):
        new = os.path.join(self.maildir, "new")
        return sorted(os.path.join(new, n) for n in os.listdir(new)) if os.path.isdir(new) else []


class PostfixTest(unittest.TestCase):
    """The notification through Debian's Postfix into a mailbox, read back
    with Python's email package as a mail reader would."""

    def setUp(self):
        self.assertTrue(shutil.which("postfix") or os.path.exists("/usr/sbin/postfix"),
                        "postfix is missing: run scripts/install-test-deps.sh")
        self.assertTrue(port_25_free(), "something else listens on 127.0.0.1:25")
        self.prefix, _ = h.install()
        self.postfix = Postfix()
        self.addCleanup(shutil.rmtree, self.prefix)
        self.addCleanup(self.postfix.stop)
        self.postfix.start()
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.kill()

    def test_notification_is_accepted_delivered_and_decodes_whole(self):
        watched = os.path.join(self.prefix, "app.log")
        h.write(watched, b"")
        h.write(os.path.join(self.prefix, "data/env.csv"), h.env_text(
            smtp="127.0.0.1", sender='"監視 エージェント" <agent@example.test>',
            subject="監視 \\WatchNum\\件 障害 on \\ServerName\\ \\ResultLine\\", body="行:\n\\ResultLine\\"))
        h.write(os.path.join(self.prefix, "data/ScanLantern.conf"), h.conf_text([
            (watched, "障害", "1", "ops@example.test; stranger@elsewhere.test", "")]))
        self.service = h.Service(self.prefix).start()
        line = "障害 " + "ディスク容量が不足~\\var\\log " * 120
        with open(watched, "ab") as f:
            f.write(h.euc(line) + b"\n")

        self.assertTrue(h.wait_for(lambda: self.postfix.delivered(), timeout=30),
                        self.postfix.maillog() + h.read_log(self.prefix).decode("euc_jp", "replace"))
        raw = h.read(self.postfix.delivered()[0])
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        head = raw.split(b"\n\n", 1)[0]
        self.assertTrue(all(b < 128 for b in raw), "8-bit bytes on the wire")
        self.assertTrue(all(len(l.rstrip(b"\r")) <= 78 for l in head.split(b"\n")), head)
        self.assertEqual(msg.defects, [])
        self.assertRegex(msg["Message-ID"], r"^<\d+\.\d+\.\d+@[A-Za-z0-9.-]+>$")
        self.assertLess(abs(msg["Date"].datetime.timestamp() - time.time()), 120)
        self.assertEqual(msg["From"].addresses[0].display_name, "監視 エージェント")
        self.assertEqual(msg["From"].addresses[0].addr_spec, "agent@example.test")

        # Blanks between Japanese words survive; the subject is cut short of
        # the field limit on a character boundary.
        lead = "監視 1件 障害 on %s " % socket.gethostname()
        subject = str(msg["Subject"])
        self.assertTrue(subject.startswith(lead), subject)
        rest = subject[len(lead):]
        self.assertTrue(line.startswith(rest) and 100 < len(rest) < len(line), rest)
        self.assertLessEqual(len(re.search(rb"\nSubject:.*?\n(?=\S)", head, re.S).group(0)), 1000)

        # The body line holds whole characters up to its cut.
        body = msg.get_content().replace("\r\n", "\n").split("\n")
        self.assertEqual(body[0], "行:")
        self.assertTrue(line.startswith(body[1]) and 400 < len(body[1]) < len(line), body[1])
        self.assertIn("~\\var\\log", body[1])

        # The stranger was refused by the relay and logged; ops got the mail.
        self.assertEqual(msg["To"].addresses[0].addr_spec, "ops@example.test")
        self.assertTrue(h.wait_for(lambda: h.euc(SENT) in h.read_log(self.prefix)))
        log = h.read_log(self.prefix)
        self.assertIn(b"Error SMTP Recipient Refused.\nstranger@elsewhere.test\n554 5.7.1", log)
        sent = log[log.index(h.euc(SENT)):]
        entry = sent[:sent.index(b"\n\n\n")]
        self.assertTrue(entry.endswith(h.euc("送信先") + b"\tops@example.test"), entry[-200:])


if __name__ == "__main__":
    unittest.main()
