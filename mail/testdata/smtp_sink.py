#!/usr/bin/python3
"""An SMTP server for the tests: stores every accepted mail as files.

Usage: smtp_sink.py DIR [--auth USER:PASSWORD] [--exclude MECH,...]

Listens on 127.0.0.1 on a free port and prints "PORT <n>" on its first
line of output. Each mail becomes DIR/mail-<n>.eml (the message as it
arrived, line ends CR LF) and DIR/mail-<n>.env (envelope: "FROM <addr>",
then "RCPT <addr>" per recipient, then "HELO <name>"), each written under a
temporary name and renamed, so a reader never sees half a file.
With --auth, AUTH is offered (PLAIN, LOGIN, CRAM-MD5, CRAM-SHA1) and
required before MAIL. Stops on SIGTERM or when its standard input closes.
"""

import argparse
import asyncio
import hmac
import logging
import os
import signal
import socket
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, directory, credentials):
        self.directory = directory
        self.credentials = credentials
        self.count = 0

    def _write(self, name, data):
        path = os.path.join(self.directory, name)
        with open(path + ".tmp", "wb") as f:
            f.write(data)
        os.rename(path + ".tmp", path)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        env = ["FROM " + (envelope.mail_from or "")]
        env += ["RCPT " + r for r in envelope.rcpt_tos]
        env.append("HELO " + (session.host_name or ""))
        self._write("mail-%d.eml" % self.count, envelope.original_content or envelope.content)
        self._write("mail-%d.env" % self.count, ("\n".join(env) + "\n").encode("latin-1"))
        return "250 OK stored"

    async def _cram(self, server, digest):
        challenge = b"<4711.%d@sink.test>" % os.getpid()
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False, handled=True)
        user, _, mac = answer.partition(b" ")
        password = self.credentials.get(user)
        if password is None:
            return AuthResult(success=False, handled=False)
        expected = hmac.new(password, challenge, digest).hexdigest().encode()
        ok = hmac.compare_digest(mac, expected)
        return AuthResult(success=ok, handled=False, auth_data=user)

    async def auth_CRAM__MD5(self, server, args):
        return await self._cram(server, "md5")

    async def auth_CRAM__SHA1(self, server, args):
        return await self._cram(server, "sha1")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--auth")
    parser.add_argument("--exclude", default="")
    args = parser.parse_args()

    credentials = {}
    if args.auth:
        user, _, password = args.auth.partition(":")
        credentials[user.encode()] = password.encode()
    sink = Sink(args.directory, credentials)

    def authenticator(server, session, envelope, mechanism, data):
        if isinstance(data, LoginPassword):
            ok = credentials.get(data.login) == data.password
            return AuthResult(success=ok, handled=False, auth_data=data.login)
        return AuthResult(success=False, handled=False)

    # Quiet: aiosmtpd warns about AUTH without TLS, which is what we want.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    warnings.simplefilter("ignore")
    options = dict(hostname="sink.test", ident="sink")
    if args.auth:
        options.update(auth_required=True, auth_require_tls=False, authenticator=authenticator,
                       auth_exclude_mechanism=[m for m in args.exclude.split(",") if m])
    else:
        # Without credentials no mechanism is offered.
        options.update(auth_exclude_mechanism=["PLAIN", "LOGIN", "CRAM-MD5", "CRAM-SHA1"])

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(sink, loop=loop, **options), sock=listener))
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_reader(sys.stdin.fileno(), lambda: stop.set() if not os.read(sys.stdin.fileno(), 4096) else None)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    loop.run_until_complete(stop.wait())
    server.close()
    loop.run_until_complete(server.wait_closed())


if __name__ == "__main__":
    main()
