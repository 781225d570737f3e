"""The installed service under load, over loopback only: many concurrent
administration requests (from several loopback addresses, within the
service's connection caps) while watch passes trigger every second, and a
stream of malformed HTTP requests and UDP datagrams mixed with valid ones.
Every loop is bounded in count and in time. Idle and slow clients and the
caps themselves are the subject of test_http_clients.py.

Counts are scaled down for sanitizer builds (SL_SANITIZED=1, or a build
configured with SL_SANITIZE); the figures measured are printed to standard
error."""

import os
import random
import re
import socket
import threading
import time
import unittest
from collections import Counter

import harness as h

QUESTION = b"Are You ScanLantern Agent?"
GREETING = b"I am ScanLantern Agent.|"
HIT = "監視ワードをトラッキングしました。"
REQUEST_LINE = re.compile(rb"^Command ([A-Z]+) (\S*) received from 127\.0\.0\.\d+:(\d+)$")
SANITIZED = h.sanitized()
# Client addresses the concurrent clients spread over: the service takes 32
# connections from one address and 256 in all.
SOURCES = ["127.0.0.%d" % i for i in range(2, 10)]


class LoadTestBase(h.ServiceTestCase):
    env = {"smtp": "", "sender": "sl@example.com"}

    def request_lines(self):
        """(method, document, port) of every request line in the log, and the
        lines that mention a request but are not one whole request line."""
        found, broken = [], []
        for line in h.read_log(self.prefix).split(b"\n"):
            m = REQUEST_LINE.match(line)
            if m:
                found.append((m.group(1).decode(), m.group(2).decode("latin-1"), int(m.group(3))))
            elif b"received from" in line or b"Command " in line:
                broken.append(line)
        return found, broken


class AdminLoadTest(LoadTestBase):
    def test_concurrent_admin_requests_during_watch_passes(self):
        watched = os.path.join(self.dir, "app.log")
        other = os.path.join(self.dir, "other.log")
        trace = os.path.join(self.dir, "trace")
        h.write(watched, b"")
        h.write(other, b"not watched for anything\n")
        command = "echo hit >> " + trace
        self.start([(watched, "LOADHIT", "1", "", command), (other, "original", "2", "", "")])

        # Each client has one connection open at a time; a closing one may
        # still count for a moment when its client's next one arrives, so
        # twice the clients stay within the caps.
        clients = 120
        rounds = 6 if SANITIZED else 10
        kinds = ("list", "add", "console", "modify", "save")

        def build(kind, ident):
            if kind == "list":
                return h.request_bytes("GET", "/WatchSetting.cgi"), "/WatchSetting.cgi"
            if kind == "console":
                return h.request_bytes("GET", "/GetWatchSetting.cgi"), "/GetWatchSetting.cgi"
            if kind == "save":
                return h.request_bytes("POST", "/SaveSetting.cgi"), "/SaveSetting.cgi"
            if kind == "add":
                return h.request_bytes("POST", "/AddWatch.cgi", h.sjis_form([
                    ("HidWatchFileName", other), ("WatchSearchString", "負荷%d" % ident),
                    ("WatchSearchCount", "3"), ("WatchMailAddress", ""), ("HidWatchCommand", "")])), "/AddWatch.cgi"
            return h.request_bytes("POST", "/ModDelWatch.cgi", h.sjis_form([
                ("No", "2"), ("HidWatchFileName", other), ("WatchSearchString", "modified"),
                ("WatchSearchCount", "7"), ("WatchMailAddress", "ops@example.com"), ("HidWatchCommand", ""),
                ("ModDel", "Mod")])), "/ModDelWatch.cgi"

        def check(kind, ident, reply):
            if h.status_of(reply) != 200:
                return "status %r" % h.status_of(reply)
            body = h.body_of(reply)
            wanted = {
                "list": b'name="WatchSearchString1" readonly value="LOADHIT"',
                "console": b'"' + watched.encode() + b'","LOADHIT","1","",',
                "save": "設定の保存".encode("shift_jis"),
                "add": b'readonly value="' + ("負荷%d" % ident).encode("shift_jis") + b'"',
                "modify": b'name="WatchSearchString2" readonly value="modified"',
            }[kind]
            return None if wanted in body else "answer without %r" % wanted

        results = []  # (kind, ident, document, local port, failure or None)
        lock = threading.Lock()
        barrier = threading.Barrier(clients, timeout=60)

        def client(index):
            try:
                barrier.wait()
            except threading.BrokenBarrierError:
                pass
            for r in range(rounds):
                kind = kinds[(index + r) % len(kinds)]
                ident = index * rounds + r
                data, document = build(kind, ident)
                try:
                    reply, port, closed = h.exchange(data, timeout=60, source=SOURCES[index % len(SOURCES)])
                    failure = check(kind, ident, reply) if closed else "no end of answer"
                except OSError as e:
                    port, failure = None, "socket error %s" % e
                with lock:
                    results.append((kind, ident, document, port, failure))

        # Matching lines arrive continuously, so that every watch pass during
        # the load has hits to log and a command to run.
        stop_writer = threading.Event()
        appended = []

        def writer():
            n = 0
            while not stop_writer.is_set() and n < 600:
                n += 1
                with open(watched, "ab") as f:
                    f.write(b"LOADHIT line %d\n" % n)
                appended.append(n)
                stop_writer.wait(0.1)

        writer_thread = threading.Thread(target=writer)
        writer_thread.start()
        time.sleep(1.2)  # passes with hits before the load begins
        threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
        started = time.time()
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=180)
        elapsed = time.time() - started
        self.assertFalse(any(t.is_alive() for t in threads), "clients still waiting")
        time.sleep(1.2)  # passes with hits after the load
        stop_writer.set()
        writer_thread.join()

        total = clients * rounds
        h.report("%d admin requests from %d concurrent clients in %.2f s (%.0f requests/s), %d lines appended"
               % (total, clients, elapsed, total / elapsed, len(appended)))
        self.assertEqual(len(results), total)
        failures = [r for r in results if r[4]]
        self.assertEqual(failures, [], "%d of %d requests failed" % (len(failures), total))

        # Every appended line was seen once, as one whole log entry, and ran
        # the command once.
        last = appended[-1]

        def entry(n):
            return h.euc("%s(1/1)\n監視ファイル\t%s\n監視ワード\tLOADHIT\n監視内容\nLOADHIT line %d\n\n\n"
                         % (HIT, watched, n))
        self.assertTrue(h.wait_for(lambda: entry(last) in h.read_log(self.prefix), timeout=15))
        self.assertTrue(h.wait_for(lambda: os.path.exists(trace) and h.read(trace).count(b"hit\n") == last,
                                   timeout=15), "commands run: %r of %d" %
                        (h.read(trace).count(b"hit\n") if os.path.exists(trace) else 0, last))

        final = h.request_bytes("POST", "/SaveSetting.cgi")
        reply, final_port, _ = h.exchange(final)
        self.assertEqual(h.status_of(reply), 200)
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)

        log = h.read_log(self.prefix)
        for n in appended:
            self.assertEqual(log.count(entry(n)), 1, "hit entry of line %d" % n)
        self.assertEqual(log.count(h.euc(HIT)), len(appended), "hit headings without a whole entry")

        # Every request logged once, each line whole.
        found, broken = self.request_lines()
        self.assertEqual(broken, [])
        # (A local port may come round again among thousands of connections,
        # so the lines are compared as multisets.)
        sent = Counter(("GET" if kind in ("list", "console") else "POST", document, port)
                       for kind, _, document, port, _ in results)
        sent[("POST", "/SaveSetting.cgi", final_port)] += 1
        logged = Counter(found)
        self.assertEqual(logged - sent, Counter(), "logged more often than sent")
        self.assertEqual(sent - logged, Counter(), "sent but not logged")

        # The files written last hold exactly the expected entries.
        rows = h.read_csv_file(self.path("data/ScanLantern.conf"))
        self.assertEqual(rows[0], ["FileName", "SearchString", "SearchCount", "MailAddress", "Command"])
        self.assertEqual(rows[1], [watched, "LOADHIT", "1", "", command])
        self.assertEqual(rows[2], [other, "modified", "7", "ops@example.com", ""])
        adds = sorted(ident for kind, ident, _, _, _ in results if kind == "add")
        self.assertEqual(sorted(rows[3:]), sorted([other, "負荷%d" % i, "3", "", ""] for i in adds))
        env = h.read_csv_file(self.path("data/env.csv"))
        self.assertEqual(len(env), 2)
        self.assertEqual(env[1][:4], ["admin", "secret", "", "sl@example.com"])
        self.assertEqual([n for n in os.listdir(self.path("data")) if ".tmp" in n], [])


class MalformedInputTest(LoadTestBase):
    def test_malformed_requests_and_datagrams_mixed_with_valid_ones(self):
        self.start([])
        rng = random.Random(4009)
        rounds = 10 if SANITIZED else 20
        auth = "Authorization: " + h.basic_auth() + "\r\n"

        def garbage(n):
            return rng.randbytes(n)

        # (name, bytes, half-close after sending, check of the reply)
        def no_success(reply):
            return h.status_of(reply) in (None, 400, 401, 403, 404, 405, 413, 429, 500, 501)

        def status_is(code):
            return lambda reply: h.status_of(reply) == code

        big_headers = "".join("X-Filler-%d: %s\r\n" % (i, "x" * 8000) for i in range(10))
        cases = [
            ("garbage bytes", garbage(3000), True, no_success),
            ("garbage with line ends", garbage(500) + b"\r\n" + garbage(500) + b"\r\n\r\n", True, no_success),
            ("NUL request line", b"\0\0\0\0\r\n\r\n", True, no_success),
            ("no spaces", b"GETWATCH\r\n\r\n", True, no_success),
            ("bad method", ("BREW /WatchSetting.cgi HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n").encode(),
             True, no_success),
            ("empty method", (" /WatchSetting.cgi HTTP/1.0\r\n" + auth + "\r\n").encode(), True, no_success),
            ("huge request line", b"GET /" + b"a" * 20000 + b" HTTP/1.0\r\n\r\n", True, no_success),
            ("huge header line", ("GET /WatchSetting.cgi HTTP/1.0\r\n" + auth + "X-Big: " + "b" * 20000 +
                                  "\r\n\r\n").encode(), True, no_success),
            ("header section over 64 KiB", ("GET /WatchSetting.cgi HTTP/1.0\r\n" + auth + big_headers +
                                            "\r\n").encode(), True, no_success),
            ("truncated request line", b"GET /truncated-1.cgi", True, no_success),
            ("truncated headers", ("GET /truncated-2.cgi HTTP/1.0\r\n" + auth).encode(),
             True, no_success),
            ("truncated body", ("POST /truncated-3.cgi HTTP/1.0\r\n" + auth +
                                "Content-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: 500\r\n\r\nHidWatchFileName=").encode(), True, no_success),
            ("bad percent escapes in path", ("GET /%zz%4%%/x%G0 HTTP/1.0\r\n" + auth + "\r\n").encode(),
             True, status_is(404)),
            ("bad percent escapes in query", ("GET /WatchSetting.cgi?a=%zz&b=%4&%%%=%G1 HTTP/1.0\r\n" + auth +
                                              "\r\n").encode(), True, status_is(200)),
            ("bad percent escapes in form", h.request_bytes(
                "POST", "/AddWatch.cgi", b"HidWatchFileName=%zz%4&WatchSearchCount=%G1%"), True, status_is(200)),
            ("bad Basic credentials", ("GET /WatchSetting.cgi HTTP/1.0\r\nAuthorization: Basic %%%%\r\n\r\n")
             .encode(), True, no_success),
            ("unknown auth scheme", ("GET /WatchSetting.cgi HTTP/1.0\r\nAuthorization: Digest x\r\n\r\n")
             .encode(), True, no_success),
            ("negative Content-Length", ("POST /SaveSetting.cgi HTTP/1.0\r\n" + auth +
                                         "Content-Length: -5\r\n\r\n").encode(), True, lambda r: True),
            ("Content-Length over 8 MiB", ("POST /PostWatchSetting.cgi HTTP/1.1\r\nHost: x\r\n" + auth +
                                           "Content-Length: 9000000\r\n\r\n").encode() + b"x" * 65536,
             False, status_is(413)),
            ("Content-Length far over 8 MiB", ("POST /PostWatchSetting.cgi HTTP/1.0\r\n" + auth +
                                               "Content-Length: 99999999999999999999\r\n\r\n").encode(),
             False, status_is(413)),
        ]

        failures = []
        valid_answers = []
        done = threading.Event()

        def valid_stream():
            # Valid requests all the while; bounded in count.
            for _ in range(400):
                if done.is_set():
                    return
                reply, _, _ = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi"), timeout=20)
                valid_answers.append(h.status_of(reply))
                time.sleep(0.02)

        udp_results = []

        def udp_stream():
            noise_rng = random.Random(9004)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as noise:
                noise.bind(("127.0.0.1", 0))
                for burst in range(3 * rounds):
                    for _ in range(30):
                        size = noise_rng.choice((0, 1, 25, 26, 27, 100, 1400, 9000))
                        payload = noise_rng.randbytes(size)
                        if noise_rng.random() < 0.1:
                            payload = QUESTION[:noise_rng.randrange(len(QUESTION))] + b"\x00\xff?"
                        noise.sendto(payload, ("127.0.0.1", h.PORT))
                    udp_results.append(h.ask_discovery(QUESTION)[0])
                    # Under the 10 answers a second that one address gets.
                    time.sleep(0.11)

        valid_thread = threading.Thread(target=valid_stream)
        udp_thread = threading.Thread(target=udp_stream)
        valid_thread.start()
        udp_thread.start()
        started = time.time()
        sent = 0
        try:
            for r in range(rounds):
                for name, data, half_close, check in cases:
                    # Failed logins lock their address out for a while: they
                    # come from an address of their own, so that the valid
                    # requests go on.
                    source = "127.0.0.2" if name == "bad Basic credentials" else None
                    reply, _, closed = h.exchange(data, timeout=15, half_close=half_close, source=source)
                    sent += 1
                    if not closed:
                        failures.append((r, name, "connection left open"))
                    elif not check(reply):
                        failures.append((r, name, reply[:120]))
                    # A valid request right after each malformed one.
                    ok, _, _ = h.exchange(h.request_bytes("GET", "/WatchSetting.cgi"), timeout=15)
                    if h.status_of(ok) != 200:
                        failures.append((r, name, "following request: %r" % ok[:120]))
                # Random garbage of random sizes, some of it ending the line.
                for _ in range(25):
                    data = garbage(rng.randrange(1, 4000))
                    if rng.random() < 0.5:
                        data += b"\r\n\r\n"
                    _, _, closed = h.exchange(data, timeout=15, half_close=True)
                    sent += 1
                    if not closed:
                        failures.append((r, "random garbage", "connection left open"))
        finally:
            # Valid requests go on until the datagrams are through too.
            udp_thread.join(timeout=120)
            done.set()
            valid_thread.join(timeout=60)
        elapsed = time.time() - started
        h.report("%d malformed requests, %d valid ones, %d UDP bursts of 30 datagrams in %.1f s"
               % (sent, len(valid_answers), len(udp_results), elapsed))
        self.assertEqual(failures, [])
        self.assertTrue(valid_answers)
        self.assertEqual(valid_answers, [200] * len(valid_answers))
        self.assertEqual(udp_results, [GREETING + socket.gethostname().encode()] * len(udp_results))
        self.assertTrue(self.service.running())

        # A request cut short never ran; nothing was added by a cut-off body.
        found, broken = self.request_lines()
        self.assertFalse([f for f in found if "truncated" in f[1]], found)
        self.assertEqual(broken, [])
        console = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi"))[0]
        self.assertEqual(h.body_of(console).count(b"\n"), 2, console)
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)


if __name__ == "__main__":
    unittest.main()
