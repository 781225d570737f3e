"""The console against real agents: two services, each in a network
namespace of its own (and a private /run, so each has its own PID file),
joined by a bridge in a third namespace; the console runs in a fourth.
Nothing of this test touches the host's port 4009 or PID file."""

import json
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

import harness as h

SWITCH = "slc-sw"
AGENTS = {"slc-a": ("10.213.0.1", "slc-agent-a"), "slc-b": ("10.213.0.2", "slc-agent-b")}
CONSOLE_NS, CONSOLE_ADDR = "slc-c", "10.213.0.3"
NOTHING = "10.213.0.9"  # an address on the subnet where nobody is
BROADCAST = "10.213.0.255"
NAMESPACES = [SWITCH, CONSOLE_NS] + list(AGENTS)


def ip(*args):
    return subprocess.run(["ip"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def remove_namespaces():
    for ns in NAMESPACES:
        ip("netns", "del", ns)


def make_network():
    """The bridge and one veth pair per namespace; raises with ip's words."""
    remove_namespaces()
    steps = [("netns", "add", SWITCH), ("-n", SWITCH, "link", "add", "slc-br", "type", "bridge"),
             ("-n", SWITCH, "link", "set", "slc-br", "up")]
    hosts = [(ns, addr) for ns, (addr, _) in AGENTS.items()] + [(CONSOLE_NS, CONSOLE_ADDR)]
    for ns, addr in hosts:
        steps += [("netns", "add", ns),
                  ("link", "add", ns + "0", "netns", ns, "type", "veth", "peer", "name", ns + "1",
                   "netns", SWITCH),
                  ("-n", SWITCH, "link", "set", ns + "1", "master", "slc-br", "up"),
                  ("-n", ns, "addr", "add", addr + "/24", "brd", "+", "dev", ns + "0"),
                  ("-n", ns, "link", "set", ns + "0", "up"),
                  ("-n", ns, "link", "set", "lo", "up")]
    for step in steps:
        result = ip(*step)
        if result.returncode != 0:
            raise RuntimeError("ip %s: %s" % (" ".join(step), result.stdout.decode(errors="replace")))


class ConsoleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if shutil.which("ip") is None or shutil.which("unshare") is None or os.geteuid() != 0:
            h.peer_missing("the console test needs root, iproute2 and unshare")
        cls.prefixes, cls.services = {}, []
        try:
            make_network()
            for ns, (addr, name) in AGENTS.items():
                cls.start_agent(ns, name)
        except Exception as e:
            cls.tearDownClass()
            if isinstance(e, RuntimeError):
                h.peer_missing("cannot make the network: %s" % e)
            raise
        cls.console_bin = os.path.join(cls.prefixes["slc-a"], "bin", "scanlantern-console")

    @classmethod
    def start_agent(cls, ns, name):
        prefix, _ = h.install()
        cls.prefixes[ns] = prefix
        watched = os.path.join(prefix, "app.log")
        h.write(watched, b"")
        h.write(os.path.join(prefix, "data/env.csv"), h.env_text(subject="監視"))
        h.write(os.path.join(prefix, "data/ScanLantern.conf"),
                h.conf_text([(watched, "ERROR", "1", "", "")]))
        # Its own host name (UTS namespace) and its own /run for the PID file.
        script = 'hostname "$1" && mount -t tmpfs slc-run /run && exec "$0"'
        proc = subprocess.Popen(
            ["ip", "netns", "exec", ns, "unshare", "--uts", "sh", "-c", script,
             os.path.join(prefix, "bin", "ScanLanternService"), name],
            cwd=prefix, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        cls.services.append(proc)
        if not h.wait_for(lambda: h.euc("ScanLantern Service Start.") in h.read_log(prefix) or
                          proc.poll() is not None, timeout=15):
            raise AssertionError("the agent in %s did not start" % ns)
        if proc.poll() is not None:
            raise AssertionError("the agent in %s ended: %r" % (ns, proc.stdout.read()))

    @classmethod
    def tearDownClass(cls):
        for proc in cls.services:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            try:
                proc.communicate(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
        remove_namespaces()
        for prefix in cls.prefixes.values():
            shutil.rmtree(prefix, ignore_errors=True)

    def console(self, *args, password="secret", extra_env=None):
        env = dict(os.environ, SCANLANTERN_USER="admin", SCANLANTERN_PASSWORD=password,
                   **(extra_env or {}))
        return subprocess.run(["ip", "netns", "exec", CONSOLE_NS, self.console_bin] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=40)

    def test_discover_lists_both_agents(self):
        result = self.console("discover", "--broadcast", BROADCAST, "--timeout", "1")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.decode(),
                         "10.213.0.1       slc-agent-a\n10.213.0.2       slc-agent-b\n")
        result = self.console("discover", "--broadcast", BROADCAST, "--timeout", "1", "--json")
        self.assertEqual(json.loads(result.stdout),
                         [{"address": "10.213.0.1", "host": "slc-agent-a"},
                          {"address": "10.213.0.2", "host": "slc-agent-b"}])

    def test_get_put_get(self):
        prefix = self.prefixes["slc-b"]
        agent = AGENTS["slc-b"][0]
        result = self.console("get", agent)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = result.stdout.decode("utf-8")
        lines = text.splitlines()
        self.assertEqual(lines[0], '"%s/app.log","ERROR","1","",""' % prefix)
        self.assertTrue(lines[1].startswith('"監視","'), lines[1])
        self.assertTrue(lines[1].endswith(',"slc-agent-b"'), lines[1])

        # A new entry with Japanese words and a new subject, as a person
        # edits the file; the log path line stays in and is dropped.
        work = tempfile.mkdtemp(prefix="slc-")
        self.addCleanup(shutil.rmtree, work, True)
        changed = os.path.join(work, "list.txt")
        lines.insert(1, '"%s/other.log","エラー","2","ops@example.org","logger hit"' % prefix)
        lines[2] = lines[2].replace('"監視"', '"監視通知"', 1)
        h.write(changed, ("\n".join(lines) + "\n").encode("utf-8"))
        result = self.console("put", agent, changed)
        self.assertEqual((result.returncode, result.stdout.decode()), (0, agent + ": 200 OK\n"),
                         result.stderr)
        saved = h.read_csv_file(os.path.join(prefix, "data/ScanLantern.conf"))
        self.assertEqual(saved[2], [prefix + "/other.log", "エラー", "2", "ops@example.org",
                                    "logger hit"])
        self.assertIn("監視通知", h.read(os.path.join(prefix, "data/env.csv")).decode("euc_jp"))
        out = os.path.join(work, "again.txt")
        self.assertEqual(self.console("get", agent, out).returncode, 0)
        self.assertEqual(h.read(out).decode("utf-8").splitlines()[:3], lines[:3])

        # A list with a bad count is refused before anything is sent.
        bad = os.path.join(work, "bad.txt")
        h.write(bad, ('"/x.log","E","zwei","",""\n' + lines[-2] + "\n").encode("utf-8"))
        result = self.console("put", agent, bad)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode(),
                         bad + ":1: SearchCount: zwei: 'zwei' is not a valid integer value\n")
        self.assertEqual(len(h.read_csv_file(os.path.join(prefix, "data/ScanLantern.conf"))), 3)

    def test_status_of_both_and_of_nobody(self):
        a, b = AGENTS["slc-a"][0], AGENTS["slc-b"][0]
        with open(os.path.join(self.prefixes["slc-a"], "app.log"), "ab") as f:
            f.write(b"an ERROR line\n")
        h.wait_for(lambda: b"an ERROR line" in h.read_log(self.prefixes["slc-a"]), timeout=10)
        result = self.console("status", a, b + ":4009")
        self.assertEqual(result.returncode, 0, result.stderr)
        first, second = result.stdout.decode().splitlines()
        self.assertRegex(first, r"^10\.213\.0\.1  queue=\d+  last=\d{4}/\d\d/\d\d \d\d:\d\d:\d\d  "
                         + self.prefixes["slc-a"] + "/app.log:reading$")
        self.assertTrue(second.startswith("10.213.0.2  queue=0  last=none  "), second)

        started = time.time()
        result = self.console("status", a, NOTHING)
        self.assertEqual(result.returncode, 3)
        self.assertTrue(result.stdout.decode().splitlines()[1].startswith(NOTHING + "  error: "),
                        result.stdout)
        h.report("an address with nothing on it: exit 3 after %.1f s" % (time.time() - started))

    def test_refusals(self):
        agent = AGENTS["slc-a"][0]
        result = self.console("get", agent, password="wrong")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"401 Unauthorized", result.stderr)

        work = tempfile.mkdtemp(prefix="slc-")
        self.addCleanup(shutil.rmtree, work, True)
        creds = os.path.join(work, "login")
        h.write(creds, b"admin\nsecret\n")
        os.chmod(creds, 0o644)
        result = self.console("get", agent, "--credentials", creds, password="wrong")
        self.assertEqual(result.returncode, 2)
        self.assertIn(b"0600", result.stderr)
        os.chmod(creds, stat.S_IRUSR | stat.S_IWUSR)
        self.assertEqual(self.console("get", agent, "--credentials", creds,
                                      password="wrong").returncode, 0)

        self.assertEqual(self.console("get", AGENTS["slc-a"][0] + ":4010").returncode, 3)
        self.assertEqual(self.console("get").returncode, 2)


if __name__ == "__main__":
    unittest.main()
