"""The settings files under reload, hand edits and stop: a failed reload
keeps the service watching and the files as a person left them, CR LF files
read as LF files, saves never expose the password, and a stop saves and ends
on time while a client holds a request open."""

import ctypes
import os
import signal
import socket
import stat
import struct
import threading
import time
import urllib.parse

import harness as h

ENV = dict(user="admin", password="secret")


def drop_file_access_override(prefix):
    """Makes the installed service run without CAP_DAC_OVERRIDE and
    CAP_DAC_READ_SEARCH, so that a file of mode 000 is unreadable for it as
    for any program. The executable keeps its place below bin/, so the
    service still finds its base directory."""
    exe = os.path.join(prefix, "bin", "ScanLanternService")
    real = exe + ".real"
    os.rename(exe, real)
    caps = "-dac_override,-dac_read_search"
    h.write(exe, "#!/bin/sh\nexec setpriv --inh-caps=%s --bounding-set=%s %s\n" % (caps, caps, real))
    os.chmod(exe, 0o755)


class CreatedFiles:
    """Watches a directory with inotify and records, for every file created
    in it, its name and its mode at the first look after the creation."""

    IN_CREATE = 0x100

    def __init__(self, directory):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self.fd >= 0
        assert self.libc.inotify_add_watch(self.fd, directory.encode(), self.IN_CREATE) >= 0
        self.directory = directory
        self.seen = []  # (name, mode or None when already gone)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        import select
        while not self.done.is_set():
            if not select.select([self.fd], [], [], 0.05)[0]:
                continue
            data = os.read(self.fd, 65536)
            offset = 0
            while offset < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode()
                offset += 16 + length
                try:
                    mode = stat.S_IMODE(os.lstat(os.path.join(self.directory, name)).st_mode)
                except FileNotFoundError:
                    mode = None
                self.seen.append((name, mode))

    def stop(self):
        self.done.set()
        self.thread.join()
        os.close(self.fd)
        return self.seen


class SettingsTest(h.ServiceTestCase):
    env = ENV

    def setUp(self):
        super().setUp()
        self.watched = os.path.join(self.dir, "app.log")
        self.fired = os.path.join(self.dir, "fired.txt")
        h.write(self.watched, "ERROR present at the start\n")

    def fired_count(self):
        return len(h.read(self.fired).splitlines()) if os.path.exists(self.fired) else 0

    def row(self, count="1"):
        return (self.watched, "ERROR", count, "", "echo fired >> " + self.fired)

    def test_failed_reload_keeps_watching_and_the_hand_edited_files(self):
        drop_file_access_override(self.prefix)
        self.start([self.row()])
        self.append(self.watched, "ERROR one\n")
        self.assertTrue(h.wait_for(lambda: self.fired_count() == 1))

        # A bad count: the page says why, the service goes on as before.
        conf = h.conf_text([self.row("abc"), ("/var/log/new.log", "x", "2", "", "")])
        h.write(self.path("data/ScanLantern.conf"), conf)
        status, body = h.http("POST", "/ServiceReload.cgi")
        self.assertEqual(status, 500)
        self.assertIn("再読み込みエラー".encode("shift_jis"), body)
        self.assertIn(b"'abc' is not a valid integer value", body)
        self.assertIn(h.euc("レジストリにRootDirが存在しません。") + b"\nScanLanternServiceReload.\n" +
                      self.path("data/ScanLantern.conf").encode() +
                      b":2: SearchCount: abc: 'abc' is not a valid integer value\n\n\n", self.log())

        # An env.csv that cannot be read fails the reload the same way.
        env = h.env_text(password="edited")
        h.write(self.path("data/env.csv"), env)
        os.chmod(self.path("data/env.csv"), 0)
        status, body = h.http("POST", "/ServiceReload.cgi")
        self.assertEqual(status, 500)
        self.assertIn(b"Permission denied", body)
        self.assertIn(b"data/env.csv", body)

        # Still watching from where it was: the lines seen before the
        # reloads never fire again, a new one fires once.
        self.append(self.watched, "ERROR two\n")
        self.assertTrue(h.wait_for(lambda: self.fired_count() == 2))
        time.sleep(2.5)
        self.assertEqual(self.fired_count(), 2)
        self.assertTrue(self.service.running())

        status, out = self.service.stop()
        self.assertEqual(status, 0, out)
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")), conf)
        self.assertEqual(h.read(self.path("data/env.csv")), env)

    def test_unreadable_env_fails_the_start_and_stays_unchanged(self):
        drop_file_access_override(self.prefix)
        self.write_settings([self.row()])
        env = h.read(self.path("data/env.csv"))
        os.chmod(self.path("data/env.csv"), 0)
        self.service = h.Service(self.prefix).start(wait_for_log=False)
        status, out = self.service.wait()
        self.assertEqual(status, 1, out)
        self.assertRegex(out, rb"Error WatchFileServiceCreate.\nCannot read file \".*data/env.csv\". "
                              rb"Permission denied\n")
        self.assertIn(b"WatchFileServiceCreate.\nCannot read file", self.log())
        self.assertEqual(h.read(self.path("data/env.csv")), env)
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")), h.conf_text([self.row()]))

    def test_crlf_files_read_as_lf_files(self):
        rows = [self.row()]
        env = h.env_text(subject="s", body="line 1\nline 2", **ENV)
        h.write(self.path("data/ScanLantern.conf"), h.conf_text(rows).replace(b"\n", b"\r\n"))
        # The record's line ends are CR LF; the body's own LF stays.
        h.write(self.path("data/env.csv"), env.replace(b'"\n', b'"\r\n'))
        self.service = h.Service(self.prefix).start()
        self.append(self.watched, "ERROR crlf\n")
        self.assertTrue(h.wait_for(lambda: self.fired_count() == 1))
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)
        self.assertEqual(h.read(self.path("data/ScanLantern.conf")), h.conf_text(rows))
        self.assertEqual(h.read(self.path("data/env.csv")), env)

    def test_saves_create_private_temporary_files_and_keep_links(self):
        # env.csv lives elsewhere, behind a relative symbolic link.
        elsewhere = self.path("private")
        os.mkdir(elsewhere)
        self.start([self.row()])
        os.rename(self.path("data/env.csv"), os.path.join(elsewhere, "env.csv"))
        os.symlink("../private/env.csv", self.path("data/env.csv"))
        os.chmod(self.path("data/ScanLantern.conf"), 0o640)

        data = CreatedFiles(self.path("data"))
        private = CreatedFiles(elsewhere)
        try:
            for _ in range(20):
                self.assertEqual(h.http("POST", "/SaveSetting.cgi")[0], 200)
        finally:
            created = data.stop() + private.stop()
        temporary = [(n, m) for n, m in created if ".tmp." in n]
        self.assertEqual(len(temporary), 40, created)
        for name, mode in temporary:
            self.assertRegex(name, r"^(ScanLantern\.conf|env\.csv)\.tmp\.[0-9a-f]{16}$")
            # Before its content is complete a temporary file is 0600; the
            # old file's mode comes only after.
            self.assertIn(mode, (None, 0o600, 0o640), name)
        self.assertEqual(len({n for n, _ in temporary}), 40)

        self.assertTrue(os.path.islink(self.path("data/env.csv")))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("data/ScanLantern.conf")).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(elsewhere)), ["env.csv"])
        # Beside the two files only the mail spool's directory.
        self.assertEqual(sorted(os.listdir(self.path("data"))), ["ScanLantern.conf", "env.csv", "spool"])
        status, _ = self.service.stop()
        self.assertEqual(status, 0)
        self.assertTrue(os.path.islink(self.path("data/env.csv")))
        self.assertEqual(h.read(self.path("data/env.csv")), h.env_text(**ENV))

    def test_sigterm_during_a_request_that_never_ends(self):
        self.start([self.row()])
        # A change in memory only; the stop must save it.
        status, _ = h.http("POST", "/EnvSaveSetting.cgi",
                            b"SMTPServer=saved.example&FromMailAddress=a%40b")
        self.assertEqual(status, 200)

        # A FIFO or a device is refused at once, never waited on.
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        for path in (fifo, "/dev/zero"):
            status, body = h.http("GET", "/GetFileView.cgi?" + urllib.parse.quote(path))
            self.assertEqual(status, 500)
            self.assertIn(b"Not a regular file", body)

        # A client asks for a large file and never reads the reply.
        big = os.path.join(self.dir, "big.bin")
        with open(big, "wb") as f:
            f.truncate(512 << 20)
        stuck = socket.create_connection(("127.0.0.1", h.PORT))
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stuck.sendall(h.request_bytes("GET", "/GetFileView.cgi?" + urllib.parse.quote(big)))
        # One sends half a header and nothing more.
        slow = socket.create_connection(("127.0.0.1", h.PORT))
        slow.sendall(b"GET /WatchSetting.cgi HTTP/1.0\r\nHost: x")
        # And a listing runs longer than the server waits for its requests.
        h.write(self.path("bin/tree"), "#!/bin/sh\nsleep 9\n")
        listing = threading.Thread(target=h.http, args=("GET", "/GetTree.cgi"))
        listing.start()
        time.sleep(1)

        started = time.time()
        self.service.signal(signal.SIGTERM)
        status, out = self.service.wait(timeout=30)
        elapsed = time.time() - started
        stuck.close()
        slow.close()
        listing.join()
        self.assertEqual(status, 0, out)
        # The settings are saved once the server has waited its 5 s for the
        # requests; the process then ends when the listing's thread has
        # ended (8 s after the signal). A server whose destruction does not
        # wait for such a thread ends it within 2 s run loop + 5 s + 1 s.
        self.assertLess(elapsed, 11.0)
        self.assertIn(b'"saved.example","a@b"', h.read(self.path("data/env.csv")))
        self.assertTrue(self.log().endswith(b"\nScanLantern Service Stop.\n\n\n"))


if __name__ == "__main__":
    import unittest
    unittest.main()
