"""The web administration in a real browser: headless Chromium logs in,
walks from the index to the watch list and the mail settings, fills in the
forms (Japanese words typed into the Shift_JIS pages), presses the buttons
an administrator presses, and the settings files on disk are checked after
every step. Screenshots of the watch list and the mail settings pages are
kept in SL_BUILD_DIR/test-artifacts/, and so are those of the status page
and of a test mail's answer (a real SMTP server on 127.0.0.1:25 takes the
mails).

Needs Chromium, its driver and Selenium for /usr/bin/python3 (Debian
packages chromium, chromium-driver, python3-selenium). When this file runs
under another Python without Selenium, it hands the run to /usr/bin/python3."""

import base64
import email
import email.policy
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

import harness as h

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SYSTEM_PYTHON = "/usr/bin/python3"
ARTIFACTS = os.path.join(h.BUILD_DIR, "test-artifacts")
BASE = "http://127.0.0.1:%d" % h.PORT
USER, PASSWORD = "admin", "pa ss:w@rd"   # blank, colon and at sign must survive the login
LABEL = "修正/削除"
BODY = "本文 \\ResultLine\\"

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
    HAVE_SELENIUM = True
except ImportError:
    HAVE_SELENIUM = False


def system_python_has_selenium():
    if os.path.realpath(sys.executable) == os.path.realpath(SYSTEM_PYTHON) or not os.path.exists(SYSTEM_PYTHON):
        return False
    return subprocess.run([SYSTEM_PYTHON, "-c", "import selenium"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def descendants(pid):
    """PIDs of every live process below pid (read from /proc)."""
    children = {}
    for child, (parent, _) in h.process_table().items():
        children.setdefault(parent, []).append(child)
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def have_japanese_font():
    try:
        out = subprocess.run(["fc-list", ":lang=ja", "family"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, timeout=20).stdout
    except (OSError, subprocess.TimeoutExpired):
        return False
    return bool(out.strip())


if not HAVE_SELENIUM and system_python_has_selenium():
    class BrowserTest(unittest.TestCase):
        """Runs this file again under the Python that has Selenium."""

        def test_under_system_python(self):
            here = os.path.dirname(os.path.abspath(__file__))
            run = subprocess.run([SYSTEM_PYTHON, "-m", "unittest", "-v", "test_browser"], cwd=here,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
            sys.stderr.write(run.stdout)
            self.assertEqual(run.returncode, 0, "browser test failed under %s" % SYSTEM_PYTHON)

elif not HAVE_SELENIUM:
    @h.needs_peer(False, "Selenium is not installed (Debian package python3-selenium for %s)" % SYSTEM_PYTHON)
    class BrowserTest(unittest.TestCase):
        def test_browser(self):
            pass

else:
    class BrowserTest(unittest.TestCase):
        def setUp(self):
            for program in (CHROMIUM, CHROMEDRIVER):
                self.assertTrue(os.access(program, os.X_OK), "%s is missing (Debian packages chromium, "
                                "chromium-driver)" % program)
            if os.path.exists(h.PID_FILE):
                os.unlink(h.PID_FILE)
            self.prefix, _ = h.install()
            self.addCleanup(shutil.rmtree, self.prefix, True)
            self.app_log = self.path("app.log")
            self.sys_log = self.path("sys.log")
            h.write(self.app_log, h.euc("起動しました\n"))
            h.write(self.sys_log, b"")
            self.command = self.path("notify.sh")
            h.write(self.command, "#!/bin/sh\necho ran >> %s\n" % self.path("ran.txt"))
            os.chmod(self.command, 0o755)
            h.write(self.path("data/env.csv"), h.env_text(
                user=USER, password=PASSWORD, smtp="mail.old.example", sender="old@example.com",
                subject="件名", body=BODY))
            h.write(self.path("data/ScanLantern.conf"), h.conf_text([]))
            self.service = h.Service(self.prefix)
            self.service.start()
            self.addCleanup(self.service.kill)
            self.start_browser()

        # --- browser ---------------------------------------------------------

        def start_browser(self):
            self.profile = tempfile.mkdtemp(prefix="sl-chromium-")
            self.addCleanup(shutil.rmtree, self.profile, True)
            options = webdriver.ChromeOptions()
            options.binary_location = CHROMIUM
            for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                         "--no-first-run", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                         "--disable-crash-reporter", "--no-proxy-server", "--window-size=1280,900", "--lang=ja",
                         "--user-data-dir=" + self.profile):
                options.add_argument(flag)
            self.driver_log = os.path.join(self.profile, "chromedriver.log")
            self.driver_service = DriverService(CHROMEDRIVER, log_path=self.driver_log)
            self.driver = None
            self.addCleanup(self.end_browser)
            self.driver = webdriver.Chrome(service=self.driver_service, options=options)
            self.driver.set_page_load_timeout(20)

        def end_browser(self):
            """Ends the browser and its driver, and any process of theirs that
            outlived the orderly quit."""
            process = getattr(self.driver_service, "process", None)
            left = descendants(process.pid) if process else []
            try:
                if self.driver:
                    self.driver.quit()
            except WebDriverException:
                pass
            finally:
                self.driver_service.stop()
            for child in left:
                try:
                    os.kill(child, signal.SIGKILL)
                except ProcessLookupError:
                    pass

        def path(self, rel):
            return os.path.join(self.prefix, rel)

        def login(self):
            """Opens the index with the credentials in the address: the browser
            gets the challenge and answers it. Later requests carry the header."""
            auth = "%s:%s@" % (urllib.parse.quote(USER, safe=""), urllib.parse.quote(PASSWORD, safe=""))
            self.driver.get(BASE.replace("://", "://" + auth) + "/")
            self.assertEqual(self.driver.title, "ScanLantern 管理")
            log = h.read_log(self.prefix)
            self.assertIn(b"Serving file " + self.path("www/index.htm").encode(), log)
            token = base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
            self.driver.execute_cdp_cmd("Network.enable", {})
            self.driver.execute_cdp_cmd("Network.setExtraHTTPHeaders",
                                        {"headers": {"Authorization": "Basic " + token}})
            self.open("/")

        def open(self, route):
            self.driver.get(BASE + route)
            self.check_page()

        def click(self, element):
            """Presses a button or link and waits for the next page."""
            old = self.driver.find_element(By.TAG_NAME, "html")
            element.click()

            def left(_driver):
                # While the old page goes, asking about its element may fail
                # with other errors than "stale" too: all mean it is gone.
                try:
                    old.is_enabled()
                    return False
                except WebDriverException:
                    return True

            WebDriverWait(self.driver, 15).until(left)
            WebDriverWait(self.driver, 15).until(
                lambda d: d.execute_script("return document.readyState") == "complete")
            self.check_page()

        def check_page(self):
            """Every page is a Shift_JIS page of the administration whose
            template tags were all filled in."""
            self.assertEqual(self.driver.execute_script("return document.characterSet"), "Shift_JIS")
            self.assertNotIn("<#", self.driver.page_source)
            self.assertIn("ScanLantern 管理", self.driver.title)

        def click_and_confirm(self, element, accept=True):
            """Presses a button that asks first; answers the question and
            returns its text."""
            if not accept:
                element.click()
                alert = WebDriverWait(self.driver, 5).until(lambda d: d.switch_to.alert)
                question = alert.text
                alert.dismiss()
                return question
            self.driver.execute_script("window.confirm = q => { window.asked = q; return true; }")
            self.click(element)
            return None

        def reason(self, name, form=None):
            """The reason shown beside a field ("" when there is none)."""
            scope = "form[action='%s'] " % form if form else ""
            return self.driver.execute_script(
                "const f = document.querySelector(arguments[0]);"
                "const r = f && f.parentElement.querySelector('.reason');"
                "return r ? r.textContent : '';", scope + "[name='%s']" % name)

        def notice(self):
            found = self.driver.find_elements(By.CSS_SELECTOR, "main .panel.notice, main .panel[role=alert]")
            return found[0].text if found else ""

        def heading(self):
            return self.driver.find_element(By.TAG_NAME, "h1").text

        def button(self, text, form_action=None):
            scope = "form[action='%s'] " % form_action if form_action else ""
            for b in self.driver.find_elements(By.CSS_SELECTOR, scope + "button, " + scope + "input[type=submit]"):
                if (b.text or b.get_attribute("value")) == text:
                    return b
            self.fail("no button %r on %s" % (text, self.driver.current_url))

        def nav(self, text):
            self.click(self.driver.find_element(By.CSS_SELECTOR, "header nav").find_element(By.LINK_TEXT, text))

        def fill(self, name, value):
            field = self.driver.find_element(By.NAME, name)
            field.clear()
            if value:
                field.send_keys(value)

        def value(self, name):
            return self.driver.find_element(By.NAME, name).get_attribute("value")

        def watch_rows(self):
            """The rows of the watch list as the page shows them."""
            rows = []
            while self.driver.find_elements(By.NAME, "No%d" % (len(rows) + 1)):
                n = len(rows) + 1
                rows.append(tuple(self.value(field % n) for field in (
                    "WatchFileName%d", "WatchSearchString%d", "WatchSearchCount%d",
                    "WatchMailAddress%d", "WatchCommand%d")))
                self.assertEqual(self.value("No%d" % n), str(n))
            # The administrator sees every value whole, not cut off at the
            # width of its field.
            clipped = self.driver.execute_script(
                "return Array.from(document.querySelectorAll('table.list input[readonly]'))"
                ".filter(e => e.scrollWidth > e.clientWidth + 1).map(e => e.name + '=' + e.value)")
            self.assertEqual(clipped, [], "values cut off in the watch list")
            return rows

        def add_watch(self, file_name, words, count, mail="", command=""):
            form = "/AddWatch.cgi"
            self.fill("HidWatchFileName", file_name)
            self.fill("WatchSearchString", words)
            self.fill("WatchSearchCount", str(count))
            self.fill("WatchMailAddress", mail)
            self.fill("HidWatchCommand", command)
            self.click(self.button("追加", form))

        def screenshot(self, name):
            """The whole page, also what lies below the window, as a PNG in
            the artifacts folder."""
            os.makedirs(ARTIFACTS, exist_ok=True)
            size = self.driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
            shot = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
                "format": "png", "captureBeyondViewport": True,
                "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
            target = os.path.join(ARTIFACTS, name)
            h.write(target, base64.b64decode(shot["data"]))
            if not have_japanese_font():
                sys.stderr.write("note: no Japanese font installed, %s shows boxes for Japanese text "
                                 "(Debian package fonts-ipafont-gothic)\n" % target)
            return target

        def conf_on_disk(self):
            return h.read(self.path("data/ScanLantern.conf"))

        def env_on_disk(self):
            return h.read(self.path("data/env.csv"))

        # --- tests -----------------------------------------------------------

        def test_watch_list_add_modify_delete_save_and_reload(self):
            self.login()
            index = self.driver.find_element(By.TAG_NAME, "main").text
            self.assertIn("監視設定", index)
            self.assertIn("メール設定", index)
            # Notifications go to a real mail server on this host.
            mailbox = h.start_mailbox(self)
            self.nav("メール設定")
            self.fill("SMTPServer", "127.0.0.1")
            self.click(self.button("変更", "/EnvSaveSetting.cgi"))
            self.open("/")
            self.click(self.driver.find_element(By.CSS_SELECTOR, "main").find_element(By.LINK_TEXT, "監視設定"))
            self.assertEqual(self.heading(), "監視設定")
            self.assertEqual(self.watch_rows(), [])

            # Two entries, typed as an administrator types them: Japanese
            # words, a quoted word with a blank, half-width katakana.
            app_words = 'エラー "ディスク 満杯"'
            sys_words = "ｼｽﾃﾑ 障害"
            self.add_watch(self.app_log, app_words, 2, "ops@example.co.jp", self.command)
            self.assertEqual(self.heading(), "監視設定")
            self.add_watch(self.sys_log, sys_words, 1)
            self.assertEqual(self.watch_rows(), [
                (self.app_log, app_words, "2", "ops@example.co.jp", self.command),
                (self.sys_log, sys_words, "1", "", "")])
            self.assertEqual(self.conf_on_disk(), h.conf_text([]), "the list is saved only on request")

            # The words arrived as the EUC-JP the watched files are written in:
            # two matching lines run the command.
            with open(self.app_log, "ab") as f:
                f.write(h.euc("12:00 エラー: ディスク 満杯です\n12:01 エラー ディスク 満杯\n"))
            self.assertTrue(h.wait_for(lambda: os.path.exists(self.path("ran.txt")), timeout=10),
                            "the entry added in the browser did not trigger")

            # The same words typed in the pages are found in a UTF-8 log; the
            # event log holds the lines in EUC-JP and the mail the same text.
            utf8_lines = ["12:02 エラー: ディスク 満杯 (UTF-8)", "12:03 再びエラー、ディスク 満杯"]
            with open(self.app_log, "ab") as f:
                f.write("".join(line + "\n" for line in utf8_lines).encode("utf-8"))
            self.assertTrue(h.wait_for(lambda: h.read(self.path("ran.txt")) == b"ran\nran\n", timeout=10),
                            "the UTF-8 lines did not trigger")
            log = h.read_log(self.prefix)
            for n, line in enumerate(utf8_lines, 1):
                self.assertIn(h.euc("(%d/2)\n監視ファイル\t%s\n監視ワード\t%s\n監視内容\n%s\n"
                                    % (n, self.app_log, app_words, line)), log)
            self.assertTrue(h.wait_for(lambda: len(mailbox) == 2, timeout=15), "no mail for the UTF-8 line")
            msg = email.message_from_bytes(mailbox[1], policy=email.policy.default)
            self.assertEqual(msg.get_content().strip(), "本文 " + utf8_lines[1])

            # A file that does not exist is refused with the error page, and
            # the list is unchanged.
            self.add_watch(self.path("missing.log"), "x", 1)
            self.assertEqual(self.heading(), "監視設定の追加エラー")
            self.click(self.driver.find_element(By.LINK_TEXT, "追加せずに監視設定の一覧へ戻る"))
            self.assertEqual(len(self.watch_rows()), 2)
            self.screenshot("watch-list.png")

            # Modify row 2: the form comes filled with the row's values.
            self.click(self.button("No2" + LABEL))
            self.assertEqual(self.heading(), "監視設定の修正/削除")
            self.assertEqual(self.value("No"), "2")
            self.assertEqual(self.value("HidWatchFileName"), self.sys_log)
            self.assertEqual(self.value("WatchSearchString"), sys_words)
            self.assertEqual(self.value("WatchSearchCount"), "1")
            self.screenshot("watch-modify.png")
            sys_words = "障害 ～ 警告"
            self.fill("WatchSearchString", sys_words)
            self.fill("WatchSearchCount", "5")
            self.fill("WatchMailAddress", "管理者 <root@example.co.jp>")
            self.fill("HidWatchCommand", self.command)
            self.click(self.button("この内容で修正"))
            self.assertEqual(self.heading(), "監視設定")
            self.assertEqual(self.watch_rows()[1],
                             (self.sys_log, sys_words, "5", "管理者 <root@example.co.jp>", self.command))

            # Delete row 1: the other entry moves up to row 1.
            self.click(self.button("No1" + LABEL))
            self.assertEqual(self.value("HidWatchFileName"), self.app_log)
            self.click_and_confirm(self.button("この監視設定を削除"))
            self.assertEqual(self.watch_rows(),
                             [(self.sys_log, sys_words, "5", "管理者 <root@example.co.jp>", self.command)])
            self.assertEqual(self.conf_on_disk(), h.conf_text([]))

            # Save: the file holds the list in EUC-JP.
            self.click(self.button("設定を保存", "/SaveSetting.cgi"))
            self.assertEqual(self.heading(), "設定の保存")
            # The full-width tilde of a Japanese keyboard is stored as A1C1,
            # the bytes a log file written in EUC-JP holds for it.
            stored_words = h.euc("障害 ") + b"\xa1\xc1" + h.euc(" 警告")
            saved = h.conf_text([(self.sys_log, stored_words, "5", "管理者 <root@example.co.jp>", self.command)])
            self.assertEqual(self.conf_on_disk(), saved)

            # An unsaved addition is dropped by the reload; the saved entry stays.
            self.click(self.driver.find_element(By.LINK_TEXT, "監視設定へ"))
            self.add_watch(self.app_log, "一時", 3)
            self.assertEqual(len(self.watch_rows()), 2)
            self.click_and_confirm(self.button("設定を再読み込み", "/ServiceReload.cgi"))
            self.assertEqual(self.heading(), "設定の再読み込み")
            self.assertTrue(self.service.running())
            self.nav("監視設定")
            self.assertEqual(self.watch_rows(),
                             [(self.sys_log, sys_words, "5", "管理者 <root@example.co.jp>", self.command)])
            self.assertEqual(self.conf_on_disk(), saved)
            self.driver.refresh()
            self.check_page()
            self.assertEqual(len(self.watch_rows()), 1)

        def test_forms_say_what_is_wrong_beside_each_field(self):
            self.login()
            self.nav("監視設定")
            add = "/AddWatch.cgi"
            # Everything wrong at once: each field gets its own reason, and
            # what was typed stays in the form.
            bad = {"HidWatchFileName": "", "WatchSearchString": "障害", "WatchSearchCount": "abc",
                   "WatchMailAddress": "not-an-address, ops@@example", "HidWatchCommand": self.prefix}
            for name, typed in bad.items():
                self.fill(name, typed)
            self.click(self.button("追加", add))
            self.assertEqual(self.heading(), "監視設定の追加エラー")
            self.assertIn("赤字の項目を直してください", self.notice())
            self.assertEqual(self.reason("HidWatchFileName", add), "監視ファイルを入力してください")
            self.assertEqual(self.reason("WatchSearchString", add), "")
            self.assertEqual(self.reason("WatchSearchCount", add), "しきい値は 1 以上の整数で入力してください")
            self.assertEqual(self.reason("WatchMailAddress", add), "メールアドレスではありません: not-an-address")
            self.assertEqual(self.reason("HidWatchCommand", add), "通常のファイルではありません: " + self.prefix)
            for name, typed in bad.items():
                self.assertEqual(self.value(name), typed, name)
            self.screenshot("watch-add-refused.png")

            # A directory as the file and a count of 0; then the corrected form.
            self.fill("HidWatchFileName", self.path("data"))
            self.fill("WatchSearchCount", "0")
            self.fill("WatchMailAddress", "ops@example.co.jp")
            self.fill("HidWatchCommand", "")
            self.click(self.button("追加", add))
            self.assertEqual(self.reason("HidWatchFileName", add), "通常のファイルではありません: " + self.path("data"))
            self.assertEqual(self.reason("WatchSearchCount", add), "しきい値は 1 以上の整数で入力してください")
            self.assertEqual(self.reason("WatchMailAddress", add), "")
            self.fill("HidWatchFileName", self.app_log)
            self.fill("WatchSearchCount", "2")
            self.click(self.button("追加", add))
            self.assertEqual(self.heading(), "監視設定")
            self.assertIn("監視設定を追加しました。", self.notice())
            self.assertEqual(self.watch_rows(), [(self.app_log, "障害", "2", "ops@example.co.jp", "")])
            self.assertEqual(self.value("HidWatchFileName"), "", "the add form starts empty again")

            # The section "詳細条件": an expression that does not compile is
            # refused with the library's message beside the words.
            self.driver.find_element(By.CSS_SELECTOR, "form[action='%s'] details.rules summary" % add).click()
            Select(self.driver.find_element(
                By.CSS_SELECTOR, "form[action='%s'] select[name='MatchMode']" % add)).select_by_value("regex")
            self.fill("HidWatchFileName", self.app_log)
            self.fill("WatchSearchString", "status=(5")
            self.click(self.button("追加", add))
            self.assertEqual(self.reason("WatchSearchString", add),
                             "正規表現として使えません: end pattern with unmatched parenthesis")
            self.assertEqual(self.value("WatchSearchString"), "status=(5")
            self.nav("監視設定")
            self.assertEqual(len(self.watch_rows()), 1)

            # A refused change keeps the entry and shows the typed values.
            self.click(self.button("No1" + LABEL))
            self.fill("WatchSearchCount", "-3")
            self.fill("HidWatchFileName", self.path("missing.log"))
            self.click(self.button("この内容で修正"))
            self.assertEqual(self.heading(), "監視設定の修正/削除エラー")
            self.assertEqual(self.reason("HidWatchFileName"), "ファイルが見つかりません: " + self.path("missing.log"))
            self.assertEqual(self.reason("WatchSearchCount"), "しきい値は 1 以上の整数で入力してください")
            self.assertEqual(self.value("WatchSearchCount"), "-3")
            self.fill("HidWatchFileName", self.app_log)
            self.fill("WatchSearchCount", "4")
            self.click(self.button("この内容で修正"))
            self.assertIn("監視設定を修正しました。", self.notice())
            self.assertEqual(self.watch_rows()[0][2], "4")

            # A delete asks first; "cancel" leaves the entry alone.
            self.click(self.button("No1" + LABEL))
            question = self.click_and_confirm(self.button("この監視設定を削除"), accept=False)
            self.assertIn("削除します", question)
            self.assertEqual(self.heading(), "監視設定の修正/削除")
            self.click_and_confirm(self.button("この監視設定を削除"))
            self.assertIn("監視設定を削除しました。", self.notice())
            self.assertEqual(self.watch_rows(), [])

            # The mail settings: a port outside 1-65535 and a sender that is
            # no address, beside their fields; nothing is changed.
            self.nav("メール設定")
            env = "/EnvSaveSetting.cgi"
            self.fill("SMTPPort", "70000")
            self.fill("FromMailAddress", "not-an-address")
            self.click(self.button("変更", env))
            self.assertEqual(self.heading(), "メール設定")
            self.assertEqual(self.reason("SMTPPort", env), "ポート番号は 1 から 65535 の整数で入力してください")
            self.assertEqual(self.reason("FromMailAddress", env), "メールアドレスではありません: not-an-address")
            self.assertEqual(self.value("SMTPPort"), "70000")
            self.assertEqual(self.value("FromMailAddress"), "not-an-address")
            self.nav("メール設定")
            self.assertEqual(self.value("FromMailAddress"), "old@example.com")

            # A form address opened by its link is a Japanese page of the
            # site, with a way back.
            self.driver.get(BASE + "/AddWatch.cgi")
            self.check_page()
            self.assertEqual(self.heading(), "受け付けられませんでした")
            self.assertIn("POST", self.driver.find_element(By.TAG_NAME, "main").text)
            self.driver.find_element(By.LINK_TEXT, "トップへ戻る")

        def test_every_page_fits_a_phone_and_a_desktop(self):
            self.login()
            self.nav("監視設定")
            long_dir = self.path("var/log/app")
            os.makedirs(long_dir)
            long_log = os.path.join(long_dir, "events.log")
            h.write(long_log, b"")
            self.add_watch(long_log, "障害 ERROR timeout", 1, "ops@example.co.jp", self.command)
            self.add_watch(self.app_log, "エラー", 3)
            h.wait_for(lambda: False, timeout=1.5)  # the first pass measures the files
            with open(long_log, "ab") as f:
                f.write(b"ERROR timeout \xe9\x9a\x9c\xe5\xae\xb3\n")
            self.assertTrue(h.wait_for(lambda: os.path.exists(self.path("ran.txt"))))

            def visit_all():
                """Opens every page once; yields its name after each."""
                for route in ("/", "/WatchSetting.cgi", "/EnvSetting.cgi", "/Status.cgi"):
                    self.open(route)
                    yield route
                self.open("/WatchSetting.cgi")
                self.click(self.button("No1" + LABEL))
                yield "modify"
                self.fill("WatchSearchCount", "0")
                self.click(self.button("この内容で修正"))
                yield "modify-refused"
                self.open("/WatchSetting.cgi")
                self.fill("HidWatchFileName", long_log + ".missing")
                self.click(self.button("追加", "/AddWatch.cgi"))
                yield "add-refused"
                self.open("/EnvSetting.cgi")
                self.click(self.button("変更", "/EnvSaveSetting.cgi"))
                yield "mail-changed"
                self.click(self.button("設定を保存", "/SaveSetting.cgi"))
                yield "saved"
                self.open("/WatchSetting.cgi")
                self.click_and_confirm(self.button("設定を再読み込み", "/ServiceReload.cgi"))
                yield "reloaded"
                self.driver.get(BASE + "/SaveSetting.cgi")
                yield "refused"

            for width, mobile in ((390, True), (1280, False)):
                self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                    "width": width, "height": 844 if mobile else 900, "deviceScaleFactor": 1,
                    "mobile": mobile})
                for page in visit_all():
                    inner = self.driver.execute_script("return window.innerWidth")
                    scroll = self.driver.execute_script("return document.documentElement.scrollWidth")
                    self.assertEqual(inner, width)
                    self.assertLessEqual(scroll, width, "%s is wider than %d px" % (page, width))
                    # Nothing of a panel sticks out to the right.
                    out = self.driver.execute_script(
                        "return Array.from(document.querySelectorAll('main *'))"
                        ".filter(e => e.getBoundingClientRect().right > window.innerWidth + 0.5)"
                        ".map(e => e.tagName + '.' + e.className + ' ' + e.name + ' ' +"
                        " Math.round(e.getBoundingClientRect().right)).slice(-6)")
                    self.assertEqual(out, [], "%s at %d px" % (page, width))
                    if page == "/WatchSetting.cgi":
                        self.assertEqual(len(self.watch_rows() if not mobile else
                                             self.driver.find_elements(By.NAME, "ModDel")), 2)
                        for button in self.driver.find_elements(By.NAME, "ModDel"):
                            self.assertTrue(button.is_displayed())
                            self.assertLessEqual(button.rect["x"] + button.rect["width"], width)
                        self.screenshot("watch-list-%d.png" % width)
                    if page == "/Status.cgi":
                        command = self.driver.find_element(By.CSS_SELECTOR, "#entries td.command")
                        self.assertTrue(command.is_displayed())
                        self.assertIn("実行しました", command.text)
                        self.assertLessEqual(command.rect["x"] + command.rect["width"], width)
                        words = self.driver.find_element(By.CSS_SELECTOR, "#entries td.words").text
                        self.assertIn("障害 ERROR timeout", words)
                        self.screenshot("status-%d.png" % width)
                    if page == "add-refused":
                        self.screenshot("watch-add-refused-%d.png" % width)

        def test_mail_settings_change_save_and_reload(self):
            env_before = self.env_on_disk()
            self.login()
            self.nav("メール設定")
            self.assertEqual(self.heading(), "メール設定")
            self.assertEqual(self.value("SMTPServer"), "mail.old.example")
            self.assertEqual(self.value("FromMailAddress"), "old@example.com")

            sender = '"監視サーバ" <scanlantern@example.co.jp>'
            self.fill("SMTPServer", "smtp.example.co.jp")
            self.fill("FromMailAddress", sender)
            self.click(self.button("変更", "/EnvSaveSetting.cgi"))
            self.assertEqual(self.heading(), "メール設定の変更")
            result = self.driver.find_element(By.TAG_NAME, "main").text
            self.assertIn("smtp.example.co.jp", result)
            self.assertIn(sender, result)
            self.assertEqual(self.env_on_disk(), env_before, "the mail settings are saved only on request")

            self.nav("メール設定")
            self.assertEqual(self.value("SMTPServer"), "smtp.example.co.jp")
            self.assertEqual(self.value("FromMailAddress"), sender)
            self.screenshot("mail-settings.png")

            # Save: env.csv keeps the login and the templates and gets the new
            # values in EUC-JP.
            self.click(self.button("設定を保存", "/SaveSetting.cgi"))
            self.assertEqual(self.heading(), "設定の保存")
            saved = h.env_text(user=USER, password=PASSWORD, smtp="smtp.example.co.jp", sender=sender,
                               subject="件名", body=BODY)
            self.assertEqual(self.env_on_disk(), saved)
            self.assertEqual(self.conf_on_disk(), h.conf_text([]))

            # An unsaved change is dropped by the reload.
            self.click(self.driver.find_element(By.LINK_TEXT, "メール設定へ"))
            self.fill("SMTPServer", "")
            self.click(self.button("変更", "/EnvSaveSetting.cgi"))
            self.nav("メール設定")
            self.assertEqual(self.value("SMTPServer"), "")
            self.click_and_confirm(self.button("設定を再読み込み", "/ServiceReload.cgi"))
            self.assertEqual(self.heading(), "設定の再読み込み")
            self.click(self.driver.find_element(By.LINK_TEXT, "メール設定へ"))
            self.assertEqual(self.value("SMTPServer"), "smtp.example.co.jp")
            self.assertEqual(self.value("FromMailAddress"), sender)
            self.assertEqual(self.env_on_disk(), saved)
            self.screenshot("mail-settings-after-reload.png")

        def test_status_page_and_test_mail(self):
            mails = h.start_mailbox(self)
            self.assertIsNotNone(mails, "aiosmtpd is missing (Debian package python3-aiosmtpd)")
            self.login()
            self.nav("メール設定")
            self.fill("SMTPServer", "127.0.0.1")
            self.fill("FromMailAddress", "scanlantern@example.co.jp")
            self.click(self.button("変更", "/EnvSaveSetting.cgi"))

            # The test mail goes out with the settings just changed.
            self.nav("メール設定")
            self.fill("TestMailAddress", "ops@example.co.jp")
            self.click(self.button("テストメール送信", "/TestMail.cgi"))
            self.assertEqual(self.heading(), "テストメール送信")
            self.assertIn("受け付けられました", self.driver.find_element(By.TAG_NAME, "main").text)
            self.assertTrue(h.wait_for(lambda: len(mails) == 1))
            mail = email.message_from_bytes(mails[0], policy=email.policy.default)
            self.assertEqual(str(mail["Subject"]), "[テスト] 件名")
            self.assertEqual(mail.get_content().rstrip("\r\n"), "本文 (test)")
            self.screenshot("test-mail.png")

            # A watch entry fires once; the status page shows its results.
            self.nav("監視設定")
            self.add_watch(self.app_log, "障害", 1, "ops@example.co.jp", self.command)
            h.wait_for(lambda: False, timeout=1.5)  # the first pass measures the file
            with open(self.app_log, "ab") as f:
                f.write(h.euc("ディスク障害が発生しました\n"))
            self.assertTrue(h.wait_for(lambda: len(mails) == 2 and os.path.exists(self.path("ran.txt"))))
            for _ in range(50):
                self.nav("稼働状況")
                cells = self.driver.find_elements(By.CSS_SELECTOR, "#entries td.mail .sent")
                if cells:
                    break
                h.wait_for(lambda: False, timeout=0.2)
            self.assertEqual(self.heading(), "稼働状況")
            self.assertEqual(len(cells), 1, "the mail's result is not shown")
            row = self.driver.find_element(By.CSS_SELECTOR, "#entries td.file").text
            self.assertEqual(row, self.app_log)
            self.assertEqual(self.driver.find_element(By.CSS_SELECTOR, "#entries td.state").text, "読み込み中")
            self.assertEqual(self.driver.find_element(By.CSS_SELECTOR, "#entries td.command").text, "実行しました")
            self.screenshot("status.png")


if __name__ == "__main__":
    unittest.main()
