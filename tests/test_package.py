"""Installation: the install step of `cmake --install`. Every program
started during an install is recorded with strace, so a fresh password on
any command line or in any environment would be seen."""

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
    and environment (in full) to trace_file."""
    return run(["strace", "-f", "-qq", "-v", "-s", "65536", "-e", "trace=execve",
                "-o", trace_file] + args)


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


if __name__ == "__main__":
    unittest.main()
