"""Installation: the install step of `cmake --install` and the Debian
package on this machine (built with cpack, checked by lintian, installed
with dpkg into /opt/scanlantern, started with the start script, upgraded,
removed and purged). Every program started during an install is recorded
with strace, so a fresh password on any command line or in any environment
would be seen."""

import glob
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

import harness as h

BASE = "/opt/scanlantern"
START = BASE + "/bin/scanlantern"
UNIT = "/lib/systemd/system/scanlantern.service"
LOGIN = re.compile(r"user admin, password (\S+)")
CONF_HEADER = b'"FileName","SearchString","SearchCount","MailAddress","Command"\n'
ENV_HEADER = b'"UserID","Password","SMTPServer","FromMailAddress","MailSubject","MailBody"\n'


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def traced(args, trace_file):
    """Runs args under strace, which writes every execve with its arguments
    and environment (in full) to trace_file. (The leak checker of a
    sanitizer build cannot run under a tracer.)"""
    asan = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o] + ["detect_leaks=0"]
    env = dict(os.environ, ASAN_OPTIONS=":".join(asan))
    return run(["strace", "-f", "-qq", "-v", "-s", "65536", "-e", "trace=execve",
                "-o", trace_file] + args, env=env)


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


class InstallStepTest(unittest.TestCase):
    def test_fresh_password_shown_once_and_never_on_a_command_line(self):
        prefix = h.make_prefix()
        self.addCleanup(shutil.rmtree, prefix, True)
        trace = tempfile.NamedTemporaryFile(prefix="sl-trace-", delete=False).name
        self.addCleanup(os.unlink, trace)
        result = traced(["cmake", "--install", h.BUILD_DIR, "--prefix", prefix], trace)
        self.assertEqual(result.returncode, 0, result.stdout)
        passwords = LOGIN.findall(result.stdout)
        self.assertEqual(len(passwords), 1, result.stdout)
        password = passwords[0]
        self.assertRegex(password, r"^[A-Za-z0-9]{16}$")
        commands = h.read(trace).decode("latin-1")
        self.assertIn("scanlantern-init", commands)
        self.assertNotIn(password, commands)
        self.assertEqual(result.stdout.count(password), 1)

        self.assertEqual(mode(os.path.join(prefix, "data")), 0o700)
        self.assertEqual(mode(os.path.join(prefix, "log")), 0o750)
        self.assertEqual(mode(os.path.join(prefix, "data/env.csv")), 0o600)
        self.assertEqual(sorted(os.listdir(os.path.join(prefix, "data"))),
                         ["ScanLantern.conf", "env.csv"])


@unittest.skipIf(h.sanitized(), "the package is built and tested in the release stage")
class PackageTest(unittest.TestCase):
    def dpkg(self, *args, trace=None):
        """dpkg with args; waits while another package manager holds the lock."""
        deadline = time.time() + 180
        while True:
            cmd = ["dpkg"] + list(args)
            result = traced(cmd, trace) if trace else run(cmd)
            if "lock" not in result.stdout or result.returncode == 0 or time.time() > deadline:
                return result
            time.sleep(2)

    def installed_version(self):
        result = run(["dpkg-query", "-W", "-f", "${Status} ${Version}", "scanlantern"])
        fields = result.stdout.split()
        return fields[3] if result.returncode == 0 and fields[2:3] == ["installed"] else None

    def clean_up(self):
        if os.path.exists(START):
            run([START, "stop"])
        self.dpkg("--purge", "scanlantern")
        shutil.rmtree(BASE, ignore_errors=True)

    def build(self, outdir, version=None):
        args = ["cpack", "-G", "DEB", "--config", os.path.join(h.BUILD_DIR, "CPackConfig.cmake"),
                "-B", outdir]
        if version:
            args += ["-D", "CPACK_PACKAGE_VERSION=" + version]
        result = run(args, cwd=h.BUILD_DIR)
        self.assertEqual(result.returncode, 0, result.stdout)
        debs = glob.glob(os.path.join(outdir, "scanlantern_*.deb"))
        self.assertEqual(len(debs), 1, debs)
        return debs[0]

    def login(self, password):
        reply, _, _ = h.exchange(h.request_bytes("GET", "/", auth=("admin", password)))
        return h.status_of(reply)

    def pid(self):
        return h.read(h.PID_FILE).split(b"\n")[0].decode() if os.path.exists(h.PID_FILE) else None

    def setUp(self):
        if os.path.exists(BASE) and self.installed_version() is None:
            self.fail(BASE + " exists but the package is not installed: not touching it")
        self.tmp = tempfile.mkdtemp(prefix="sl-pkg-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.addCleanup(self.clean_up)
        self.clean_up()  # a package left behind by an interrupted run of this test

    def test_install_start_upgrade_remove_purge(self):
        deb = self.build(os.path.join(self.tmp, "first"))
        lint = run(["lintian", "--fail-on", "error", deb])
        self.assertEqual(lint.returncode, 0, lint.stdout)
        sys.stderr.write("lintian:\n" + lint.stdout)
        info = run(["dpkg-deb", "-f", deb, "Depends", "Version"]).stdout
        self.assertRegex(info, r"Depends: (.*, )?tree(,|\n)")
        self.assertIn("libc6", info)
        version = re.search(r"Version: (\S+)", info).group(1)

        # A fresh install: settings created with their modes, the login
        # printed once and nowhere else, the way to start it told.
        trace = os.path.join(self.tmp, "trace")
        installed = self.dpkg("-i", deb, trace=trace)
        self.assertEqual(installed.returncode, 0, installed.stdout)
        passwords = LOGIN.findall(installed.stdout)
        self.assertEqual(len(passwords), 1, installed.stdout)
        password = passwords[0]
        self.assertNotIn(password, h.read(trace).decode("latin-1"))
        self.assertIn(START + " start", installed.stdout)
        self.assertTrue(os.path.isfile(UNIT))
        self.assertEqual(os.readlink(BASE + "/bin/tree"), "/usr/bin/tree")
        self.assertTrue(os.access(BASE + "/bin/scanlantern-console", os.X_OK))
        self.assertEqual((mode(BASE + "/data"), mode(BASE + "/log"), mode(BASE + "/data/env.csv")),
                         (0o700, 0o750, 0o600))
        self.assertEqual(h.read(BASE + "/data/ScanLantern.conf"), CONF_HEADER)
        self.assertTrue(h.read(BASE + "/data/env.csv").startswith(
            ENV_HEADER + b'"admin","' + password.encode() + b'"'))

        # Started with the start script; the printed password logs in, and a
        # watch entry saved through the pages reaches the settings file.
        started = run([START, "start"])
        self.assertEqual(started.returncode, 0, started.stdout)
        self.assertTrue(h.wait_for(h.port_open), "no answer on port 4009")
        self.assertEqual(self.login(password), 200)
        self.assertEqual(self.login("wrong"), 401)
        watched = os.path.join(self.tmp, "watched.log")
        h.write(watched, b"")
        form = urllib.parse.urlencode([("HidWatchFileName", watched), ("WatchSearchString", "fail"),
                                       ("WatchSearchCount", "2"), ("WatchMailAddress", ""),
                                       ("HidWatchCommand", "")])
        for path, body in (("/AddWatch.cgi", form), ("/SaveSetting.cgi", "")):
            reply, _, _ = h.exchange(h.request_bytes("POST", path, body, auth=("admin", password)))
            self.assertEqual(h.status_of(reply), 200, reply[:300])
        self.assertIn(watched.encode(), h.read(BASE + "/data/ScanLantern.conf"))
        self.assertEqual(mode(h.log_path(BASE)), 0o640)
        self.assertEqual(mode(BASE + "/log/console.out"), 0o640)
        settings = {name: h.read(BASE + "/data/" + name) for name in ("ScanLantern.conf", "env.csv")}
        first_pid = self.pid()

        # An upgrade keeps the settings byte for byte and restarts the service.
        newer = version + ".1"
        self.assertEqual(run(["dpkg", "--compare-versions", newer, "gt", version]).returncode, 0)
        upgraded = self.dpkg("-i", self.build(os.path.join(self.tmp, "second"), newer))
        self.assertEqual(upgraded.returncode, 0, upgraded.stdout)
        self.assertNotIn("password", upgraded.stdout)
        self.assertEqual(self.installed_version(), newer)
        self.assertTrue(h.wait_for(lambda: self.pid() not in (None, first_pid) and h.port_open()),
                        upgraded.stdout)
        self.assertEqual(self.login(password), 200)
        for name, data in settings.items():
            self.assertEqual(h.read(BASE + "/data/" + name), data, name)

        # Remove: the service stopped, the program gone, settings and logs kept.
        removed = self.dpkg("-r", "scanlantern")
        self.assertEqual(removed.returncode, 0, removed.stdout)
        self.assertIsNone(self.pid())
        self.assertFalse(h.port_open())
        self.assertEqual(sorted(os.listdir(BASE)), ["data", "log"])
        self.assertFalse(os.path.exists(UNIT))
        for name, data in settings.items():
            self.assertEqual(h.read(BASE + "/data/" + name), data, name)
        self.assertTrue(os.path.exists(h.log_path(BASE)))

        # Purge: nothing left.
        purged = self.dpkg("--purge", "scanlantern")
        self.assertEqual(purged.returncode, 0, purged.stdout)
        self.assertFalse(os.path.exists(BASE))
        self.assertIsNone(self.installed_version())
        left = glob.glob("/etc/systemd/system/**/scanlantern*", recursive=True) + \
            glob.glob("/var/lib/systemd/deb-systemd-helper-*/**/scanlantern*", recursive=True)
        self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()
