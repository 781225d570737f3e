"""The administration port under ordinary and hostile clients: curl's POST
without data and its chunked upload, broken requests and foreign
credentials, a client that drips its request, and more connections than the
service takes at once. Loopback only; the extra client addresses are
127.0.0.2 and up."""

import os
import socket
import subprocess
import threading
import time
import urllib.parse

import harness as h

URL = "http://127.0.0.1:%d" % h.PORT


def curl(*args):
    """(status, headers and body) of one curl call that may take 10 s."""
    out = subprocess.run(["curl", "-s", "-i", "--max-time", "10", "-u", "admin:secret", *args],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return h.status_of(out.stdout), out.stdout


def service_threads(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


def connect(source):
    s = socket.create_connection(("127.0.0.1", h.PORT), timeout=10, source_address=(source, 0))
    s.settimeout(10)
    return s


class HttpClientsTest(h.ServiceTestCase):
    env = {}

    def test_curl_posts_chunked_uploads_and_broken_requests(self):
        watched = os.path.join(self.dir, "a.log")
        self.start([(watched, "word", "1", "", "")])

        # No data, so no length: answered at once, not after a time-out.
        status, reply = curl("-X", "POST", URL + "/SaveSetting.cgi")
        self.assertEqual(status, 200, reply[:300])
        # Every reply has a Date right after Server.
        self.assertRegex(reply, rb"\r\nServer: ScanLantern/1.0\r\nDate: \w{3}, \d\d \w{3} \d{4} "
                                rb"\d\d:\d\d:\d\d GMT\r\n")

        # A chunked form upload with a charset parameter, as streaming
        # clients send it: every field arrives.
        other = os.path.join(self.dir, "b.log")
        h.write(other, b"")
        form = urllib.parse.urlencode([("HidWatchFileName", other), ("WatchSearchString", "chunked"),
                                       ("WatchSearchCount", "2"), ("WatchMailAddress", ""),
                                       ("HidWatchCommand", "")])
        upload = subprocess.run(["curl", "-s", "-i", "--max-time", "10", "-u", "admin:secret",
                                 "-H", "Transfer-Encoding: chunked",
                                 "-H", "Content-Type: application/x-www-form-urlencoded;charset=UTF-8",
                                 "--data-binary", "@-", URL + "/AddWatch.cgi"],
                                input=form.encode(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(h.status_of(upload.stdout), 200, upload.stdout[:300])
        status, listing = curl(URL + "/GetWatchSetting.cgi")
        self.assertIn(b'"' + other.encode() + b'","chunked","2"', listing)

        # Broken requests get 400, foreign credentials the challenge, and a
        # HEAD never a body.
        for raw in (b"GARBAGE\r\n\r\n", b"GET / HTTP/1.1\r\nno colon here\r\n\r\n",
                    b"POST / HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"):
            reply, _, closed = h.exchange(raw, timeout=10)
            self.assertTrue(closed)
            self.assertEqual(h.status_of(reply), 400, raw)
        # Methods the administration does not serve are named, not dropped.
        reply, _, closed = h.exchange(b"PUT /WatchSetting.cgi HTTP/1.1\r\nContent-Length: 1\r\n\r\nx")
        self.assertTrue(closed)
        self.assertEqual(h.status_of(reply), 501)
        self.assertIn(b"\r\nAllow: GET, HEAD, POST\r\n", reply)
        reply, _, _ = h.exchange(b"GET /WatchSetting.cgi HTTP/1.1\r\nAuthorization: Bearer abc\r\n\r\n")
        self.assertEqual(h.status_of(reply), 401)
        self.assertIn(b"\r\nWWW-Authenticate: Basic realm=", reply)
        reply, _, _ = h.exchange(b"HEAD / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")
        self.assertEqual(h.status_of(reply), 413)
        self.assertEqual(h.body_of(reply), b"")

        # Request lines go into the log cut at 1 KiB, control bytes escaped.
        h.exchange(b"GET /" + b"x" * 3000 + b"%1b[2J HTTP/1.0\r\n\r\n")
        log = self.log()
        self.assertIn(b"Command GET /" + b"x" * 1023 + b"... received from 127.0.0.1:", log)
        h.exchange(b"GET /a%1b[2Jb HTTP/1.0\r\n\r\n")
        self.assertTrue(h.wait_for(lambda: b"Command GET /a%1B[2Jb received from" in self.log()))
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)

    def test_slow_drip_is_cut_while_others_are_served(self):
        self.start([])
        drip = connect("127.0.0.2")
        opened = time.time()
        drip.sendall(b"GET /WatchSetting.cgi HTTP/1.1\r\n")
        cut = {}

        def dripping():
            # A header byte every two seconds: no single read ever waits
            # long, but the headers never end.
            try:
                while time.time() - opened < 40:
                    drip.sendall(b"X")
                    drip.settimeout(2)
                    try:
                        data = drip.recv(65536)
                    except socket.timeout:
                        continue
                    cut["reply"] = data
                    cut["after"] = time.time() - opened
                    return
            except OSError:
                cut["after"] = time.time() - opened

        t = threading.Thread(target=dripping)
        t.start()
        served = 0
        while t.is_alive() and time.time() - opened < 45:
            reply, _, closed = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi"), timeout=10)
            self.assertEqual(h.status_of(reply), 200)
            served += 1
            time.sleep(0.5)
        t.join()
        drip.close()
        self.assertGreater(served, 10)
        self.assertIn("after", cut, "the dripping client was never cut")
        self.assertGreaterEqual(cut["after"], 19)
        self.assertLess(cut["after"], 30)
        self.assertEqual(h.status_of(cut.get("reply", b"")), 408)

    def test_connection_caps(self):
        self.start([])
        pid = self.service.proc.pid
        base = service_threads(pid)
        held = []
        try:
            # 32 from one address; the 33rd from it is refused, another
            # address is served. Connections that send nothing are taken
            # (and counted) only after a second.
            held += [connect("127.0.0.2") for _ in range(32)]
            self.assertTrue(h.wait_for(lambda: service_threads(pid) >= base + 32, timeout=10),
                            "service threads: %d" % service_threads(pid))
            reply, _, closed = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi"), timeout=10,
                                          source="127.0.0.2")
            self.assertEqual(h.status_of(reply), 503)
            self.assertTrue(closed)
            reply, _, _ = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi"), source="127.0.0.3")
            self.assertEqual(h.status_of(reply), 200)

            # 256 in all: the 257th is refused at once, without a thread.
            for i in range(3, 10):
                held += [connect("127.0.0.%d" % i) for _ in range(32)]
            self.assertEqual(len(held), 256)
            self.assertTrue(h.wait_for(lambda: service_threads(pid) >= base + 256, timeout=10),
                            "service threads: %d" % service_threads(pid))
            threads = service_threads(pid)
            reply, _, closed = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi"), timeout=10,
                                          source="127.0.0.10")
            self.assertEqual(h.status_of(reply), 503)
            self.assertIn(b"\r\nConnection: close\r\n", reply)
            self.assertEqual(h.body_of(reply), b"")  # written before a HEAD could be seen
            self.assertTrue(closed)
            self.assertLessEqual(service_threads(pid), threads + 1)
        finally:
            for s in held:
                s.close()
        # Once they are closed, a new connection is served.
        self.assertTrue(h.wait_for(lambda: h.status_of(h.exchange(
            h.request_bytes("GET", "/GetWatchSetting.cgi"), source="127.0.0.10")[0]) == 200, timeout=10))
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)
