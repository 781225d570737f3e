"""The installed service as a process: install layout, PID file, signals,
orderly stop and failed starts."""

import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import time
import unittest

import harness as h

CONF_HEADER = b'"FileName","SearchString","SearchCount","MailAddress","Command"\n'
ENV_HEADER = b'"UserID","Password","SMTPServer","FromMailAddress","MailSubject","MailBody"\n'


class InstallTest(unittest.TestCase):
    def test_layout_and_upgrade_keeps_settings(self):
        prefix, out = h.install()
        try:
            for rel in ("bin/ScanLanternService", "bin/tree", "bin/scanlantern"):
                self.assertTrue(os.access(os.path.join(prefix, rel), os.X_OK), rel)
            self.assertEqual(h.read(os.path.join(prefix, "data/ScanLantern.conf")), CONF_HEADER)
            env = h.read(os.path.join(prefix, "data/env.csv"))
            self.assertTrue(env.startswith(ENV_HEADER))
            password = re.search(r"user admin, password (\S+)", out).group(1)
            self.assertRegex(password, r"^[A-Za-z0-9]{16}$")
            self.assertTrue(env[len(ENV_HEADER):].startswith(
                b'"admin","' + password.encode() + b'","",""'))
            self.assertEqual(os.listdir(os.path.join(prefix, "log")), [])
            self.assertTrue(os.path.isdir(os.path.join(prefix, "www")))
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(prefix, "data/env.csv")).st_mode), 0o600)

            # A second install over the first keeps both settings files.
            h.write(os.path.join(prefix, "data/env.csv"), h.env_text(password="mine"))
            h.write(os.path.join(prefix, "data/ScanLantern.conf"), h.conf_text([("/x", "y", "1", "", "")]))
            _, again = h.install(prefix)
            self.assertNotIn("password", again)
            self.assertEqual(h.read(os.path.join(prefix, "data/env.csv")), h.env_text(password="mine"))
            self.assertEqual(h.read(os.path.join(prefix, "data/ScanLantern.conf")),
                             h.conf_text([("/x", "y", "1", "", "")]))
        finally:
            shutil.rmtree(prefix)


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        if os.path.exists(h.PID_FILE):
            os.unlink(h.PID_FILE)
        self.prefix, _ = h.install()
        self.service = h.Service(self.prefix)

    def tearDown(self):
        self.service.kill()
        shutil.rmtree(self.prefix)

    def test_start_pid_file_sighup_and_orderly_stop(self):
        # An env.csv without data row gains the default row, written at the stop.
        h.write(os.path.join(self.prefix, "data/env.csv"), ENV_HEADER)
        started = time.time()
        self.service.start()
        pid_text = h.read(h.PID_FILE).decode()
        lines = pid_text.split("\n")
        self.assertEqual(len(lines), 4, pid_text)
        self.assertEqual(lines[0], str(self.service.proc.pid))
        self.assertEqual(lines[1], "ScanLanternService")
        self.assertRegex(lines[2], r"^Start Time \d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")
        self.assertEqual(lines[3], "")
        log = h.read_log(self.prefix)
        self.assertRegex(log, re.escape(h.euc("サービスを開始しました。")) +
                         b"\nScanLantern Service Start.\n\n\n$")
        self.assertLess(abs(time.mktime(time.strptime(lines[2][11:], "%Y/%m/%d %H:%M:%S")) - started), 3)

        # SIGHUP changes nothing.
        self.service.signal(signal.SIGHUP)
        time.sleep(1.5)
        self.assertTrue(self.service.running())
        self.assertEqual(h.read(os.path.join(self.prefix, "data/env.csv")), ENV_HEADER)

        t0 = time.time()
        status, out = self.service.stop()
        elapsed = time.time() - t0
        self.assertEqual(status, 0, out)
        self.assertLess(elapsed, 3.5)
        self.assertFalse(os.path.exists(h.PID_FILE))
        env = h.read(os.path.join(self.prefix, "data/env.csv"))
        self.assertTrue(env.startswith(ENV_HEADER + b'"","","","","ScanLantern Notify from \\ServerName\\","'))
        log = h.read_log(self.prefix)
        self.assertTrue(log.endswith(h.euc("サービスを停止しました。") + b"\nScanLantern Service Stop.\n\n\n"), log[-200:])
        # The stop entry is written after the settings were saved.
        log_mtime = os.stat(h.log_path(self.prefix)).st_mtime
        self.assertLessEqual(os.stat(os.path.join(self.prefix, "data/env.csv")).st_mtime, log_mtime)

    def script(self, *args):
        return subprocess.run([os.path.join(self.prefix, "bin", "scanlantern"), *args],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)

    def test_second_start_leaves_the_first_alone(self):
        h.write(os.path.join(self.prefix, "data/ScanLantern.conf"),
                h.conf_text([("/var/log/none", "x", "1", "", "")]))
        self.service.start()
        pid_text = h.read(h.PID_FILE)
        settings = [h.read(os.path.join(self.prefix, "data", n)) for n in ("ScanLantern.conf", "env.csv")]
        second = subprocess.run([os.path.join(self.prefix, "bin", "ScanLanternService")],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=5)
        self.assertEqual(second.returncode, 1)
        self.assertEqual(second.stdout, b"ScanLanternService is already running\n"
                         b"ScanLanternService is running as pid %d\n" % self.service.proc.pid)
        self.assertTrue(self.service.running())
        self.assertEqual(h.read(h.PID_FILE), pid_text)
        self.assertTrue(h.port_open())
        self.assertEqual([h.read(os.path.join(self.prefix, "data", n)) for n in ("ScanLantern.conf", "env.csv")],
                         settings)
        self.assertEqual(self.script("status").returncode, 0)

        # Without its PID file the service is still found and stopped.
        os.unlink(h.PID_FILE)
        status = self.script("status")
        self.assertEqual(status.returncode, 0, status.stdout)
        stop = self.script("stop")
        self.assertEqual(stop.returncode, 0, stop.stdout)
        self.assertIn(b"without its PID file", stop.stdout)
        self.assertEqual(self.service.wait()[0], 0)
        self.assertEqual(self.script("status").returncode, 3)
        # A PID file whose process is gone: dead (1).
        h.write(h.PID_FILE, "99999999\nScanLanternService\nStart Time 2000/01/01 00:00:00\n")
        self.assertEqual(self.script("status").returncode, 1)

    def test_left_behind_pid_file_and_temporary_files_are_taken_over(self):
        h.write(h.PID_FILE, "99999\nScanLanternService\nStart Time 2000/01/01 00:00:00\n")
        data = os.path.join(self.prefix, "data")
        left = ["env.csv.tmp.0123456789abcdef", "ScanLantern.conf.tmp.fedcba9876543210"]
        kept = ["notes.tmp.0123456789abcdeg", "env.csv.tmp.0123", "link.tmp.0123456789abcdef"]
        for name in left + kept[:2]:
            h.write(os.path.join(data, name), '"UserID","Password"\n"admin","old"\n')
        os.symlink("/etc/hostname", os.path.join(data, kept[2]))
        self.service.start()
        self.assertEqual(h.read(h.PID_FILE).split(b"\n")[0], str(self.service.proc.pid).encode())
        self.assertEqual(sorted(n for n in os.listdir(data) if ".tmp." in n), sorted(kept))
        self.assertIn(b"Removed 2 temporary file(s) left by interrupted saves in ", h.read_log(self.prefix))
        status, out = self.service.stop()
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(b"ScanLanternService is already running\n"), out)

    def test_bad_watch_list_fails_start_and_check_with_its_place(self):
        conf = os.path.join(self.prefix, "data/ScanLantern.conf")
        h.write(conf, h.conf_text([("/var/log/none", "x", "1", "", ""), ("/var/log/none", "x", "abc", "", "")]))
        where = conf.encode() + b":3: SearchCount: abc: 'abc' is not a valid integer value\n"
        started = self.script("start")
        self.assertEqual(started.returncode, 1, started.stdout)
        self.assertIn(where, started.stdout)
        self.assertIn(h.euc("レジストリにRootDirが存在しません。") + b"\nWatchFileServiceCreate.\n" + where,
                      h.read_log(self.prefix))
        self.assertFalse(os.path.exists(h.PID_FILE))
        # The settings were never loaded, so they are not rewritten.
        self.assertIn(b'"abc"', h.read(conf))

        check = self.script("check")
        self.assertEqual((check.returncode, check.stdout), (1, where))
        h.write(conf, h.conf_text([("/var/log/none", "x", "1", "", "")]))
        check = self.script("check")
        self.assertEqual(check.returncode, 0, check.stdout)
        env = os.path.join(self.prefix, "data/env.csv")
        h.write(env, b'"UserID","Password","MailRetryHours"\n"admin","secret","9999"\n')
        check = self.script("check")
        self.assertEqual((check.returncode, check.stdout.splitlines()[0]),
                         (1, env.encode() + b":2: MailRetryHours: 9999: not a number of hours from 0 "
                                            b"to 8760 (empty tries a mail for 24 hours)"))
        exe = os.path.join(self.prefix, "bin", "ScanLanternService")
        self.assertEqual(subprocess.run([exe, "--version"], stdout=subprocess.PIPE).returncode, 0)
        usage = subprocess.run([exe, "--no-such"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((usage.returncode, usage.stdout), (2, b""))
        self.assertIn(b"--check", usage.stderr)

    def test_systemd_hears_ready_once_it_serves_and_stopping(self):
        sock_path = os.path.join(self.prefix, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(sock_path)
        sock.settimeout(15)
        self.service.start(wait_for_log=False, env={**os.environ, "NOTIFY_SOCKET": sock_path})
        self.assertEqual(sock.recv(4096), b"READY=1")
        self.assertTrue(h.port_open())
        self.service.signal(signal.SIGTERM)
        self.assertEqual(sock.recv(4096), b"STOPPING=1")
        self.assertEqual(self.service.wait()[0], 0)

    def test_missing_log_directory_does_not_stop_the_service(self):
        # Without its log the service still starts, serves and stops
        # cleanly; standard error says what it could not write.
        shutil.rmtree(os.path.join(self.prefix, "log"))
        self.service.start(wait_for_log=False)

        def answered():
            try:
                return h.http("GET", "/WatchSetting.cgi")[0]
            except OSError:
                return None
        self.assertIn(h.wait_for(answered, timeout=10), (200, 401))  # served (the login aside)
        status, out = self.service.stop()
        self.assertEqual(status, 0, out)
        self.assertRegex(out, rb"the event log cannot be written; the service goes on without this "
                              rb"entry.\nCannot open file .*/log/\d{8}\.log")
        self.assertNotIn(b"RunTime Error", out)
        self.assertNotIn(b"Error WatchFileServiceCreate.", out)
        self.assertFalse(os.path.exists(h.PID_FILE))


if __name__ == "__main__":
    unittest.main()
