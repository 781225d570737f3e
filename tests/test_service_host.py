"""The installed service as a process: install layout, PID file, signals,
orderly stop and failed starts."""

import os
import re
import shutil
import signal
import stat
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

    def test_stale_pid_file_is_overwritten(self):
        h.write(h.PID_FILE, "99999\nScanLanternService\nStart Time 2000/01/01 00:00:00\n")
        self.service.start()
        self.assertEqual(h.read(h.PID_FILE).split(b"\n")[0], str(self.service.proc.pid).encode())
        status, out = self.service.stop()
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(b"ScanLanternService is already running\n"), out)

    def test_bad_search_count_fails_the_start(self):
        h.write(os.path.join(self.prefix, "data/ScanLantern.conf"),
                h.conf_text([("/var/log/none", "x", "abc", "", "")]))
        self.service.start(wait_for_log=False)
        status, out = self.service.wait()
        self.assertEqual(status, 1)
        self.assertIn(b"Error WatchFileServiceCreate.\n'abc' is not a valid integer value\n", out)
        log = h.read_log(self.prefix)
        self.assertIn(h.euc("レジストリにRootDirが存在しません。") +
                      b"\nWatchFileServiceCreate.\n'abc' is not a valid integer value\n\n\n", log)
        self.assertFalse(os.path.exists(h.PID_FILE))
        # The settings were never loaded, so they are not rewritten.
        self.assertIn(b'"abc"', h.read(os.path.join(self.prefix, "data/ScanLantern.conf")))

    def test_missing_log_directory_is_a_runtime_error(self):
        shutil.rmtree(os.path.join(self.prefix, "log"))
        self.service.start(wait_for_log=False)
        status, out = self.service.wait()
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(b"ScanLanternService RunTime Error.\n"), out)
        self.assertIn(b"Error WatchFileServiceCreate.\n", out)
        self.assertFalse(os.path.exists(h.PID_FILE))


if __name__ == "__main__":
    unittest.main()
