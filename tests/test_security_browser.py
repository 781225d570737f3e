"""A real browser against forged requests and script in the pages: headless
Chromium logs in to the administration, then opens a page of another origin
(another port on 127.0.0.1) that submits a text/plain form to the console's
post route and loads it as an image. Nothing changes. The reflected-script
address of the file view, opened in the same browser, runs no script.

Uses the browser set-up of test_browser.py (Chromium, its driver and
Selenium for /usr/bin/python3)."""

import http.server
import os
import shutil
import tempfile
import threading
import time
import unittest

import harness as h
import test_browser as tb

ATTACK_PAGE = """<!DOCTYPE html>
<html><head><script>
function send() {
  document.getElementById("f").submit();
  document.title = "sent";
}
</script></head><body>
<iframe name="sink"></iframe>
<form id="f" method="POST" action="%(base)s/PostWatchSetting.cgi" enctype="text/plain" target="sink">
<input type="hidden" name='"%(target)s","","1","","touch %(pwned)s' value='"
"S","B","",""'>
</form>
<img src="%(base)s/PostWatchSetting.cgi" onload="send()" onerror="send()">
</body></html>
"""
XSS_PAGE = "<!DOCTYPE html><html><body><img src=x onerror=alert(1)></body></html>"
REFLECTED = "/GetFileView.cgi?/%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E"


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


if tb.HAVE_SELENIUM:
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    class SecurityBrowserTest(unittest.TestCase):
        # The browser, the login and the page checks of the main browser test.
        start_browser = tb.BrowserTest.start_browser
        end_browser = tb.BrowserTest.end_browser
        login = tb.BrowserTest.login
        open = tb.BrowserTest.open
        check_page = tb.BrowserTest.check_page
        path = tb.BrowserTest.path

        def setUp(self):
            missing = [p for p in (tb.CHROMIUM, tb.CHROMEDRIVER) if not os.access(p, os.X_OK)]
            self.assertEqual(missing, [], "Debian packages chromium and chromium-driver are needed")
            self.prefix, _ = h.install()
            self.addCleanup(shutil.rmtree, self.prefix, True)
            if os.path.exists(h.PID_FILE):
                os.unlink(h.PID_FILE)
            self.watched = self.path("app.log")
            h.write(self.watched, b"")
            h.write(self.path("data/env.csv"), h.env_text(user=tb.USER, password=tb.PASSWORD))
            h.write(self.path("data/ScanLantern.conf"), h.conf_text([(self.watched, "ERROR", "1", "", "")]))
            self.service = h.Service(self.prefix)
            self.service.start()
            self.addCleanup(self.service.kill)
            self.start_attacker()
            self.start_browser()

        def start_attacker(self):
            """Another origin: a plain web server on another port."""
            site = tempfile.mkdtemp(prefix="sl-attacker-")
            self.addCleanup(shutil.rmtree, site, True)
            self.pwned = os.path.join(site, "pwned")
            h.write(os.path.join(site, "attack.html"), ATTACK_PAGE % {
                "base": tb.BASE, "target": self.watched, "pwned": self.pwned})
            h.write(os.path.join(site, "xss.html"), XSS_PAGE)
            handler = lambda *args: QuietHandler(*args, directory=site)
            server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.addCleanup(server.server_close)
            self.addCleanup(server.shutdown)
            self.attacker = "http://127.0.0.1:%d" % server.server_address[1]

        def settings(self):
            conf = h.read(self.path("data/ScanLantern.conf"))
            env = h.read(self.path("data/env.csv"))
            reply, _, _ = h.exchange(h.request_bytes("GET", "/GetWatchSetting.cgi", auth=(tb.USER, tb.PASSWORD)))
            return conf, env, h.body_of(reply)

        def assert_no_alert(self):
            try:
                WebDriverWait(self.driver, 2).until(expected_conditions.alert_is_present())
            except TimeoutException:
                return
            self.driver.switch_to.alert.accept()
            self.fail("a script ran on %s" % self.driver.current_url)

        def test_foreign_page_and_reflected_script(self):
            self.login()
            before = self.settings()
            self.assertIn(b'"ERROR"', before[2])

            self.driver.get(self.attacker + "/attack.html")
            WebDriverWait(self.driver, 15).until(lambda d: d.title == "sent")
            log_start = self.service.log_size_at_start
            for line in (b"Command GET /PostWatchSetting.cgi received from",
                         b"Command POST /PostWatchSetting.cgi received from"):
                self.assertTrue(h.wait_for(lambda: line in h.read_log(self.prefix)[log_start:]), line)
            time.sleep(1.5)  # a watch pass that would run a stored command
            self.assertEqual(self.settings(), before)
            self.assertFalse(os.path.exists(self.pwned))

            # The browser runs the probe when the page is HTML...
            self.driver.get(self.attacker + "/xss.html")
            WebDriverWait(self.driver, 5).until(expected_conditions.alert_is_present())
            self.driver.switch_to.alert.accept()
            # ...and not when the administration reflects it.
            self.driver.get(tb.BASE + REFLECTED)
            self.assert_no_alert()
            self.assertIn("<img src=x onerror=alert(1)>", self.driver.find_element("tag name", "body").text)

else:
    @h.needs_peer(False, "Selenium is not installed (Debian package python3-selenium for %s)" % tb.SYSTEM_PYTHON)
    class SecurityBrowserTest(unittest.TestCase):
        def test_browser(self):
            pass


if __name__ == "__main__":
    unittest.main()
