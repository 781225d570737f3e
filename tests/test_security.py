"""The administration as an attacker meets it, over real HTTP on port 4009:
forged requests to the routes that change settings, markup in paths and
file names, a missing login, password guessing, and a huge body sent
before any login."""

import os
import shutil
import stat
import tempfile
import time
import unittest
import urllib.parse

import harness as h

AUTH = ("admin", "secret")
HOST = "127.0.0.1:%d" % h.PORT
FOREIGN = "http://127.0.0.1:8000"
SECURITY_TAIL = ["X-Frame-Options: DENY", "X-Content-Type-Options: nosniff"]
PAYLOAD = "<img src=x onerror=alert(1)>"


class Reply:
    def __init__(self, raw):
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status = h.status_of(raw)
        self.lines = lines[1:]

    def header(self, name):
        for line in self.lines:
            key, _, value = line.partition(": ")
            if key.lower() == name.lower():
                return value
        return None

    def tail(self):
        """The header lines after "Server" (a "Date" there aside)."""
        names = [line.split(":")[0] for line in self.lines]
        return [line for line in self.lines[names.index("Server") + 1:] if not line.startswith("Date:")]


def http(method, path, headers=(), body=b"", auth=AUTH, source=None, content_type=None):
    """One request with exactly these headers (plus Host and the login)."""
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: " + HOST, "Connection: close"]
    if auth:
        lines.append("Authorization: " + h.basic_auth(*auth))
    lines += list(headers)
    if isinstance(body, str):
        body = body.encode("latin-1")
    if body or method == "POST":
        lines.append("Content-Type: " + (content_type or "application/x-www-form-urlencoded"))
        lines.append("Content-Length: %d" % len(body))
    raw, _, _ = h.exchange(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body, source=source)
    return Reply(raw)


def peak_memory_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM for %d" % pid)


class SecurityTest(h.ServiceTestCase):
    env = {"smtp": "", "sender": "sl@example.com"}

    def setUp(self):
        # A base directory with a blank and a quote: the tree listing's
        # command line must quote it.
        if os.path.exists(h.PID_FILE):
            os.unlink(h.PID_FILE)
        self.prefix = tempfile.mkdtemp(prefix="sl inst 'q' ")
        self.assertNotIn("bin", self.prefix)
        shutil.rmtree(self.prefix)
        h.install(self.prefix)
        self.dir = os.path.join(self.prefix, "watched")
        os.mkdir(self.dir)
        self.service = None
        self.watched = os.path.join(self.dir, "app.log")
        h.write(self.watched, b"")

    def files(self):
        return h.read(self.path("data/ScanLantern.conf")), h.read(self.path("data/env.csv"))

    def console_text(self):
        reply = http("GET", "/GetWatchSetting.cgi")
        self.assertEqual(reply.status, 200)
        return reply.body

    def test_forged_requests_change_nothing(self):
        self.start([(self.watched, "ERROR", "1", "", "")])
        # An unsaved change in memory: a forged save or reload would show.
        added = http("POST", "/AddWatch.cgi", body="HidWatchFileName=%s&WatchSearchString=WARN&WatchSearchCount=2"
                     % urllib.parse.quote(self.watched))
        self.assertEqual(added.status, 200)
        files, text = self.files(), self.console_text()
        self.assertIn(b'"WARN"', text)

        bodies = {
            "/AddWatch.cgi": "HidWatchFileName=&WatchSearchString=x&WatchSearchCount=1&HidWatchCommand=",
            "/ModDelWatch.cgi": "No=1&ModDel=Del",
            "/EnvSaveSetting.cgi": "SMTPServer=evil.example&FromMailAddress=x%40evil.example",
            "/SaveSetting.cgi": "",
            "/ServiceReload.cgi": "",
            "/PostWatchSetting.cgi": '"%s","","1","","touch /tmp/pwned"\n"S","B","",""\n' % self.watched,
        }
        forged = [["Origin: " + FOREIGN], ["Origin: null"], ["Sec-Fetch-Site: cross-site"],
                  ["Sec-Fetch-Site: same-site"], ["Referer: %s/attack.html" % FOREIGN],
                  ["Origin: " + FOREIGN, "Referer: http://%s/WatchSetting.cgi" % HOST]]
        for route, body in bodies.items():
            for headers in forged:
                reply = http("POST", route, headers, body)
                self.assertEqual(reply.status, 403, (route, headers))
                self.assertEqual(reply.header("Content-Type"), "text/plain")
            for method in ("GET", "HEAD"):
                query = "?" + urllib.parse.quote(body, safe="=&") if method == "GET" else ""
                reply = http(method, route + query)
                self.assertEqual((reply.status, reply.header("Allow")), (405, "POST"), (method, route))
        self.assertEqual(self.files(), files)
        self.assertEqual(self.console_text(), text)
        # Refused before a login: the first 30 lines a minute of an address
        # are logged, the rest only counted.
        log = self.log()
        self.assertEqual(log.count(b"Command HEAD /AddWatch.cgi received from 127.0.0.1:"), 1)
        self.assertEqual(log.count(b"Command POST /AddWatch.cgi received from 127.0.0.1:"), 1 + len(forged))
        self.assertEqual(log.count(b"Command POST /ServiceReload.cgi received from 127.0.0.1:"), 0)
        self.assertIn(b"Request lines from 127.0.0.1 refused before a login are left out", log)

        # The administration's own form post, and the console without any
        # of those headers, are accepted.
        own = http("POST", "/SaveSetting.cgi", ["Origin: http://" + HOST, "Sec-Fetch-Site: same-origin",
                                                "Referer: http://%s/WatchSetting.cgi" % HOST])
        self.assertEqual(own.status, 200)
        self.assertIn(b'"WARN"', h.read(self.path("data/ScanLantern.conf")))
        posted = http("POST", "/PostWatchSetting.cgi", body='"%s","A","3","",""\n"S","B","",""\n' % self.watched,
                      content_type="text/plain")
        self.assertEqual((posted.status, posted.body), (200, b""))
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")), h.conf_text([(self.watched, "A", "3", "", "")]))

    def test_text_from_outside_goes_out_inert(self):
        self.start([(self.watched, "<b>", "1", "", "")])
        h.write(os.path.join(self.dir, PAYLOAD), b"<script>alert(2)</script>\n")

        # The reflected path of a 500.
        failed = http("GET", "/GetFileView.cgi?/" + urllib.parse.quote(PAYLOAD))
        self.assertEqual(failed.status, 500)
        self.assertIn(PAYLOAD.encode(), failed.body)
        self.assertEqual(failed.header("Content-Type"), "text/plain")
        self.assertEqual(failed.tail()[:2], SECURITY_TAIL)

        sandboxed = SECURITY_TAIL + ["Content-Security-Policy: sandbox"]
        view = http("GET", "/GetFileView.cgi?" + urllib.parse.quote(os.path.join(self.dir, PAYLOAD)))
        self.assertEqual((view.status, view.body), (200, b"<script>alert(2)</script>\n"))
        self.assertEqual(view.header("Content-Type"), "text/plain")
        self.assertEqual(view.tail(), sandboxed)

        console = http("GET", "/GetWatchSetting.cgi")
        self.assertTrue(console.body.startswith(b'"%s","<b>","1","",""\n' % self.watched.encode()))
        self.assertEqual(console.header("Content-Type"), "text/plain")
        self.assertEqual(console.tail(), sandboxed)

        # The listing ran from a base path with a blank and a quote, into a
        # file only root may read.
        tree = http("GET", "/GetTree.cgi")
        self.assertEqual(tree.status, 200)
        self.assertIn(PAYLOAD.encode(), tree.body)
        self.assertEqual(tree.header("Content-Type"), "text/plain")
        self.assertEqual(tree.tail(), sandboxed)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("data/treeout.txt")).st_mode), 0o600)

        # Pages stay pages, values escaped; every reply forbids framing.
        page = http("GET", "/WatchSetting.cgi")
        self.assertIn(b'value="&lt;b&gt;"', page.body)
        self.assertEqual((page.header("Content-Type"), page.tail()), ("text/html", SECURITY_TAIL))
        challenge = http("GET", "/", auth=None)
        self.assertEqual((challenge.status, challenge.tail()[-2:]), (401, SECURITY_TAIL))

    def test_no_login_no_administration(self):
        header = b'"UserID","Password","SMTPServer","FromMailAddress","MailSubject","MailBody"\n'
        kinds = {
            "missing": None,
            "empty": b"",
            "header only": header,
            "blank UserID": h.env_text(user=""),
            "blank Password": h.env_text(password=""),
        }
        # A command line outside the base path, which holds a blank.
        scratch = tempfile.mkdtemp(prefix="sl-cmd-")
        self.addCleanup(shutil.rmtree, scratch, True)
        ran = os.path.join(scratch, "ran.txt")
        command = os.path.join(scratch, "notify.sh")
        h.write(command, "#!/bin/sh\necho ran >> %s\n" % ran)
        os.chmod(command, 0o755)
        for kind, env in kinds.items():
            if env is None:
                os.unlink(self.path("data/env.csv"))
            else:
                h.write(self.path("data/env.csv"), env)
            h.write(self.path("data/ScanLantern.conf"), h.conf_text([(self.watched, "PANIC", "1", "", command)]))
            files = self.files() if env is not None else None
            self.service = h.Service(self.prefix).start()
            for auth in (None, AUTH, ("", ""), ("admin", "")):
                for method, path, body in (("GET", "/GetFileView.cgi?/etc/shadow", b""),
                                           ("POST", "/PostWatchSetting.cgi", b'"S","B","",""\n')):
                    reply = http(method, path, body=body, auth=auth)
                    self.assertEqual(reply.status, 503, (kind, auth, path))
                    self.assertEqual(reply.header("Content-Type"), "text/plain")
                    self.assertIn(b"Set UserID and Password in data/env.csv, then restart the service.", reply.body)
            if files is not None:
                self.assertEqual(self.files(), files, kind)
            warning = b"UserID or Password is empty in data/env.csv"
            self.assertTrue(h.wait_for(lambda: warning in self.log()[self.service.log_size_at_start:]), kind)
            # Watching goes on.
            self.append(self.watched, "PANIC\n")
            self.assertTrue(h.wait_for(lambda: os.path.exists(ran)), kind)
            os.unlink(ran)
            status, out = self.service.stop()
            self.assertEqual(status, 0, out)
            self.assertIn(warning, out, kind)

    def test_guessing_is_locked_out_and_nothing_is_decoded_before_the_login(self):
        self.start([])
        wrong = ("admin", "guess")
        for i in range(10):
            self.assertEqual(http("GET", "/WatchSetting.cgi", auth=wrong, source="127.0.0.2").status, 401, i)
        locked_at = time.time()
        for auth in (AUTH, wrong):
            locked = http("GET", "/WatchSetting.cgi", auth=auth, source="127.0.0.2")
            self.assertEqual(locked.status, 429)
            self.assertEqual(locked.header("Content-Type"), "text/plain")
            self.assertTrue(0 < int(locked.header("Retry-After")) <= 60)
        # Another address is not concerned.
        self.assertEqual(http("GET", "/WatchSetting.cgi", source="127.0.0.3").status, 200)
        self.assertEqual(http("GET", "/WatchSetting.cgi").status, 200)

        # While the lock-out lasts: 8 MiB of "&" from a stranger is answered
        # 401 without building millions of parameters.
        pid = self.service.proc.pid
        before = peak_memory_kib(pid)
        body = b"&" * (8 * 1024 * 1024)
        stranger = http("POST", "/AddWatch.cgi", body=body, auth=None)
        self.assertEqual(stranger.status, 401)
        growth_mib = (peak_memory_kib(pid) - before) / 1024.0
        print("peak memory growth for an 8 MiB unauthenticated body: %.1f MiB" % growth_mib)
        # The body and its copy as parameter text; a sanitizer keeps freed
        # buffers a while. Decoding it would take hundreds of MiB.
        self.assertLess(growth_mib, 64 if h.sanitized() else 24)
        # Logged in, the request is refused past the limits, and nothing is
        # added.
        self.assertEqual(http("POST", "/AddWatch.cgi", body=body).status, 400)
        self.assertEqual(http("POST", "/WatchSetting.cgi", body="&".join(["a=1"] * 10001)).status, 400)
        self.assertEqual(http("POST", "/WatchSetting.cgi", body="&".join(["a=1"] * 10000)).status, 200)
        cookies = "Cookie: " + "; ".join("c%d=1" % i for i in range(201))
        self.assertEqual(http("GET", "/WatchSetting.cgi", [cookies]).status, 400)
        self.assertEqual(self.console_text().count(b"\n"), 2)

        # One log entry for the lock-out, and its end after 60 s.
        self.assertEqual(self.log().count(b"10 failed logins from 127.0.0.2"), 1)
        time.sleep(max(0, locked_at + 61 - time.time()))
        self.assertEqual(http("GET", "/WatchSetting.cgi", source="127.0.0.2").status, 200)
        self.assertEqual(self.log().count(b"10 failed logins from 127.0.0.2"), 1)


if __name__ == "__main__":
    unittest.main()
