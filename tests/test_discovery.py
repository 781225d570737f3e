"""Discovery on UDP 4009 and a start that cannot bind its port."""

import os
import shutil
import socket
import unittest

import harness as h

QUESTION = b"Are You ScanLantern Agent?"


class DiscoveryTest(unittest.TestCase):
    def setUp(self):
        self.prefix, _ = h.install()
        self.service = h.Service(self.prefix).start()

    def tearDown(self):
        self.service.kill()
        shutil.rmtree(self.prefix)

    def test_question_gets_greeting_from_port_4009_and_others_get_nothing(self):
        data, addr = h.ask_discovery(QUESTION, timeout=2.0)
        self.assertEqual(data, b"I am ScanLantern Agent.|" + socket.gethostname().encode())
        self.assertEqual(addr[1], h.PORT)
        for other in (QUESTION + b"\n", QUESTION.lower(), b"", QUESTION + b"\0"):
            self.assertEqual(h.ask_discovery(other, timeout=0.5)[0], None, other)
        # Still answering after the noise.
        self.assertIsNotNone(h.ask_discovery(QUESTION, timeout=2.0)[0])
        status, _ = self.service.stop()
        self.assertEqual(status, 0)


class PortInUseTest(unittest.TestCase):
    def setUp(self):
        self.prefix, _ = h.install()

    def tearDown(self):
        shutil.rmtree(self.prefix)

    def test_udp_port_taken_fails_the_start_with_status_1(self):
        self.check_port_taken(socket.SOCK_DGRAM)

    def test_tcp_port_taken_fails_the_start_with_status_1(self):
        self.check_port_taken(socket.SOCK_STREAM)

    def check_port_taken(self, kind):
        blocker = socket.socket(socket.AF_INET, kind)
        # Connections of earlier tests may linger in TIME_WAIT on the port.
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        blocker.bind(("0.0.0.0", h.PORT))
        if kind == socket.SOCK_STREAM:
            blocker.listen(1)
        h.write(os.path.join(self.prefix, "data/env.csv"), h.env_text())
        service = h.Service(self.prefix)
        try:
            service.start(wait_for_log=False)
            status, out = service.wait()
        finally:
            blocker.close()
            service.kill()
        self.assertEqual(status, 1)
        text = b"Could not bind socket. Address and port are already in use."
        # The holder is named: this test's own process.
        text += b"\n%s port 4009 is held by pid %d (python3)" % (
            b"TCP" if kind == socket.SOCK_STREAM else b"UDP", os.getpid())
        self.assertIn(b"Error WatchFileServiceCreate.\n" + text + b"\n", out)
        self.assertIn(b"\nWatchFileServiceCreate.\n" + text + b"\n\n\n", h.read_log(self.prefix))
        self.assertFalse(os.path.exists(h.PID_FILE))
        # The settings had been read, so they were written back on the way out.
        self.assertEqual(h.read(os.path.join(self.prefix, "data/env.csv")), h.env_text())


if __name__ == "__main__":
    unittest.main()
