"""The web administration of the installed service, over real HTTP on port
4009: login, the installed pages and their forms, the console routes, the
document-root checks, and answering while a watch pass waits on a slow mail
server."""

import base64
import http.client
import os
import shutil
import socket
import threading
import time
import unittest
import urllib.parse

import harness as h

LABEL = "修正/削除"


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def text(self):
        return self.body.decode("shift_jis")


def request(method, path, body=None, auth=("admin", "secret"),
            content_type="application/x-www-form-urlencoded", timeout=20):
    conn = http.client.HTTPConnection("127.0.0.1", h.PORT, timeout=timeout)
    headers = {}
    if auth is not None:
        headers["Authorization"] = "Basic " + base64.b64encode(
            ("%s:%s" % auth).encode()).decode()
    if body is not None:
        headers["Content-Type"] = content_type
        if isinstance(body, str):
            body = body.encode("latin-1")
    try:
        conn.request(method, path, body=body, headers=headers)
        resp = conn.getresponse()
        return Reply(resp.status, dict(resp.getheaders()), resp.read())
    finally:
        conn.close()


class WebAdminTest(unittest.TestCase):
    def setUp(self):
        if os.path.exists(h.PID_FILE):
            os.unlink(h.PID_FILE)
        self.prefix, _ = h.install()
        self.watched = os.path.join(self.prefix, "watched.log")
        h.write(self.watched, b"old text\n")
        self.command = os.path.join(self.prefix, "notify.sh")
        h.write(self.command, "#!/bin/sh\necho ran >> %s/ran.txt\n" % self.prefix)
        os.chmod(self.command, 0o755)
        h.write(self.path("data/env.csv"), h.env_text(smtp="", sender="sl@example.com"))
        h.write(self.path("data/ScanLantern.conf"), h.conf_text([]))
        self.service = h.Service(self.prefix)
        self.service.start()

    def tearDown(self):
        self.service.kill()
        shutil.rmtree(self.prefix)

    def path(self, rel):
        return os.path.join(self.prefix, rel)

    def test_login_and_installed_pages(self):
        self.assertEqual(request("GET", "/", auth=None).status, 401)
        denied = request("GET", "/", auth=("admin", "Secret"))
        self.assertEqual(denied.status, 401)
        self.assertEqual(denied.headers.get("WWW-Authenticate"), 'Basic realm="ScanLantern http Server"')

        index = request("GET", "/")
        self.assertEqual(index.status, 200)
        self.assertEqual(index.body, h.read(self.path("www/index.htm")))
        self.assertIn("/WatchSetting.cgi", index.text())
        for route, field in (("/WatchSetting.cgi", 'name="HidWatchFileName"'),
                             ("/EnvSetting.cgi", 'name="SMTPServer" value=""')):
            page = request("GET", route)
            self.assertEqual(page.status, 200, route)
            self.assertIn(field, page.text())
            self.assertNotIn("<#", page.text())
        self.assertEqual(request("GET", "/watchsetting.cgi").status, 404)
        log = h.read_log(self.prefix)
        self.assertRegex(log, rb"Command GET / received from 127\.0\.0\.1:\d+\n")
        self.assertIn(b"Serving file " + self.path("www/index.htm").encode(), log)

    def test_add_modify_delete_and_save_through_the_forms(self):
        word = "エラー"
        added = request("POST", "/AddWatch.cgi", h.sjis_form([
            ("HidWatchFileName", self.watched), ("WatchSearchString", word),
            ("WatchSearchCount", "1"), ("WatchMailAddress", ""), ("HidWatchCommand", self.command)]))
        self.assertEqual(added.status, 200)
        text = added.text()
        self.assertIn('name="WatchSearchString1" readonly value="%s"' % word, text)
        self.assertIn('name="ModDel" value="No1%s"' % LABEL, text)

        # The new entry watches from the moment it was added.
        with open(self.watched, "ab") as f:
            f.write(h.euc("ディスク%sです\n" % word))
        self.assertTrue(h.wait_for(lambda: os.path.exists(self.path("ran.txt"))))
        self.assertIn(h.euc("監視ワードをトラッキングしました。(1/1)"), h.read_log(self.prefix))

        failed = request("POST", "/AddWatch.cgi", h.sjis_form([
            ("HidWatchFileName", self.path("missing.log")), ("WatchSearchCount", "1")]))
        self.assertEqual(failed.status, 200)
        # The error page says why.
        reason = ("Error WatchFile: %s Not Found" % self.path("missing.log")).encode()
        self.assertEqual(failed.body, h.read(self.path("www/AddWatchError.html")).replace(
            b"<#WatchRefusal>", reason))

        # The list page posts every row and the pressed button.
        shown = request("POST", "/ModDelWatchSetting.cgi", h.sjis_form([
            ("No1", "1"), ("WatchFileName1", self.watched), ("WatchSearchString1", word),
            ("WatchSearchCount1", "1"), ("WatchMailAddress1", ""), ("WatchCommand1", self.command),
            ("ModDel", "No1" + LABEL)]))
        self.assertEqual(shown.status, 200)
        self.assertIn('name="No" value="1"', shown.text())
        self.assertIn('<OPTION value="1" selected>1</OPTION>', shown.text())

        changed = request("POST", "/ModDelWatch.cgi", h.sjis_form([
            ("No", "1"), ("HidWatchFileName", self.watched), ("WatchSearchString", 'a "quoted" <word>'),
            ("WatchSearchCount", "3"), ("WatchMailAddress", "ops@example.com"), ("HidWatchCommand", ""),
            ("ModDel", "Mod")]))
        self.assertIn('value="a &quot;quoted&quot; &lt;word&gt;"', changed.text())
        out_of_range = request("POST", "/ModDelWatch.cgi", h.sjis_form([("No", "2"), ("ModDel", "Del")]))
        self.assertEqual(out_of_range.body, h.read(self.path("www/ModDelWatchError.html")).replace(
            b"<#WatchRefusal>", b"Error WatchNo 2 Out Of Range"))

        saved = request("POST", "/SaveSetting.cgi", "")
        self.assertEqual(saved.status, 200)
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")), h.conf_text(
            [(self.watched, 'a "quoted" <word>', "3", "ops@example.com", "")]))

        request("POST", "/ModDelWatch.cgi", h.sjis_form([("No", "1"), ("ModDel", "Del")]))
        self.assertNotIn("WatchFileName1", request("GET", "/WatchSetting.cgi").text())
        # A reload brings back the saved entry.
        reloaded = request("POST", "/ServiceReload.cgi", "")
        self.assertEqual(reloaded.body, h.read(self.path("www/ReloadResult.html")))
        self.assertIn("WatchFileName1", request("GET", "/WatchSetting.cgi").text())

    def test_mail_settings_save_and_reload(self):
        page = request("POST", "/EnvSaveSetting.cgi", h.sjis_form([
            ("SMTPServer", "mail.example.com"), ("FromMailAddress", '"Ops" <ops@example.com>')]))
        self.assertEqual(page.status, 200)
        env = request("GET", "/EnvSetting.cgi").text()
        self.assertIn('name="SMTPServer" value="mail.example.com"', env)
        self.assertIn('value="&quot;Ops&quot; &lt;ops@example.com&gt;"', env)
        self.assertNotIn(b"mail.example.com", h.read(self.path("data/env.csv")))
        request("POST", "/ServiceReload.cgi", "")
        self.assertIn('name="SMTPServer" value=""', request("GET", "/EnvSetting.cgi").text())

    def test_console_routes(self):
        h.write(self.path("data/ScanLantern.conf"), h.conf_text([(self.watched, "x", "2", "", "")]))
        request("POST", "/ServiceReload.cgi", "")
        text = request("GET", "/GetWatchSetting.cgi").body
        lines = text.split(b"\n")
        self.assertEqual(lines[0], b'"%s","x","2","",""' % self.watched.encode())
        self.assertTrue(lines[1].startswith(b'"","","","sl@example.com","'))
        self.assertEqual(lines[2], (self.prefix + "/" + time.strftime("./log/%Y%m%d.log")).encode())

        body = b'"/a b","w1 w2","4","m@x",""\n"Subj","L1\tL2","smtp.local","f@x"\n'
        posted = request("POST", "/PostWatchSetting.cgi", body, content_type="text/plain")
        self.assertEqual((posted.status, posted.body), (200, b""))
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")),
                         h.conf_text([("/a b", "w1 w2", "4", "m@x", "")]))
        self.assertIn(b'"smtp.local","f@x","Subj","L1\nL2"', h.read(self.path("data/env.csv")))

        bad = request("POST", "/PostWatchSetting.cgi", text, content_type="text/plain")
        self.assertEqual((bad.status, bad.body), (500, b"List index out of bounds (1)"))

        view = request("GET", "/GetFileView.cgi?" + urllib.parse.quote(self.path("data/env.csv")))
        self.assertEqual(view.body, h.read(self.path("data/env.csv")))
        self.assertEqual(request("GET", "/GetFileView.cgi").status, 500)

    def test_paths_outside_the_document_root(self):
        os.mkdir(self.path("wwwold"))
        h.write(self.path("wwwold/page.htm"), b"old")
        os.mkdir(self.path("www/sub"))
        for target in ("/../data/env.csv", "/%2e%2e/data/env.csv", "/..\\data\\env.csv",
                       "/../wwwold/page.htm", "/sub", "/sub/"):
            reply = request("GET", target)
            self.assertEqual(reply.status, 403, target)
            self.assertIn(b"<h1>Access denied</h1>\r", reply.body)
            self.assertNotIn(b"secret", reply.body)
        missing = request("GET", "/../nothing")
        self.assertEqual(missing.status, 404)
        head = request("HEAD", "/index.htm")
        self.assertEqual((head.status, head.body), (200, b""))
        self.assertEqual(head.headers.get("Content-Length"), str(os.path.getsize(self.path("www/index.htm"))))

    def test_answers_while_a_watch_pass_waits_for_the_mail_server(self):
        # A mail server that accepts and then says nothing.
        try:
            silent = socket.socket()
            silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            silent.bind(("127.0.0.1", 25))
            silent.listen(5)
        except OSError as e:
            h.peer_missing("port 25 not available: %s" % e)
        accepted = []
        threading.Thread(target=lambda: accepted.append(silent.accept()), daemon=True).start()
        try:
            request("POST", "/EnvSaveSetting.cgi", h.sjis_form([
                ("SMTPServer", "127.0.0.1"), ("FromMailAddress", "sl@example.com")]))
            request("POST", "/AddWatch.cgi", h.sjis_form([
                ("HidWatchFileName", self.watched), ("WatchSearchString", "PANIC"),
                ("WatchSearchCount", "1"), ("WatchMailAddress", "ops@example.com")]))
            with open(self.watched, "ab") as f:
                f.write(b"PANIC now\n")
            self.assertTrue(h.wait_for(lambda: accepted, timeout=10), "no SMTP connection")
            started = time.time()
            page = request("GET", "/WatchSetting.cgi", timeout=10)
            self.assertEqual(page.status, 200)
            self.assertLess(time.time() - started, 5)
        finally:
            for conn in accepted:
                conn[0].close()
            silent.close()


if __name__ == "__main__":
    unittest.main()
