"""Every route of the web administration through a real HTTP client, curl:
status, the exact reply headers the engine writes, HEAD, traversal attempts
sent byte for byte (--path-as-is), and the login."""

import os
import subprocess
import unittest

import harness as h

CURL = "/usr/bin/curl"


def curl(path, *args, auth="admin:secret"):
    """(status, headers text, body bytes) of one request."""
    cmd = [CURL, "-s", "-S", "--path-as-is", "--max-time", "20"]
    if "-I" not in args:
        cmd += ["-D", "-"]  # -I prints the headers itself
    if auth:
        cmd += ["-u", auth]
    cmd += list(args) + ["http://127.0.0.1:%d%s" % (h.PORT, path)]
    out = subprocess.run(cmd, check=True, capture_output=True).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    return status, head.decode("latin-1"), body


@h.needs_peer(os.access(CURL, os.X_OK), "curl is not installed")
class CurlRoutesTest(h.ServiceTestCase):
    env = {"smtp": "", "sender": "sl@example.com"}

    def setUp(self):
        super().setUp()
        self.watched = os.path.join(self.dir, "app.log")
        h.write(self.watched, b"")
        self.start([(self.watched, "ERROR", "1", "", "")])

    def test_every_route_answers(self):
        sjis = lambda text: text.encode("shift_jis")
        routes = [
            ("/WatchSetting.cgi", 200, b'name="WatchFileName1" readonly value="' + self.watched.encode()),
            # The list page posts every row and the pressed button's label.
            ("/ModDelWatchSetting.cgi?No1=1&WatchFileName1=" + self.watched +
             "&WatchSearchString1=ERROR&WatchSearchCount1=1&WatchMailAddress1=&WatchCommand1="
             "&ModDel=No1%8FC%90%B3/%8D%ED%8F%9C", 200, b'value="' + self.watched.encode() + b'"'),
            ("/EnvSetting.cgi", 200, b'name="FromMailAddress" value="sl@example.com"'),
            ("/SaveSetting.cgi", 200, b""),
            ("/ServiceReload.cgi", 200, h.read(self.path("www/ReloadResult.html"))),
            ("/GetWatchSetting.cgi", 200, b'"' + self.watched.encode() + b'","ERROR","1","",""\n'),
            ("/GetFileView.cgi?" + self.path("data/ScanLantern.conf"), 200,
             h.read(self.path("data/ScanLantern.conf"))),
            ("/GetTree.cgi", 200, b""),
            ("/NoSuchRoute.cgi", 404, b"<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>"),
        ]
        for path, status, fragment in routes:
            # Routes that change something take POST only.
            post = ("--data", "") if path in ("/SaveSetting.cgi", "/ServiceReload.cgi") else ()
            got, head, body = curl(path, *post)
            self.assertEqual(got, status, path)
            self.assertIn(fragment, body, path)
            self.assertIn("\r\nServer: ScanLantern/1.0", head, path)
            self.assertIn("\r\nContent-Length: %d" % len(body), head, path)
            self.assertIn("\r\nX-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff", head, path)
        self.assertNotIn(b"<#", curl("/WatchSetting.cgi")[2])
        self.assertIn(sjis("修正/削除"), curl("/WatchSetting.cgi")[2])
        # The tree listing is written by the installed tree program.
        self.assertTrue(os.path.exists(self.path("data/treeout.txt")))

        # Forms posted as a browser posts them.
        got, _, body = curl("/AddWatch.cgi", "--data-urlencode", "HidWatchFileName=" + self.watched,
                            "--data-urlencode", "WatchSearchString=WARN", "--data", "WatchSearchCount=2",
                            "--data", "WatchMailAddress=", "--data", "HidWatchCommand=")
        self.assertEqual(got, 200)
        self.assertIn(b'name="WatchSearchString2" readonly value="WARN"', body)
        got, _, body = curl("/EnvSaveSetting.cgi", "--data", "SMTPServer=mail.example.com",
                            "--data", "FromMailAddress=agent@example.com")
        self.assertEqual(got, 200)
        got, _, body = curl("/PostWatchSetting.cgi", "-H", "Content-Type: text/plain", "--data-binary",
                            '"%s","A,B","3","",""\n"S","B","mail.example.com","agent@example.com"\n' % self.watched)
        self.assertEqual((got, body), (200, b""))
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")),
                         h.conf_text([(self.watched, "A,B", "3", "", "")]))

    def test_login_head_and_traversal(self):
        status, head, _ = curl("/", auth=None)
        self.assertEqual(status, 401)
        self.assertIn('\r\nWWW-Authenticate: Basic realm="ScanLantern http Server"', head)
        self.assertEqual(curl("/", auth="ADMIN:secret")[0], 401)
        self.assertEqual(curl("/", auth="admin:secret")[0], 200)

        status, head, body = curl("/index.htm", "-I")
        self.assertEqual((status, body), (200, b""))
        self.assertIn("\r\nContent-Length: %d" % os.path.getsize(self.path("www/index.htm")), head)
        self.assertIn("\r\nContent-Type: text/html", head)

        for target in ("/../data/env.csv", "/%2e%2e/data/env.csv", "/..%2fdata%2fenv.csv",
                       "/..\\data\\env.csv"):
            status, _, body = curl(target)
            self.assertEqual(status, 403, target)
            self.assertNotIn(b"secret", body, target)
        # An escaped backslash is a byte of a file name, not a separator.
        status, _, body = curl("/%2E%2E%5Cdata%5Cenv.csv")
        self.assertEqual(status, 404)
        self.assertNotIn(b"secret", body)


if __name__ == "__main__":
    unittest.main()
