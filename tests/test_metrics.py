"""Many hosts: a real Prometheus scrapes the service's "/metrics" with
basic_auth, promtool accepts the page, and "/healthz" answers a probe
without a login."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

import harness as h

PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")
PROMETHEUS_PORT = 19099

CONFIG = """global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: scanlantern
    basic_auth:
      username: admin
      password: secret
    static_configs:
      - targets: ["127.0.0.1:4009"]
"""


def prometheus_query(expression):
    url = "http://127.0.0.1:%d/api/v1/query?query=%s" % (PROMETHEUS_PORT, urllib.parse.quote(expression))
    with urllib.request.urlopen(url, timeout=5) as reply:
        return json.load(reply)["data"]["result"]


@h.needs_peer(PROMETHEUS is not None and PROMTOOL is not None, "prometheus is not installed")
class MetricsTest(h.ServiceTestCase):
    env = {}  # the login admin / secret

    def start_prometheus(self):
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work, True)
        h.write(os.path.join(work, "prometheus.yml"), CONFIG.encode())
        proc = subprocess.Popen([PROMETHEUS, "--config.file=" + os.path.join(work, "prometheus.yml"),
                                 "--storage.tsdb.path=" + os.path.join(work, "data"),
                                 "--web.listen-address=127.0.0.1:%d" % PROMETHEUS_PORT],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)

        def ready():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/-/ready" % PROMETHEUS_PORT, timeout=2) as r:
                    return r.status == 200
            except OSError:
                return False
        self.assertTrue(h.wait_for(ready, timeout=30), "prometheus did not start")

    def test_prometheus_scrapes_a_trigger_and_the_probe_needs_no_login(self):
        path = os.path.join(self.dir, "app.log")
        h.write(path, b"")
        self.start([(path, "障害 ERROR", "1", "", ""), (path, 'say "hi"', "1", "", "")])

        # The probe: no login, "ok" once the first pass is done, and one log
        # line however often it asks.
        def probe():
            reply, _, _ = h.exchange(h.request_bytes("GET", "/healthz", auth=None))
            return h.status_of(reply), h.body_of(reply)
        self.assertEqual(probe(), (503, b"starting\n"))
        self.assertTrue(h.wait_for(lambda: probe() == (200, b"ok\n"), timeout=5))
        for _ in range(3):
            reply, _, _ = h.exchange(h.request_bytes("GET", "/healthz", auth=None))
            self.assertEqual((h.status_of(reply), h.body_of(reply)), (200, b"ok\n"))
        self.assertEqual(self.log().count(b"Command GET /healthz"), 1)
        self.assertEqual(h.status_of(h.exchange(h.request_bytes("GET", "/metrics", auth=None))[0]), 401)

        # The page as the format's own checker sees it.
        status, page = h.http("GET", "/metrics")
        self.assertEqual(status, 200)
        check = subprocess.run([PROMTOOL, "check", "metrics"], input=page, capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertIn('words="say \\"hi\\""'.encode(), page)

        # Prometheus itself, with basic_auth, sees a trigger go up.
        self.start_prometheus()
        series = 'scanlantern_entry_triggers_total{words="障害 ERROR"}'
        self.assertTrue(h.wait_for(lambda: prometheus_query(series), timeout=30), "never scraped")
        self.assertEqual(prometheus_query(series)[0]["value"][1], "0")
        self.append(path, "障害 ERROR disk full\n")
        self.assertTrue(h.wait_for(lambda: prometheus_query(series)[0]["value"][1] == "1", timeout=30),
                        prometheus_query(series))
        self.assertEqual(prometheus_query('up{job="scanlantern"}')[0]["value"][1], "1")
        labels = prometheus_query(series)[0]["metric"]
        h.report("scraped: %r" % labels)
        self.assertEqual(labels["file"], path)


if __name__ == "__main__":
    unittest.main()
