"""An entry's rules in the running service: exclusion words, a time window
and a quiet period, with short periods, seen through the event log, the
command's trace and the mails."""

import email
import email.policy
import os
import subprocess
import time
import unittest

import harness as h

HIT = "監視ワードをトラッキングしました。"
QUIET = "静穏期間のため、期間が終わるまで通知メールの送信とコマンドの実行を見送ります。"
RULE_COLUMNS = b',"ExcludeString","MatchMode","IgnoreCase","Window","Quiet","Encoding"'


def hit_entry(n, count, path, words, line):
    return h.euc("%s(%d/%d)\n監視ファイル\t%s\n監視ワード\t%s\n監視内容\n%s\n" % (HIT, n, count, path, words, line))


def conf_with_rules(rows):
    """The watch list with the rule columns; rows of eleven cells."""
    conf = h.conf_text(rows).split(b"\n", 1)
    return conf[0] + RULE_COLUMNS + b"\n" + conf[1]


class RulesTest(h.ServiceTestCase):
    env = {"smtp": "127.0.0.1", "sender": "agent@example.com", "subject": "\\WatchNum\\",
           "body": "held \\Suppressed\\"}

    def test_window_quiet_period_and_exclusion_words(self):
        messages = h.start_mailbox(self)
        path = os.path.join(self.dir, "app.log")
        trace = os.path.join(self.dir, "trace")
        h.write(path, b"")
        # Two matches within 3 s trigger; after a trigger 4 s of quiet.
        row = (path, "ERROR", "2", "ops@example.com", "echo ran >> %s" % trace, "retrying", "", "", "3", "4", "")
        self.write_settings([])
        h.write(self.path("data/ScanLantern.conf"), conf_with_rules([row]))
        self.service = h.Service(self.prefix).start()

        # Excluded lines are no matches; a match older than the window no longer counts.
        self.append(path, "ERROR a, retrying\nERROR old\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 2, path, "ERROR", "ERROR old") in self.log()))
        time.sleep(4)
        self.append(path, "ERROR new\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 2, path, "ERROR", "ERROR new") in self.log()))
        self.assertNotIn(b"retrying", self.log())

        # A burst of 10: one trigger acts, the other four are held back and
        # the quiet period is logged once.
        self.append(path, "".join("ERROR burst %d\n" % i for i in range(1, 11)))
        self.assertTrue(h.wait_for(lambda: b"ERROR burst 10" in self.log()))
        self.assertTrue(h.wait_for(lambda: len(messages) == 1, timeout=15))
        time.sleep(5)  # past the quiet period, and the last burst line out of the window
        self.assertEqual(h.read(trace), b"ran\n")
        self.assertEqual(len(messages), 1)
        self.assertEqual(self.log().count(h.euc(QUIET + "\n監視ファイル\t%s\n静穏期間（秒）\t4\n" % path)), 1)

        # The next trigger acts again and its mail carries the held-back four.
        self.append(path, "ERROR after 1\nERROR after 2\n")
        self.assertTrue(h.wait_for(lambda: len(messages) == 2, timeout=15))
        bodies = [email.message_from_bytes(m, policy=email.policy.default).get_content().strip()
                  for m in messages]
        self.assertEqual(bodies, ["held 0", "held 4"])
        self.assertTrue(h.wait_for(lambda: h.read(trace) == b"ran\nran\n"))

    def test_expression_and_shift_jis_entries_and_a_refused_expression(self):
        web = os.path.join(self.dir, "web.log")
        java = os.path.join(self.dir, "java.log")
        h.write(web, b"")
        h.write(java, b"")
        expression = "status=5[0-9]{2}"
        self.write_settings([])
        h.write(self.path("data/ScanLantern.conf"), conf_with_rules([
            (web, expression, "1", "", "", "", "regex", "", "", "", ""),
            (java, "Ab,エラー", "1", "", "", "", "", "", "", "", "sjis")]))
        self.service = h.Service(self.prefix).start()

        self.append(web, "GET / status=404\nGET / status=503 12ms\n")
        # "A" is the second byte of ア (83 41) in Shift_JIS: the first line
        # holds the bytes "Ab" but not the word.
        sjis = lambda text: text.encode("shift_jis")
        self.append(java, sjis("アb エラー\n") + sjis("Ab エラー: ディスク\n"))
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, web, expression, "GET / status=503 12ms")
                                   in self.log()))
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, java, "Ab,エラー", "Ab エラー: ディスク")
                                   in self.log()))
        self.assertNotIn(b"status=404", self.log())
        self.assertNotIn(h.euc("アb"), self.log())

        # An expression that does not compile: refused with the library's message.
        conf = self.path("data/ScanLantern.conf")
        h.write(conf, conf_with_rules([(web, "status=(5", "1", "", "", "", "regex", "", "", "", "")]))
        check = subprocess.run([os.path.join(self.prefix, "bin", "ScanLanternService"), "--check"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual((check.returncode, check.stdout),
                         (1, conf.encode() + b":2: SearchString: status=(5: end pattern with unmatched "
                                             b"parenthesis\n"))


if __name__ == "__main__":
    unittest.main()
