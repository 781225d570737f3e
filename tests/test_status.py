"""The status page and its JSON twin, and the test mail of the mail settings
page, against the running service: a real SMTP server on 127.0.0.1:25 takes
(or refuses) the mails, Python's json and email packages read what the
service wrote."""

import email
import email.policy
import html
import json
import os
import re
import shutil
import socket
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import harness as h

try:
    from aiosmtpd.controller import Controller
except ImportError:  # pragma: no cover - the test dependencies install it
    Controller = None

REFUSED_REPLY = "550 5.1.1 <nobody@example.com>: Recipient address rejected"


class Mailbox:
    """Takes every recipient but nobody@example.com."""

    def __init__(self):
        self.messages = []

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address == "nobody@example.com":
            return REFUSED_REPLY
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.original_content or envelope.content)
        return "250 OK"


def http(method, path, form=None):
    """(status, content type, body bytes) of one request with the login."""
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    request = urllib.request.Request("http://127.0.0.1:%d%s" % (h.PORT, path), data=data, method=method,
                                     headers={"Authorization": h.basic_auth()})
    try:
        with urllib.request.urlopen(request, timeout=60) as reply:
            return reply.status, reply.headers.get("Content-Type"), reply.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type"), e.read()


def text_of(cell):
    return html.unescape(re.sub(r"<[^>]*>", "", cell)).strip()


def page_rows(page):
    """The entry rows of the status page: one {class: (text, span class)} each."""
    rows = []
    for row in re.findall(r'<tr><td class="no">.*?</tr>', page, re.S):
        cells = {}
        for cls, cell in re.findall(r'<td class="([a-z]+)">(.*?)</td>', row, re.S):
            span = re.match(r'<span class="([a-z_]+)">', cell)
            cells[cls] = (text_of(cell), span.group(1) if span else None)
        rows.append(cells)
    return rows


def summary_of(page):
    return {id_: text_of(value) for id_, value in re.findall(r'<tr id="([a-z]+)"><th>.*?</th><td>(.*?)</td></tr>', page)}


@unittest.skipIf(Controller is None, "aiosmtpd is not installed")
class StatusTest(h.ServiceTestCase):
    env = dict(smtp="127.0.0.1", sender="agent@example.com", subject="件名 \\WatchFile\\",
               body="本文 \\WatchFile\\ \\WatchString\\ \\ResultLine\\")

    def setUp(self):
        super().setUp()
        with socket.socket() as s:
            self.assertNotEqual(s.connect_ex(("127.0.0.1", 25)), 0, "something else listens on 127.0.0.1:25")
        self.mailbox = Mailbox()
        controller = Controller(self.mailbox, hostname="127.0.0.1", port=25)
        controller.start()
        self.addCleanup(controller.stop)

    def status_json(self):
        status, content_type, body = http("GET", "/Status.json")
        self.assertEqual((status, content_type), (200, "application/json"))
        return json.loads(body.decode("utf-8"))  # strict: invalid UTF-8 fails

    def test_states_counts_and_last_results_on_the_page_and_in_json(self):
        # An EUC-JP file name, as the settings hold it; the JSON has it in UTF-8.
        read = os.path.join(self.dir.encode(), h.euc("読める.log"))
        # A byte that is no EUC-JP character reaches the JSON as U+FFFD.
        missing = os.path.join(self.dir.encode(), b"missing\xff.log")
        refused = os.path.join(self.dir, "socket.log")
        trace = os.path.join(self.dir, "trace")
        command = os.path.join(self.dir, "notify.sh")
        h.write(read, b"")
        h.write(command, "#!/bin/sh\necho ran >> %s\n" % trace)
        os.chmod(command, 0o755)
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(refused)  # not a regular file: never opened
        self.addCleanup(sock.close)
        self.start([(read, "障害", "2", "ops@example.com", command),
                    (missing, "x", "1", "", ""),
                    (refused, "x", "1", "", "")])
        self.append(read, "障害 one\n障害 two\n障害 three\n")
        self.assertTrue(h.wait_for(lambda: self.mailbox.messages and os.path.exists(trace)))
        doc = h.wait_for(lambda: (lambda d: d if d["entries"][0]["mail"]["result"] == "sent" else None)(
            self.status_json()))
        self.assertIsNotNone(doc, "the mail's result never showed")

        size = os.path.getsize(read)
        first, second, third = doc["entries"]
        self.assertEqual((first["file"], first["state"], first["bytes_read"], first["file_size"]),
                         (os.path.join(self.dir, "読める.log"), "reading", size, size))
        self.assertEqual((first["hit_count"], first["search_count"]), (1, 2))
        self.assertRegex(first["last_fired"], r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")
        self.assertEqual((first["mail"]["result"], first["command"]["result"]), ("sent", "started"))
        self.assertEqual((second["state"], second["file_size"], second["mail"]["result"], second["last_fired"]),
                         ("missing", None, "none", None))
        self.assertEqual(second["file"], os.path.join(self.dir, "missing\ufffd.log"))
        self.assertEqual(third["state"], "refused")
        self.assertIn("通常のファイルではない", third["reason"])
        self.assertEqual((doc["mail_queue_length"], doc["event_log_write_failures"]), (0, 0))
        self.assertGreaterEqual(doc["uptime_seconds"], 0)

        # The page shows the same facts (the watch list did not change).
        status, content_type, body = http("GET", "/Status.cgi")
        self.assertEqual(status, 200)
        page = body.decode("shift_jis", "replace")  # the stray byte passes as it is
        self.assertIn('href="/Status.cgi"', page)
        summary = summary_of(page)
        self.assertEqual((summary["start"], summary["queue"], summary["logfail"]),
                         (doc["start_time"], "0", "0"))
        rows = page_rows(page)
        self.assertEqual(len(rows), 3)
        for row, entry in zip(rows, doc["entries"]):
            if "\ufffd" not in entry["file"]:
                self.assertEqual(row["file"][0], entry["file"])
            self.assertEqual(row["state"][1], entry["state"])
            self.assertEqual(row["read"][0], str(entry["bytes_read"]))
            self.assertEqual(row["size"][0], "-" if entry["file_size"] is None else str(entry["file_size"]))
            self.assertEqual(row["hits"][0], "%d / %d" % (entry["hit_count"], entry["search_count"]))
            self.assertEqual(row["mail"][1], entry["mail"]["result"])
            self.assertEqual(row["command"][1], entry["command"]["result"])
            if entry["last_fired"]:
                # The time of the last trigger, and how long ago it was.
                self.assertRegex(row["fired"][0], re.escape(entry["last_fired"]) + r" \(\d+秒前\)$")
        self.assertIn(third["reason"], rows[2]["state"][0])

    def test_test_mail_is_sent_with_the_current_settings_and_a_refusal_is_shown(self):
        self.start([])
        self.assertEqual(http("GET", "/TestMail.cgi")[0], 405)  # POST only

        status, _, body = http("POST", "/TestMail.cgi", {"TestMailAddress": "ops@example.com"})
        page = body.decode("shift_jis")
        self.assertEqual(status, 200)
        self.assertIn('id="testmail-ok"', page)
        self.assertTrue(h.wait_for(lambda: self.mailbox.messages))
        mail = email.message_from_bytes(self.mailbox.messages[0], policy=email.policy.default)
        self.assertEqual(str(mail["Subject"]), "[テスト] 件名 (test)")  # told apart from an alert
        self.assertEqual(str(mail["From"]), "agent@example.com")
        self.assertEqual(mail.get_content().rstrip("\r\n"), "本文 (test) (test) (test)")
        log = self.log().decode("euc_jp", "replace")
        self.assertIn("監視ワードをトラッキングしてメール送信しました。\nテストメール\t127.0.0.1:", log)

        status, _, body = http("POST", "/TestMail.cgi", {"TestMailAddress": "nobody@example.com"})
        page = body.decode("shift_jis")
        self.assertIn('id="testmail-error"', page)
        self.assertIn("RCPT TO", page)
        self.assertIn("送信先を受け付けられませんでした (127.0.0.1:25)", page)
        self.assertIn(html.escape(REFUSED_REPLY, quote=True), page)  # a server's reply
        self.assertEqual(len(self.mailbox.messages), 1)


if __name__ == "__main__":
    unittest.main()
