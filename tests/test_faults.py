"""The installed service when its surroundings fail: a full data directory
during a save, the log directory removed while running, SIGTERM in the middle
of heavy request load, and mail servers that drop the connection in the
middle of DATA or answer one byte per second. All traffic stays on loopback;
every wait is bounded.

The data-directory tests mount a small tmpfs and need root; they are skipped
where mounting is not allowed. The mail tests need 127.0.0.1:25 free."""

import errno
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

import harness as h

try:
    from aiosmtpd.controller import Controller
except ImportError:  # pragma: no cover - the test dependencies install it
    Controller = None

HIT = "監視ワードをトラッキングしました。"
SENT = "監視ワードをトラッキングしてメール送信しました。"
RAN = "次の実行ファイルを実行しました。"
INFO = "インフォメーション"
SYSTEM_ERROR = "システムエラーが発生しました。"
SMTP_FAILED = b"Error SMTP Server Connect.\n"
SAVED_PAGE = "設定の保存".encode("shift_jis")
REQUEST_LINE = re.compile(rb"^Command (GET|POST|HEAD) (\S*) received from 127\.0\.0\.1:(\d+)$")
SANITIZED = h.sanitized()


def append(path, data):
    with open(path, "ab") as f:
        f.write(data if isinstance(data, bytes) else data.encode("euc_jp"))


def temporary_files(directory):
    return [n for n in os.listdir(directory) if ".tmp" in n]


class FaultTestBase(h.ServiceTestCase):
    env = {"sender": "sl@example.com"}


# ---------------------------------------------------------------------------
# The data directory full during a save

class FullDataDirectoryTest(FaultTestBase):
    """The installation's data/ directory is a tmpfs of 256 KiB with few
    inodes, filled up by the test."""

    def setUp(self):
        super().setUp()
        self.data = self.path("data")
        self.mounted = False
        saved = {n: h.read(os.path.join(self.data, n)) for n in os.listdir(self.data)}
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k,nr_inodes=32,mode=0755",
                                 "sl-test-data", self.data],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            super().tearDown()
            h.peer_missing("cannot mount a tmpfs: %s" % result.stdout.decode(errors="replace").strip())
        self.mounted = True
        for name, data in saved.items():
            h.write(os.path.join(self.data, name), data)
        os.chmod(os.path.join(self.data, "env.csv"), 0o600)
        self.watched = os.path.join(self.dir, "app.log")
        self.other = os.path.join(self.dir, "other.log")
        h.write(self.watched, b"")
        h.write(self.other, b"")
        self.rows = [(self.watched, "DISK", "1", "", "")]

    def tearDown(self):
        if self.service:
            self.service.kill()
        if self.mounted:
            for _ in range(50):
                if subprocess.run(["umount", self.data], stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                subprocess.run(["umount", "-l", self.data])
        super().tearDown()

    def fill_blocks(self):
        """Fills the file system's blocks; returns the filler's path."""
        filler = os.path.join(self.data, "filler")
        with open(filler, "wb", buffering=0) as f:
            for size in (65536, 4096, 1):
                for _ in range(1000):
                    try:
                        f.write(b"\0" * size)
                    except OSError as e:
                        self.assertEqual(e.errno, errno.ENOSPC)
                        break
        return filler

    def fill_inodes(self):
        """Uses up every inode with empty files; returns their paths."""
        made = []
        for i in range(100):
            name = os.path.join(self.data, "inode-%d" % i)
            try:
                with open(name, "wb"):
                    pass
            except OSError as e:
                self.assertEqual(e.errno, errno.ENOSPC)
                return made
            made.append(name)
        self.fail("the data file system did not run out of inodes")

    def add_entry(self, word):
        status, body = h.http("POST", "/AddWatch.cgi", h.sjis_form([
            ("HidWatchFileName", self.other), ("WatchSearchString", word),
            ("WatchSearchCount", "2"), ("WatchMailAddress", ""), ("HidWatchCommand", "")]))
        self.assertEqual(status, 200)
        self.assertIn(b'value="%s"' % word.encode(), body)

    def assert_files(self, conf, env):
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")), conf)
        self.assertEqual(h.read(self.path("data/env.csv")), env)
        h.read_csv_file(self.path("data/ScanLantern.conf"))
        h.read_csv_file(self.path("data/env.csv"))
        self.assertEqual(temporary_files(self.data), [])

    def test_full_disk_keeps_the_old_files_and_a_later_save_works(self):
        self.start(self.rows)
        old_conf, old_env = h.read(self.path("data/ScanLantern.conf")), h.read(self.path("data/env.csv"))
        self.add_entry("added1")

        filler = self.fill_blocks()
        status, body = h.http("POST", "/SaveSetting.cgi")
        # A write error is answered as an error, never as a done save.
        self.assertEqual(status, 500, body)
        self.assertIn(b"No space left on device", body)
        self.assertNotIn(SAVED_PAGE, body)
        self.assert_files(old_conf, old_env)

        # The service goes on, with its table in memory unchanged.
        self.assertTrue(self.service.running())
        status, body = h.http("GET", "/WatchSetting.cgi")
        self.assertEqual(status, 200)
        self.assertIn(b'name="WatchSearchString2" readonly value="added1"', body)
        append(self.watched, "DISK still watched\n")
        self.assertTrue(h.wait_for(lambda: b"DISK still watched" in self.log()))

        # Space again: the next save writes both files whole.
        os.unlink(filler)
        status, body = h.http("POST", "/SaveSetting.cgi")
        self.assertEqual(status, 200)
        self.assertIn(SAVED_PAGE, body)
        expected = h.conf_text(self.rows + [(self.other, "added1", "2", "", "")])
        self.assert_files(expected, old_env)

        # Full again at the stop: the stop reports the failed save (status 1
        # and a log entry) and the file of the last save stays intact.
        self.add_entry("added2")
        filler = self.fill_blocks()
        status, out = self.service.stop()
        self.assertEqual(status, 1, out)
        self.assertIn(h.euc(SYSTEM_ERROR) + b"\nDataModuleDestroy.\n", self.log())
        self.assert_files(expected, old_env)
        os.unlink(filler)

    def test_save_that_cannot_create_its_file_is_not_reported_as_done(self):
        self.start(self.rows)
        old_conf, old_env = h.read(self.path("data/ScanLantern.conf")), h.read(self.path("data/env.csv"))
        self.add_entry("added1")
        made = self.fill_inodes()
        status, body = h.http("POST", "/SaveSetting.cgi")
        self.assert_files(old_conf, old_env)
        self.assertTrue(self.service.running())
        stop_status, out = self.service.stop()
        self.assert_files(old_conf, old_env)
        for name in made:
            os.unlink(name)
        # Neither the page nor the exit status may claim that the settings
        # were saved.
        problems = []
        if status == 200 and SAVED_PAGE in body:
            problems.append("the save answered %r with the saved page" % status)
        if stop_status == 0:
            problems.append("the stop ended with status 0 without writing the settings")
        self.assertEqual(problems, [])


# ---------------------------------------------------------------------------
# The log directory removed while running

class LogDirectoryRemovedTest(FaultTestBase):
    def test_service_keeps_working_and_logging_resumes(self):
        watched = os.path.join(self.dir, "app.log")
        trace = os.path.join(self.dir, "trace")
        h.write(watched, b"")
        self.start([(watched, "LOGHIT", "1", "", "echo ran >> " + trace)])
        log_dir = self.path("log")
        shutil.rmtree(log_dir)

        # Requests are answered as usual: a request line the log cannot take
        # never fails its request.
        answers = []
        lock = threading.Lock()

        def one(path):
            reply, _, closed = h.exchange(h.request_bytes("GET", path), timeout=20)
            with lock:
                answers.append((path, closed, h.status_of(reply), h.body_of(reply)))
        paths = ["/WatchSetting.cgi", "/GetWatchSetting.cgi", "/index.htm", "/EnvSetting.cgi"] * 5
        threads = [threading.Thread(target=one, args=(p,)) for p in paths]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        self.assertEqual(len(answers), len(paths))
        for path, closed, status, body in answers:
            self.assertTrue(closed, path)
            self.assertEqual(status, 200, path)
        h.report("requests while the log directory is missing: %s"
               % sorted(set((p, s) for p, _, s, _ in answers)))
        self.assertEqual(h.ask_discovery()[0], b"I am ScanLantern Agent.|" + socket.gethostname().encode())

        # The watch pass still acts on a hit it cannot log.
        append(watched, "LOGHIT while the log is gone\n")
        self.assertTrue(h.wait_for(lambda: os.path.exists(trace), timeout=10), "command did not run")
        time.sleep(1.5)
        self.assertTrue(self.service.running())
        self.assertFalse(os.path.exists(log_dir))

        # The directory comes back: logging resumes for requests and passes.
        os.mkdir(log_dir)
        reply, port, _ = h.exchange(h.request_bytes("GET", "/WatchSetting.cgi"))
        self.assertEqual(h.status_of(reply), 200)
        self.assertIn(b"Command GET /WatchSetting.cgi received from 127.0.0.1:%d\n" % port, self.log())
        append(watched, "LOGHIT after the return\n")
        entry = h.euc("%s(1/1)\n監視ファイル\t%s\n監視ワード\tLOGHIT\n監視内容\nLOGHIT after the return\n"
                      % (HIT, watched))
        self.assertTrue(h.wait_for(lambda: entry in self.log(), timeout=10))
        self.assertTrue(h.wait_for(lambda: h.read(trace) == b"ran\nran\n", timeout=10))
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)
        self.assertTrue(self.log().endswith(b"\nScanLantern Service Stop.\n\n\n"))


class FullLogDirectoryTest(FaultTestBase):
    """The log directory is a tmpfs that is full before the start."""

    def test_service_starts_watches_and_answers_without_its_log(self):
        log_dir = self.path("log")
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "sl-test-log",
                                 log_dir], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            h.peer_missing("cannot mount a tmpfs: %s" % result.stdout.decode(errors="replace").strip())
        self.addCleanup(lambda: subprocess.run(["umount", "-l", log_dir]))
        with open(os.path.join(log_dir, "filler"), "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError as e:
                self.assertEqual(e.errno, errno.ENOSPC)
        watched = os.path.join(self.dir, "app.log")
        trace = os.path.join(self.dir, "trace")
        h.write(watched, b"")
        self.write_settings([(watched, "FULLHIT", "1", "", "echo ran >> " + trace)])
        self.service = h.Service(self.prefix).start(wait_for_log=False)

        # The start goes on without its entry, and the pages answer.
        def answered():
            try:
                return h.exchange(h.request_bytes("GET", "/Status.json"), timeout=2)[0]
            except OSError:
                return b""
        reply = h.wait_for(lambda: self.service.running() and answered(), timeout=15)
        if not reply:
            self.fail("the service did not answer: %r" % (self.service.stop()[1],))
        self.assertEqual(h.status_of(reply), 200)
        self.assertGreaterEqual(json.loads(h.body_of(reply))["event_log_write_failures"], 1)
        for path in ("/WatchSetting.cgi", "/Status.cgi", "/index.htm"):
            self.assertEqual(h.http("GET", path)[0], 200, path)

        # It watches: a hit it cannot log still runs its command.
        append(watched, "FULLHIT on a full disk\n")
        self.assertTrue(h.wait_for(lambda: os.path.exists(trace), timeout=10), "command did not run")
        self.service.signal(signal.SIGTERM)
        _, out = self.service.wait()
        self.assertIn(b"the event log cannot be written; the service goes on without this entry", out)


# ---------------------------------------------------------------------------
# SIGTERM in the middle of heavy request load

class StopUnderLoadTest(FaultTestBase):
    def test_sigterm_during_heavy_load_writes_the_settings_once_and_whole(self):
        watched = os.path.join(self.dir, "app.log")
        other = os.path.join(self.dir, "other.log")
        h.write(watched, b"")
        h.write(other, b"")
        self.start([(watched, "TERMHIT", "1", "", ""), (other, "original", "2", "", "")])
        conf_path = self.path("data/ScanLantern.conf")
        env_path = self.path("data/env.csv")

        clients = 16 if SANITIZED else 32
        kinds = ("add", "list", "add", "modify", "add", "console")
        stop_clients = threading.Event()
        results = []  # (kind, ident, status, body contains the expected text)
        lock = threading.Lock()

        def client(index):
            for n in range(2000):
                if stop_clients.is_set():
                    return
                kind = kinds[(index + n) % len(kinds)]
                ident = index * 10000 + n
                if kind == "list":
                    data, wanted = h.request_bytes("GET", "/WatchSetting.cgi"), b"TERMHIT"
                elif kind == "console":
                    data, wanted = h.request_bytes("GET", "/GetWatchSetting.cgi"), b'"TERMHIT","1"'
                elif kind == "add":
                    word = "stop%d" % ident
                    data = h.request_bytes("POST", "/AddWatch.cgi", h.sjis_form([
                        ("HidWatchFileName", other), ("WatchSearchString", word), ("WatchSearchCount", "3"),
                        ("WatchMailAddress", ""), ("HidWatchCommand", "")]))
                    wanted = b'readonly value="%s"' % word.encode()
                else:
                    data = h.request_bytes("POST", "/ModDelWatch.cgi", h.sjis_form([
                        ("No", "2"), ("HidWatchFileName", other), ("WatchSearchString", "modified"),
                        ("WatchSearchCount", "5"), ("WatchMailAddress", ""), ("HidWatchCommand", ""),
                        ("ModDel", "Mod")]))
                    wanted = b'name="WatchSearchString2" readonly value="modified"'
                try:
                    reply, _, closed = h.exchange(data, timeout=20)
                except ConnectionRefusedError:
                    with lock:
                        results.append((kind, ident, None, False))
                    return
                except OSError:
                    reply, closed = b"", False
                status = h.status_of(reply) if closed else None
                with lock:
                    results.append((kind, ident, status, wanted in h.body_of(reply)))

        # Every change of the two files from the signal on, seen by their
        # inode (each save renames a new file into place).
        changes = {conf_path: [], env_path: []}
        watching = threading.Event()

        def watch_files():
            last = {p: os.stat(p).st_ino for p in changes}
            deadline = time.time() + 60
            while not watching.is_set() and time.time() < deadline:
                for p in changes:
                    try:
                        ino = os.stat(p).st_ino
                    except FileNotFoundError:
                        changes[p].append("missing")
                        continue
                    if ino != last[p]:
                        changes[p].append(ino)
                        last[p] = ino
                time.sleep(0.001)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
        for t in threads:
            t.start()
        time.sleep(3 if SANITIZED else 2)
        watcher = threading.Thread(target=watch_files)
        watcher.start()
        answered_before = len(results)
        t0 = time.time()
        self.service.signal(signal.SIGTERM)
        status, out = self.service.wait(timeout=30)
        stop_time = time.time() - t0
        watching.set()
        watcher.join()
        stop_clients.set()
        for t in threads:
            t.join(timeout=60)
        h.report("%d clients, %d requests answered before SIGTERM, %d in all; stop took %.2f s"
               % (clients, answered_before, len(results), stop_time))
        self.assertEqual(status, 0, out)
        self.assertLess(stop_time, 10)

        # Requests answered before the signal all succeeded.
        bad = [r for r in results[:answered_before] if r[2] != 200 or not r[3]]
        self.assertEqual(bad, [])

        # Each file replaced exactly once after the signal, and whole.
        self.assertEqual([len(changes[conf_path]), len(changes[env_path])], [1, 1], changes)
        rows = h.read_csv_file(conf_path)
        self.assertEqual(rows[1], [watched, "TERMHIT", "1", "", ""])
        self.assertEqual(rows[2], [other, "modified", "5", "", ""])
        saved = [r[1] for r in rows[3:]]
        self.assertEqual(len(saved), len(set(saved)), "an entry saved twice")
        self.assertEqual(rows[3:], [[other, w, "3", "", ""] for w in saved])
        attempted = {"stop%d" % ident for kind, ident, _, _ in results if kind == "add"}
        confirmed = {"stop%d" % ident for kind, ident, status, ok in results
                     if kind == "add" and status == 200 and ok}
        self.assertLessEqual(set(saved), attempted)
        lost = sorted(confirmed - set(saved))
        self.assertEqual(lost, [], "%d entries confirmed to the client but missing from the file saved "
                         "at the stop" % len(lost))
        env = h.read_csv_file(env_path)
        self.assertEqual(env[1][:4], ["admin", "secret", "", "sl@example.com"])
        self.assertEqual(temporary_files(self.path("data")), [])

        # One stop entry, and every request line in the log is whole.
        log = self.log()
        self.assertEqual(log.count(b"\nScanLantern Service Stop.\n\n\n"), 1)
        broken = [line for line in log.split(b"\n")
                  if (b"received from" in line or b"Command " in line) and not REQUEST_LINE.match(line)]
        self.assertEqual(broken, [])

    def test_entries_confirmed_while_stopping_are_in_the_saved_file(self):
        other = os.path.join(self.dir, "other.log")
        h.write(other, b"")
        # A long mail body makes the save of env.csv, which follows the watch
        # list's, take a while.
        self.start([(other, "original", "2", "", "")], body="x" * 4000000)
        conf_path = self.path("data/ScanLantern.conf")
        first_inode = os.stat(conf_path).st_ino

        # Additions that wait, whole but for their last byte, for the moment
        # the stop writes the watch list.
        count = 40
        pending = []
        for i in range(count):
            data = h.request_bytes("POST", "/AddWatch.cgi", h.sjis_form([
                ("HidWatchFileName", other), ("WatchSearchString", "late%d" % i), ("WatchSearchCount", "3"),
                ("WatchMailAddress", ""), ("HidWatchCommand", "")]))
            s = socket.create_connection(("127.0.0.1", h.PORT), timeout=10)
            s.sendall(data[:-1])
            pending.append((s, data[-1:], "late%d" % i))
        try:
            time.sleep(0.5)
            self.service.signal(signal.SIGTERM)
            deadline = time.time() + 15
            while time.time() < deadline and os.stat(conf_path).st_ino == first_inode:
                pass
            for s, last, _ in pending:
                try:
                    s.sendall(last)
                except OSError:
                    pass
            confirmed = []
            for s, _, word in pending:
                reply = b""
                try:
                    s.settimeout(10)
                    while True:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        reply += chunk
                except OSError:
                    pass
                if h.status_of(reply) == 200 and b'readonly value="%s"' % word.encode() in reply:
                    confirmed.append(word)
        finally:
            for s, _, _ in pending:
                s.close()
        status, out = self.service.wait(timeout=30)
        self.assertEqual(status, 0, out)
        saved = [row[1] for row in h.read_csv_file(conf_path)[2:]]
        h.report("additions sent as the stop saved: %d confirmed, %d in the saved file" % (len(confirmed), len(saved)))
        lost = [w for w in confirmed if w not in saved]
        self.assertEqual(lost, [], "additions confirmed with the list page after the final save, "
                                   "missing from the file")


# ---------------------------------------------------------------------------
# Mail servers that fail

class ScriptedSmtpServer:
    """A misbehaving mail server on 127.0.0.1:25, one connection at a time,
    at most `max_connections`, each bounded in time.

    mode "drop-in-data": a normal dialogue up to DATA's 354; when the first
    bytes of the message arrive, the connection is closed.
    mode "slow": the greeting is sent one byte per second."""

    GREETING = b"220 scripted.mail.example ESMTP service ready, please be patient\r\n"

    def __init__(self, mode, max_connections=3):
        self.mode = mode
        self.max_connections = max_connections
        self.events = []  # (time, text)
        self.stopping = threading.Event()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 25))
        self.listener.listen(5)
        self.listener.settimeout(0.2)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def note(self, text):
        self.events.append((time.time(), text))

    def first(self, text):
        for when, what in self.events:
            if what == text:
                return when
        return None

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=10)
        self.listener.close()

    def run(self):
        served = 0
        deadline = time.time() + 120
        while served < self.max_connections and not self.stopping.is_set() and time.time() < deadline:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            served += 1
            self.note("accepted")
            with conn:
                try:
                    if self.mode == "slow":
                        self.serve_slowly(conn)
                    else:
                        self.serve_until_data(conn)
                except OSError as e:
                    self.note("error %s" % e)

    def serve_slowly(self, conn):
        for i in range(len(self.GREETING)):
            if self.stopping.is_set():
                return
            conn.sendall(self.GREETING[i:i + 1])
            # Wait a second, noticing when the client gives up.
            ready, _, _ = select.select([conn], [], [], 1.0)
            if ready:
                if not conn.recv(4096):
                    self.note("client closed")
                    return
        self.note("greeting complete")

    def serve_until_data(self, conn):
        conn.settimeout(20)
        conn.sendall(b"220 scripted.mail.example ESMTP\r\n")
        pending = b""
        while not self.stopping.is_set():
            chunk = conn.recv(4096)
            if not chunk:
                self.note("client closed")
                return
            pending += chunk
            while b"\r\n" in pending:
                line, pending = pending.split(b"\r\n", 1)
                verb = line[:4].upper()
                if verb in (b"HELO", b"EHLO"):
                    conn.sendall(b"250 scripted.mail.example\r\n")
                elif verb in (b"MAIL", b"RCPT", b"RSET", b"NOOP"):
                    conn.sendall(b"250 OK\r\n")
                elif verb == b"DATA":
                    conn.sendall(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                    conn.settimeout(10)
                    data = pending or conn.recv(4096)
                    self.note("data received" if data else "no data")
                    self.note("dropped")
                    return
                elif verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"502 no\r\n")


class Mailbox:
    def __init__(self):
        self.messages = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.original_content or envelope.content)
        return "250 OK"


@h.needs_peer(Controller is not None, "aiosmtpd is not installed")
class FailingMailServerTest(FaultTestBase):
    def setUp(self):
        h.require_peer(not h.port_25_in_use(), "something else listens on 127.0.0.1:25")
        super().setUp()
        self.scripted = None
        self.controller = None
        self.watched = os.path.join(self.dir, "app.log")
        self.trace = os.path.join(self.dir, "trace")
        h.write(self.watched, b"")
        self.start([(self.watched, "MAILHIT", "1", "ops@example.com", "echo ran >> " + self.trace)],
                   smtp="127.0.0.1", sender="sl@example.com", subject="hit \\WatchNum\\",
                   body="\\ResultLine\\")

    def tearDown(self):
        if self.scripted:
            self.scripted.stop()
        if self.controller:
            self.controller.stop()
        super().tearDown()

    def failure_entries(self):
        """The details of every mail failure entry in the log."""
        heading = h.euc(INFO) + b"\n" + SMTP_FAILED
        return [part.split(b"\n\n\n", 1)[0] for part in self.log().split(heading)[1:]]

    def then_a_real_server_gets_the_next_mail(self):
        self.scripted.stop()
        self.scripted = None
        mailbox = Mailbox()
        self.controller = Controller(mailbox, hostname="127.0.0.1", port=25)
        self.controller.start()
        append(self.watched, "MAILHIT second\n")
        # The failed mail is tried again 30 s after its failure, and goes
        # before the later one.
        self.assertTrue(h.wait_for(lambda: len(mailbox.messages) == 2, timeout=50),
                        "the failed mail and the next one did not arrive")
        self.assertIn(b"MAILHIT first", mailbox.messages[0])
        self.assertIn(b"MAILHIT second", mailbox.messages[1])
        self.assertTrue(h.wait_for(lambda: self.log().count(h.euc(SENT)) == 2, timeout=10))
        self.assertEqual(os.listdir(self.path("data/spool")), [])
        self.assertTrue(h.wait_for(lambda: h.read(self.trace) == b"ran\nran\n", timeout=10))
        self.assertEqual(len(self.failure_entries()), 1)
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)

    def test_connection_dropped_in_the_middle_of_data(self):
        self.scripted = ScriptedSmtpServer("drop-in-data")
        append(self.watched, "MAILHIT first\n")
        self.assertTrue(h.wait_for(lambda: self.failure_entries(), timeout=40), "failure not logged")
        self.assertIn("dropped", [e for _, e in self.scripted.events])
        failure = self.failure_entries()[0]
        h.report("mail dropped in DATA logged as %r" % failure)
        self.assertTrue(failure.strip(), "the failure entry has no error message")
        self.assertNotIn(h.euc(SENT), self.log())
        self.assertTrue(h.wait_for(lambda: os.path.exists(self.trace), timeout=10), "command did not run")
        self.assertEqual(h.read(self.trace), b"ran\n")
        self.assertEqual(h.ask_discovery()[0], b"I am ScanLantern Agent.|" + socket.gethostname().encode())
        self.then_a_real_server_gets_the_next_mail()

    def test_server_answering_one_byte_per_second(self):
        self.scripted = ScriptedSmtpServer("slow")
        append(self.watched, "MAILHIT first\n")
        self.assertTrue(h.wait_for(lambda: self.scripted.first("accepted"), timeout=10), "no SMTP connection")
        accepted = self.scripted.first("accepted")
        # The administration answers while the pass waits for the server.
        status, _ = h.http("GET", "/WatchSetting.cgi", timeout=10)
        self.assertEqual(status, 200)
        self.assertTrue(h.wait_for(lambda: self.failure_entries(), timeout=45), "failure not logged")
        gave_up = time.time() - accepted
        failure = self.failure_entries()[0]
        h.report("slow mail server given up after %.1f s, logged as %r" % (gave_up, failure))
        self.assertGreater(gave_up, 13)
        self.assertLess(gave_up, 40)
        self.assertTrue(failure.strip(), "the failure entry has no error message")
        self.assertTrue(h.wait_for(lambda: os.path.exists(self.trace), timeout=10), "command did not run")
        self.assertTrue(h.wait_for(lambda: self.scripted.first("client closed"), timeout=5),
                        "the connection to the slow server was left open")
        self.assertNotIn("greeting complete", [e for _, e in self.scripted.events])
        self.then_a_real_server_gets_the_next_mail()


GIVEN_UP = "メールの送信をあきらめました。"
QUEUE_FULL = "送信待ちのメールが上限に達したため、このメールを破棄しました。"


class RefusingMailbox(Mailbox):
    """Takes mail for everyone but nobody@: that one is refused for good."""

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("nobody@"):
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"


@h.needs_peer(Controller is not None, "aiosmtpd is not installed")
class MailSpoolTest(FaultTestBase):
    """Notifications while the mail server is away: kept in data/spool/,
    tried again, sent in the order of their triggers once it is back."""

    def setUp(self):
        h.require_peer(not h.port_25_in_use(), "something else listens on 127.0.0.1:25")
        super().setUp()
        self.controller = None
        self.spool = self.path("data/spool")

    def tearDown(self):
        if self.controller:
            self.controller.stop()
        super().tearDown()

    def start_mail_server(self):
        self.mailbox = RefusingMailbox()
        self.controller = Controller(self.mailbox, hostname="127.0.0.1", port=25)
        self.controller.start()

    def status(self):
        status, body = h.http("GET", "/Status.json")
        self.assertEqual(status, 200)
        return json.loads(body)

    def test_outage_of_30_s_loses_nothing_and_a_5xx_is_given_up_with_its_details(self):
        ops = os.path.join(self.dir, "ops.log")
        gone = os.path.join(self.dir, "gone.log")
        h.write(ops, b"")
        h.write(gone, b"")
        self.start([(ops, "DOWN", "1", "ops@example.com", ""),
                    (gone, "GONE", "1", "nobody@example.com", "")],
                   smtp="127.0.0.1", subject="\\WatchFile\\", body="\\ResultLine\\")
        append(ops, "DOWN 1\nDOWN 2\n")
        append(gone, "GONE 1\n")
        self.assertTrue(h.wait_for(lambda: SMTP_FAILED in self.log(), timeout=10), "no failure logged")
        self.assertTrue(h.wait_for(lambda: len(os.listdir(self.spool)) == 3, timeout=5))
        for name in os.listdir(self.spool):
            self.assertEqual(os.stat(os.path.join(self.spool, name)).st_mode & 0o777, 0o600)
        doc = self.status()
        h.report("while the server is away: %r" % {k: v for k, v in doc.items() if k.startswith("mail")})
        self.assertEqual(doc["mail_queue_length"], 3)
        self.assertIn("Connection refused", doc["mail_last_error"])
        # The first mail waits 30 s for its next attempt; the others wait behind it.
        self.assertGreater(doc["mail_next_attempt_seconds"], 20)
        self.assertLessEqual(doc["mail_next_attempt_seconds"], 30)
        self.start_mail_server()
        started = time.time()
        self.assertTrue(h.wait_for(lambda: len(self.mailbox.messages) == 2, timeout=45),
                        "the waiting mails were not sent when the server came back")
        h.report("both mails arrived %.1f s after the server came back" % (time.time() - started))
        self.assertIn(b"DOWN 1", self.mailbox.messages[0])
        self.assertIn(b"DOWN 2", self.mailbox.messages[1])
        self.assertTrue(h.wait_for(lambda: h.euc(GIVEN_UP) in self.log(), timeout=10))
        entry = self.log().split(h.euc(GIVEN_UP) + b"\n", 1)[1].split(b"\n\n\n", 1)[0]
        h.report("given up: %r" % entry)
        for part in (gone, "GONE", "nobody@example.com", "550 5.1.1 no such user"):
            self.assertIn(h.euc(part), entry)
        self.assertRegex(entry, rb"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d")
        self.assertTrue(h.wait_for(lambda: os.listdir(self.spool) == [], timeout=5))
        self.assertEqual(self.status()["mail_queue_length"], 0)

    def test_flood_past_the_limit_becomes_a_digest_and_the_rest_is_logged(self):
        flood = os.path.join(self.dir, "flood.log")
        late = os.path.join(self.dir, "late.log")
        h.write(flood, b"")
        h.write(late, b"")
        self.start([(flood, "FLOOD", "1", "ops@example.com", ""),
                    (late, "LATE", "1", "ops@example.com", "")],
                   smtp="127.0.0.1", subject="s", body="\\ResultLine\\")
        append(flood, "".join("FLOOD %d\n" % i for i in range(1, 1006)))
        self.assertTrue(h.wait_for(lambda: self.log().count(h.euc(HIT)) == 1005, timeout=60))
        append(late, "LATE 1\n")
        self.assertTrue(h.wait_for(lambda: h.euc(QUEUE_FULL) in self.log(), timeout=10))
        self.assertTrue(h.euc(QUEUE_FULL + "\n監視ファイル\t" + late + "\n") in self.log(),
                        "the dropped notification's entry is not named")
        self.assertEqual(self.status()["mail_queue_length"], 1000)
        self.start_mail_server()
        back = time.time()
        self.assertTrue(h.wait_for(lambda: len(self.mailbox.messages) == 1000, timeout=240),
                        "%d of 1000 mails arrived" % len(self.mailbox.messages))
        h.report("1000 waiting mails delivered %.1f s after the server came back" % (time.time() - back))
        import email
        import email.policy
        last = email.message_from_bytes(self.mailbox.messages[-1], policy=email.policy.default)
        body = last.get_content()
        h.report("the digest mail:\n%s" % body)
        self.assertIn("FLOOD 1005", body)
        self.assertIn("まとめた検出の回数\t6", body)
        self.assertRegex(body, r"最初の検出\t\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\tFLOOD 1000\r?\n")
        self.assertIn(b"FLOOD 999\r\n", self.mailbox.messages[-2])


if __name__ == "__main__":
    unittest.main()
