"""Watch passes of the running service: hits, triggers, commands, missing
files and rotation, seen through the event log and the commands' traces."""

import os
import time
import unittest

import harness as h

HIT = "監視ワードをトラッキングしました。"
RAN = "次の実行ファイルを実行しました。"
CMD_DONE = "監視ワードをトラッキングしてコマンド実行しました。"
MISSING = "監視ファイルが存在しません。"


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


if __name__ == "__main__":
    unittest.main()
