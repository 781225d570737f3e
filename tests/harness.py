"""Helpers for the service-level tests: install the service into a fresh
prefix, start the real binary, talk to it and stop it again.

The build directory comes from the environment variable SL_BUILD_DIR, which
CTest sets. Every test that starts the service holds the CTest resource lock
"service" (fixed PID file path and fixed port 4009)."""

import datetime
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PID_FILE = "/var/run/ScanLanternService.pid"
PORT = 4009
BUILD_DIR = os.environ.get("SL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))


def euc(text):
    """A str as the EUC-JP bytes the service writes."""
    return text.encode("euc_jp")


def make_prefix():
    """A fresh installation directory. Its path never holds "bin/", which the
    service removes when it derives its base directory."""
    while True:
        path = tempfile.mkdtemp(prefix="sl-inst-")
        if "bin" not in path:
            return path
        shutil.rmtree(path)


def install(prefix=None):
    """Installs the build into prefix (a new one by default); returns
    (prefix, output of the install step)."""
    prefix = prefix or make_prefix()
    out = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix],
                         check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True).stdout
    return prefix, out


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


def log_path(prefix, day=None):
    day = day or datetime.date.today()
    return os.path.join(prefix, "log", day.strftime("%Y%m%d") + ".log")


def read_log(prefix):
    """All of today's log (and yesterday's, around midnight) as bytes."""
    data = b""
    for day in (datetime.date.today() - datetime.timedelta(days=1), datetime.date.today()):
        path = log_path(prefix, day)
        if os.path.exists(path):
            data += read(path)
    return data


def conf_text(rows):
    """The watch list with the given rows (tuples of five str or bytes)."""
    out = b'"FileName","SearchString","SearchCount","MailAddress","Command"\n'
    for row in rows:
        cells = [c if isinstance(c, bytes) else c.encode("euc_jp") for c in row]
        out += b",".join(b'"' + c.replace(b'"', b'""') + b'"' for c in cells) + b"\n"
    return out


def env_text(user="admin", password="secret", smtp="", sender="", subject="", body=""):
    cells = [user, password, smtp, sender, subject, body]
    cells = [c if isinstance(c, bytes) else c.encode("euc_jp") for c in cells]
    return (b'"UserID","Password","SMTPServer","FromMailAddress","MailSubject","MailBody"\n' +
            b",".join(b'"' + c.replace(b'"', b'""') + b'"' for c in cells) + b"\n")


def port_open(port=PORT, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


class Service:
    """One running ScanLanternService of an installed prefix."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.proc = None
        self.stdout = b""

    def start(self, wait_for_log=True, timeout=10):
        self.log_size_at_start = len(read_log(self.prefix))
        self.proc = subprocess.Popen([os.path.join(self.prefix, "bin", "ScanLanternService")],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, cwd=self.prefix)
        if wait_for_log:
            deadline = time.time() + timeout
            while time.time() < deadline:
                if euc("ScanLantern Service Start.") in read_log(self.prefix)[self.log_size_at_start:]:
                    return self
                if self.proc.poll() is not None:
                    raise AssertionError("service ended at start: %r" % self.proc.stdout.read())
                time.sleep(0.05)
            raise AssertionError("service did not log its start")
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait(self, timeout=15):
        """Waits for the process to end; returns (exit status, stdout)."""
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
            raise AssertionError("service did not end within %s s" % timeout)
        self.stdout += out or b""
        return self.proc.returncode, self.stdout

    def stop(self, timeout=15):
        if self.running():
            self.signal(signal.SIGTERM)
        return self.wait(timeout)

    def kill(self):
        if self.running():
            self.proc.kill()
            self.proc.communicate()
        if os.path.exists(PID_FILE):
            os.unlink(PID_FILE)


def wait_for(predicate, timeout=10, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()
