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
import sys
import tempfile
import time
import unittest
import urllib.parse

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

    def start(self, wait_for_log=True, timeout=10, env=None):
        self.log_size_at_start = len(read_log(self.prefix))
        self.proc = subprocess.Popen([os.path.join(self.prefix, "bin", "ScanLanternService")],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, cwd=self.prefix, env=env)
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


def process_table():
    """{pid: (parent pid, state letter)} of every live process, from /proc."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        table[int(entry)] = (int(fields[1]), fields[0])
    return table


# --- Peers ------------------------------------------------------------------

def peer_missing(reason):
    """A peer the test needs is missing (a program, a module, a mount, a free
    port): the test is skipped, but fails when the environment variable CI is
    set, where scripts/install-test-deps.sh has installed every peer."""
    if os.environ.get("CI", "") not in ("", "0", "false"):
        raise AssertionError("%s (the peer must be present when CI is set)" % reason)
    raise unittest.SkipTest(reason)


def require_peer(available, reason):
    """Calls peer_missing(reason) unless available."""
    if not available:
        peer_missing(reason)


def needs_peer(available, reason):
    """Class decorator: every test of the class meets peer_missing(reason) in
    its setUp unless available."""
    def decorate(cls):
        if not available:
            def setUp(self):
                peer_missing(reason)
            cls.setUp = setUp
        return cls
    return decorate


def port_25_in_use():
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", 25)) == 0


def start_mailbox(test):
    """Starts a real SMTP server (aiosmtpd) on 127.0.0.1:25 for the rest of
    the test; returns the list that receives the raw bytes of each message.
    Meets peer_missing when aiosmtpd is not installed."""
    try:
        from aiosmtpd.controller import Controller
    except ImportError:
        peer_missing("aiosmtpd is not installed")
    messages = []

    class Mailbox:
        async def handle_DATA(self, server, session, envelope):
            messages.append(envelope.original_content or envelope.content)
            return "250 OK"

    controller = Controller(Mailbox(), hostname="127.0.0.1", port=25)
    controller.start()
    test.addCleanup(controller.stop)
    return messages


# --- Raw HTTP exchanges and load helpers -----------------------------------

def sanitized():
    """True for a build under AddressSanitizer (SL_SANITIZED=1, or the build's
    cache says so); the load and fault tests scale their counts down."""
    if os.environ.get("SL_SANITIZED", "") not in ("", "0"):
        return True
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            return any(line.strip() in ("SL_SANITIZE:BOOL=ON", "SL_TSAN:BOOL=ON") for line in f)
    except OSError:
        return False


def report(text):
    """Writes a measured figure where CTest shows it (--output-on-failure, -V)."""
    sys.stderr.write("  [figures] %s\n" % text)
    sys.stderr.flush()


def sjis_form(fields):
    """A form body as a Shift_JIS page posts it."""
    return urllib.parse.urlencode(fields, encoding="shift_jis")


def ask_discovery(payload=b"Are You ScanLantern Agent?", timeout=3.0):
    """(answer, source address) of one discovery datagram from 127.0.0.1;
    (None, None) when no answer came within timeout."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(timeout)
        s.sendto(payload, ("127.0.0.1", PORT))
        try:
            return s.recvfrom(65536)
        except socket.timeout:
            return None, None


def basic_auth(user="admin", password="secret"):
    import base64
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def request_bytes(method, path, body=b"", auth=("admin", "secret"),
                  content_type="application/x-www-form-urlencoded", version="HTTP/1.0"):
    """One complete request as bytes; path and body go out unchanged."""
    head = ["%s %s %s" % (method, path, version), "Host: 127.0.0.1"]
    if auth is not None:
        head.append("Authorization: " + basic_auth(*auth))
    if isinstance(body, str):
        body = body.encode("latin-1")
    if body or method == "POST":
        head.append("Content-Type: " + content_type)
        head.append("Content-Length: %d" % len(body))
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body


def exchange(data, timeout=20, half_close=False, port=PORT, source=None):
    """Connects (from the loopback address source, when given), sends data,
    optionally ends the sending side, and reads until the server closes.
    Returns (reply bytes, local port of the connection, True when the server
    closed within the time-out). A connection reset by the server counts as
    closed."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                  source_address=(source, 0) if source else None) as s:
        local_port = s.getsockname()[1]
        deadline = time.time() + timeout
        reply = b""
        try:
            if data:
                s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
            while True:
                s.settimeout(max(0.05, deadline - time.time()))
                chunk = s.recv(65536)
                if not chunk:
                    return reply, local_port, True
                reply += chunk
        except socket.timeout:
            return reply, local_port, False
        except (ConnectionResetError, BrokenPipeError):
            return reply, local_port, True


def http(method, path, body=b"", timeout=20):
    """(status, body) of one request with the test login."""
    reply, _, _ = exchange(request_bytes(method, path, body), timeout=timeout)
    return status_of(reply), body_of(reply)


def status_of(reply):
    """The status code of a raw HTTP reply, or None for no status line."""
    line = reply.split(b"\r\n", 1)[0].split(b" ")
    if len(line) >= 2 and line[0].startswith(b"HTTP/") and line[1].isdigit():
        return int(line[1])
    return None


def body_of(reply):
    return reply.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in reply else b""


def read_csv_file(path):
    """Rows of a settings file as lists of str (EUC-JP), the header included.
    Raises on a file that is not whole CSV."""
    import csv
    import io
    text = read(path).decode("euc_jp")
    if text and not text.endswith("\n"):
        raise ValueError("settings file %s does not end with a line end" % path)
    return list(csv.reader(io.StringIO(text, newline="")))


class ServiceTestCase(unittest.TestCase):
    """A fresh installation for every test, with a folder "watched" in it for
    the watched files. `env` holds the env_text arguments that start()
    writes; None keeps the installed env.csv."""

    env = None

    def setUp(self):
        if os.path.exists(PID_FILE):
            os.unlink(PID_FILE)
        self.prefix, _ = install()
        self.dir = os.path.join(self.prefix, "watched")
        os.mkdir(self.dir)
        self.service = None

    def tearDown(self):
        if self.service:
            self.service.kill()
        shutil.rmtree(self.prefix, ignore_errors=True)

    def path(self, rel):
        return os.path.join(self.prefix, rel)

    def write_settings(self, rows, **env):
        if self.env is not None or env:
            write(self.path("data/env.csv"), env_text(**{**(self.env or {}), **env}))
        write(self.path("data/ScanLantern.conf"), conf_text(rows))

    def start(self, rows, **env):
        self.write_settings(rows, **env)
        self.service = Service(self.prefix).start()

    def log(self):
        return read_log(self.prefix)

    def append(self, path, data):
        with open(path, "ab") as f:
            f.write(data if isinstance(data, bytes) else data.encode("euc_jp"))
