"""Watch passes of the running service: hits, triggers, commands, missing
files and rotation, seen through the event log and the commands' traces."""

import email
import email.policy
import os
import signal
import socket
import threading
import time
import unittest

import harness as h

HIT = "監視ワードをトラッキングしました。"
RAN = "次の実行ファイルを実行しました。"
CMD_DONE = "監視ワードをトラッキングしてコマンド実行しました。"
MISSING = "監視ファイルが存在しません。"
KEPT = "送信待ちのメールをスプールに残しました。次の起動後に送信します。"
NOT_SENT = "サービス停止までに送信できなかったメールがあります。"
SKIPPED = "実行中のコマンドが上限に達したため、コマンドの実行を見送りました。"
NOT_A_FILE = "監視ファイルが通常のファイルではないため、読み込みません。"
REFUSED = "監視ファイルが置き換えられましたが、信頼できないファイルのため読み込みません。"


def children(pid):
    """(pid, state) of every child process of pid."""
    return [(child, state) for child, (parent, state) in h.process_table().items() if parent == pid]


class SilentServer:
    """Accepts connections on 127.0.0.1:25 and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 25))
        self.sock.listen(64)
        self.held = []
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                self.held.append(self.sock.accept()[0])
            except OSError:
                return

    def close(self):
        # shutdown wakes the accepting thread; close alone would leave the
        # port listening until accept returns.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        for c in self.held:
            c.close()


def hit_entry(n, count, path, words, line):
    return h.euc("%s(%d/%d)\n監視ファイル\t%s\n監視ワード\t%s\n監視内容\n%s\n" % (HIT, n, count, path, words, line))


class WatchTest(h.ServiceTestCase):
    def test_trigger_runs_command_and_counts_across_passes(self):
        path = os.path.join(self.dir, "app.log")
        trace = os.path.join(self.dir, "trace")
        h.write(path, "ERROR disk before start\n")
        command = "echo ran >> %s" % trace
        self.start([(path, "ERROR,disk", "3", "", command)])
        self.append(path, "ERROR disk one\nonly ERROR here\r\nERROR disk two\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(2, 3, path, "ERROR,disk", "ERROR disk two") in self.log()))
        self.assertIn(hit_entry(1, 3, path, "ERROR,disk", "ERROR disk one"), self.log())
        self.assertNotIn(b"only ERROR here", self.log())
        self.assertNotIn(b"before start", self.log())
        time.sleep(1.5)  # the next pass
        self.append(path, "disk ERROR three\nERROR disk four\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 3, path, "ERROR,disk", "ERROR disk four") in self.log()))
        log = self.log()
        self.assertIn(hit_entry(3, 3, path, "ERROR,disk", "disk ERROR three"), log)
        self.assertIn(h.euc(RAN) + b"\n" + command.encode() + b"\n", log)
        self.assertIn(h.euc("%s\n監視ファイル\t%s\n監視ワード\tERROR,disk\n監視内容\ndisk ERROR three\n実行ファイル\t%s\n"
                            % (CMD_DONE, path, command)), log)
        self.assertTrue(h.wait_for(lambda: os.path.exists(trace) and h.read(trace) == b"ran\n"))
        # Entry order: the hit, the command run, the command entry, then the next hit.
        self.assertLess(log.index(hit_entry(3, 3, path, "ERROR,disk", "disk ERROR three")), log.index(h.euc(RAN)))
        self.assertLess(log.index(h.euc(CMD_DONE)), log.index(hit_entry(1, 3, path, "ERROR,disk", "ERROR disk four")))

    def test_command_gets_its_context_as_data_in_a_fixed_environment(self):
        path = os.path.join(self.dir, "app.log")
        dump = os.path.join(self.dir, "dump")
        planted = os.path.join(self.dir, "planted")
        h.write(path, "")
        # The service's own environment stays with the service.
        os.environ["SL_SECRET_OF_THE_STARTER"] = "1"
        self.addCleanup(os.environ.pop, "SL_SECRET_OF_THE_STARTER")
        command = "env > %s; pwd >> %s; read x; echo \"stdin=$?\"; echo to-stderr >&2" % (dump, dump)
        self.start([(path, "ERROR", "2", "", command)])
        # A hostile line: quotes, substitutions and separators stay data.
        hostile = ("ERROR $(touch %s) `touch %s` \"a b\" 'c' ; touch %s && x || y > z \\ %s"
                   % (planted, planted, planted, "\u65e5\u672c".encode("euc_jp").decode("latin-1")))
        self.append(path, b"ERROR first\n" + hostile.encode("latin-1") + b"\n")
        self.assertTrue(h.wait_for(lambda: os.path.exists(dump) and h.read(dump).endswith(b"/\n")))
        lines = h.read(dump).split(b"\n")
        self.assertEqual(lines[-2], b"/")  # the working directory
        env = dict(line.split(b"=", 1) for line in lines[:-2] if b"=" in line)
        env.pop(b"PWD", None)
        env.pop(b"SHLVL", None)  # the shell's own
        env.pop(b"_", None)
        self.assertEqual(env, {
            b"PATH": b"/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            b"LANG": b"C", b"HOME": b"/root",
            b"SCANLANTERN_FILE": path.encode(), b"SCANLANTERN_WORDS": b"ERROR",
            b"SCANLANTERN_COUNT": b"2", b"SCANLANTERN_LINE": hostile.encode("latin-1"),
            b"SCANLANTERN_HOST": socket.gethostname().encode()})
        self.assertFalse(os.path.exists(planted))
        # Output and errors in log/command.out under a heading; stdin empty.
        out = self.path("log/command.out")
        self.assertTrue(h.wait_for(lambda: os.path.exists(out) and b"to-stderr" in h.read(out)))
        self.assertRegex(h.read(out), rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d " + path.encode() +
                         rb"\nstdin=1\nto-stderr\n$")
        self.assertEqual(os.stat(out).st_mode & 0o777, 0o640)

    def test_japanese_words_and_missing_file_once_a_second(self):
        path = os.path.join(self.dir, "jp.log")
        missing = os.path.join(self.dir, "none.log")
        h.write(path, b"")
        self.start([(path, "エラー", "1", "", ""), (missing, "x", "1", "", "")])
        self.append(path, "ディスクエラー発生\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, path, "エラー", "ディスクエラー発生") in self.log()))
        time.sleep(3)
        entry = h.euc(MISSING) + b"\r\n" + h.euc("設定ファイル") + b"\t" + missing.encode() + b"\n"
        count = self.log().count(entry)
        self.assertGreaterEqual(count, 3)
        self.assertLessEqual(count, 6)

    def test_rotation_truncation_and_late_file(self):
        moved = os.path.join(self.dir, "rot.log")
        cut = os.path.join(self.dir, "cut.log")
        late = os.path.join(self.dir, "late.log")
        h.write(moved, "old line\n" * 100)
        h.write(cut, "old line\n" * 100)
        self.start([(moved, "HIT", "1", "", ""), (cut, "HIT", "1", "", ""), (late, "HIT", "1", "", "")])
        # Rename rotation: the new file at the path is read from its start.
        os.rename(moved, moved + ".1")
        h.write(moved, "HIT after rename\n")
        # Copy-and-truncate rotation: read from the start again.
        with open(cut, "wb") as f:
            f.write(b"HIT after truncate\n")
        # A file that appears after the start.
        h.write(late, "HIT in late file\n")
        for path, line in ((moved, "HIT after rename"), (cut, "HIT after truncate"), (late, "HIT in late file")):
            self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, path, "HIT", line) in self.log()), path)

    def test_append_beyond_4_gib_in_sparse_file(self):
        path = os.path.join(self.dir, "big.log")
        with open(path, "wb") as f:
            f.truncate(5 * 1024 ** 3)
        self.start([(path, "FAR", "1", "", "")])
        self.append(path, "FAR beyond four gigabytes\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, path, "FAR", "FAR beyond four gigabytes") in self.log()))

    def test_stalled_mail_server_holds_up_nothing_and_sigterm_keeps_the_mails(self):
        server = SilentServer()
        self.addCleanup(server.close)
        mailed = os.path.join(self.dir, "mailed.log")
        other = os.path.join(self.dir, "other.log")
        trace = os.path.join(self.dir, "trace")
        h.write(mailed, b"")
        h.write(other, b"")
        self.start([(mailed, "MAIL", "1", "ops@example.com", ""),
                    (other, "RUN", "1", "", "sleep 30; touch " + trace)],
                   smtp="127.0.0.1", sender="agent@example.com", subject="s", body="\\ResultLine\\")
        # 20 mails: one in the stalled session, 19 waiting behind it.
        self.append(mailed, "".join("MAIL %d\n" % i for i in range(20)))
        self.assertTrue(h.wait_for(lambda: self.log().count(h.euc(HIT)) == 20))
        # 16 commands that run on; a stalled server holds up none of them.
        appended = time.time()
        self.append(other, "RUN now\n" * 16)
        pid = self.service.proc.pid
        self.assertTrue(h.wait_for(lambda: len(children(pid)) >= 16, timeout=5))
        self.assertLess(time.time() - appended, 2.5)
        self.assertTrue(h.wait_for(lambda: len(os.listdir(self.path("data/spool"))) == 20, timeout=10))
        stopping = time.time()
        status, _ = self.service.stop()
        self.assertEqual(status, 0)
        # The run loop's extra second, the 5 s for the mail in progress, a second of slack.
        self.assertLess(time.time() - stopping, 1 + 5 + 1)
        self.assertIn(h.euc(KEPT + "\n未送信のメール\t20\n"), self.log())
        self.assertNotIn(h.euc(NOT_SENT), self.log())
        server.close()
        # The next start sends them all, in the order of their lines.
        messages = h.start_mailbox(self)
        self.service = h.Service(self.prefix).start()
        self.assertTrue(h.wait_for(lambda: len(messages) == 20, timeout=60), "%d of 20" % len(messages))
        for i, message in enumerate(messages):
            self.assertIn(b"MAIL %d\r\n" % i, message)
        self.assertTrue(h.wait_for(lambda: os.listdir(self.path("data/spool")) == [], timeout=5))

    def test_command_flood_is_bounded_and_reaped(self):
        path = os.path.join(self.dir, "flood.log")
        h.write(path, b"")
        self.start([(path, "GO", "1", "", "sleep 2")])
        pid = self.service.proc.pid
        self.append(path, "GO\n" * 1000)
        self.assertTrue(h.wait_for(lambda: h.euc(SKIPPED) in self.log()))
        most = 0
        deadline = time.time() + 1.5
        while time.time() < deadline:
            most = max(most, len(children(pid)))
            time.sleep(0.02)
        self.assertGreater(most, 0)
        self.assertLessEqual(most, 16)
        self.assertIn(h.euc(SKIPPED + "\n見送った回数\t984\n"), self.log())
        self.assertEqual(self.log().count(h.euc(CMD_DONE)), 16)
        # All ended and reaped: no zombies left behind.
        self.assertTrue(h.wait_for(lambda: children(pid) == [], timeout=6), children(pid))

    def test_unsafe_files_are_not_read_and_nul_ends_only_a_line(self):
        linked = os.path.join(self.dir, "linked.log")
        moved = os.path.join(self.dir, "moved.log")
        device = os.path.join(self.dir, "device.log")
        nul = os.path.join(self.dir, "nul.log")
        secret = os.path.join(self.prefix, "secret")
        for path in (linked, moved, nul):
            h.write(path, b"")
        h.write(secret, b"")
        os.chown(secret, 65534, 65534)
        os.chmod(secret, 0o600)
        os.symlink("/dev/zero", device)
        self.start([(linked, "HIT", "1", "", ""), (moved, "HIT", "1", "", ""),
                    (device, "HIT", "1", "", ""), (nul, "HIT", "1", "", "")])
        pid = self.service.proc.pid
        self.assertNotIn("/dev/zero", [os.readlink("/proc/%d/fd/%s" % (pid, fd))
                                       for fd in os.listdir("/proc/%d/fd" % pid)])
        # The log replaced by a link to another user's file, and by another
        # user's file moved over it.
        os.unlink(linked)
        os.symlink(secret, linked)
        foreign = os.path.join(self.dir, "foreign")
        h.write(foreign, b"HIT foreign\n")
        os.chown(foreign, 65534, 65534)
        os.rename(foreign, moved)
        with open(secret, "ab") as f:
            f.write(b"HIT classified one\n")
        self.append(nul, b"first HIT\0second HIT\nno\0HIT third\n")
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, nul, "HIT", "HIT third") in self.log()))
        time.sleep(1.5)
        with open(secret, "ab") as f:
            f.write(b"HIT classified two\n")
        time.sleep(2.5)
        log = self.log()
        for line in ("first HIT", "second HIT"):
            self.assertIn(hit_entry(1, 1, nul, "HIT", line), log)
        self.assertNotIn(b"classified", log)
        self.assertNotIn(b"foreign", log)
        self.assertEqual(log.count(h.euc(REFUSED)), 2, log.decode("euc_jp", "replace"))
        self.assertIn(h.euc(REFUSED + "\n理由\tsymbolic link\n設定ファイル\t" + linked + "\n"), log)
        self.assertIn(h.euc(REFUSED + "\n理由\towner uid 65534, not root\n設定ファイル\t" + moved + "\n"), log)
        self.assertEqual(log.count(h.euc(NOT_A_FILE + "\n設定ファイル\t" + device + "\n")), 1)
        self.assertNotIn("/dev/zero", [os.readlink("/proc/%d/fd/%s" % (pid, fd))
                                       for fd in os.listdir("/proc/%d/fd" % pid)])

    def test_japanese_word_in_utf8_log_logged_and_mailed(self):
        messages = h.start_mailbox(self)
        path = os.path.join(self.dir, "utf8.log")
        h.write(path, b"")
        self.start([(path, "エラー", "1", "ops@example.com", "")],
                    smtp="127.0.0.1", sender="agent@example.com", subject="\\WatchString\\",
                    body="\\ResultLine\\")
        line = "ディスクエラー発生 😀"
        self.append(path, (line + "\n").encode("utf-8"))
        seen = "ディスクエラー発生 〓"
        self.assertTrue(h.wait_for(lambda: hit_entry(1, 1, path, "エラー", seen) in self.log()))
        self.assertTrue(h.wait_for(lambda: messages, timeout=15))
        msg = email.message_from_bytes(messages[0], policy=email.policy.default)
        self.assertEqual(msg.get_content().strip(), seen)
        self.assertEqual(str(msg["Subject"]), "エラー")


if __name__ == "__main__":
    unittest.main()
