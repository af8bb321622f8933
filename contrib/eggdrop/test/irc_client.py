#!/usr/bin/env python3
"""A small IRC client that records what one nick says in one channel.

Joins CHANNEL on 127.0.0.1:PORT as NICK, creates READY_FILE once FROM_NICK is
on the channel too, and appends the text of every PRIVMSG that FROM_NICK sends
to the channel to OUT_FILE, raw bytes, one message per line. Everything else
the server sends goes to stdout. Ends when the server closes the connection,
on SIGTERM, or after --lifetime seconds at most.
"""

import argparse
import os
import signal
import socket
import sys
import time


def nick_of(prefix):
    return prefix.split(b"!", 1)[0]


def parse(line):
    """Splits a server line into (prefix, command, params); the trailing
    parameter is kept byte for byte."""
    prefix = b""
    if line.startswith(b":"):
        prefix, _, line = line[1:].partition(b" ")
    head, sep, trailing = line.partition(b" :")
    words = head.split()
    command = words[0].upper() if words else b""
    params = words[1:]
    if sep:
        params.append(trailing)
    return prefix, command, params


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--nick", required=True)
    ap.add_argument("--channel", required=True)
    ap.add_argument("--from-nick", required=True)
    ap.add_argument("--ready-file", required=True)
    ap.add_argument("--out-file", required=True)
    ap.add_argument("--lifetime", type=float, default=180)
    args = ap.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    deadline = time.monotonic() + args.lifetime
    nick = args.nick.encode()
    channel = args.channel.encode()
    bot = args.from_nick.encode().lower()

    sock = socket.create_connection(("127.0.0.1", args.port), timeout=10)
    sock.settimeout(1)

    def send(text):
        sock.sendall(text + b"\r\n")

    send(b"NICK " + nick)
    send(b"USER " + nick + b" 0 * :ovpre test client")

    out = open(args.out_file, "ab", buffering=0)
    ready = False
    buf = b""
    while time.monotonic() < deadline:
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            continue
        if not chunk:
            break
        buf += chunk
        while b"\n" in buf:
            raw, buf = buf.split(b"\n", 1)
            line = raw[:-1] if raw.endswith(b"\r") else raw
            sys.stdout.write("<< %r\n" % line)
            sys.stdout.flush()
            prefix, command, params = parse(line)
            if command == b"PING":
                send(b"PONG :" + (params[-1] if params else b""))
            elif command == b"001":
                send(b"JOIN " + channel)
            elif command == b"353" and not ready:
                names = [n.lstrip(b"~&@%+").lower() for n in params[-1].split()]
                ready = bot in names
            elif command == b"JOIN" and nick_of(prefix).lower() == bot:
                ready = True
            elif (command == b"PRIVMSG" and nick_of(prefix).lower() == bot
                  and len(params) == 2 and params[0].lower() == channel.lower()):
                out.write(params[1] + b"\n")
            if ready and not os.path.exists(args.ready_file):
                open(args.ready_file, "w").close()
    sock.close()


if __name__ == "__main__":
    main()
