#!/usr/bin/env python3
"""Drives the board's virtual machine through its Unix sockets.

    board.py login CONSOLE [--timeout S]     wait for the root shell on the
                                              serial console and quiet it
    board.py sh CONSOLE COMMAND [--timeout S] run COMMAND in that shell; its
                                              output on stdout, its exit status
    board.py qmp QMP COMMAND [ARGS-JSON] [--event NAME] [--timeout S]
                                              one QEMU monitor (QMP) command;
                                              with --event, also wait for it
    board.py attach CONSOLE                   the console on this terminal
                                              (Ctrl-] leaves)

The console is the guest's ttyS0 with root logged in by getty. Each command
is framed by two marker lines that the shell prints, so output that arrives
between commands (kernel messages, an echo) is ignored. Everything read from
the console is also appended to $BOARD_CONSOLE_LOG when that is set.
"""
import argparse
import json
import os
import re
import select
import socket
import sys
import termios
import time
import tty

QUIET = "stty -echo -onlcr; dmesg -n 1; export PS1= PS2= TERM=dumb SYSTEMD_PAGER= SYSTEMD_COLORS=0"


def connect(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    return sock


class Console:
    def __init__(self, path):
        self.sock = connect(path)
        self.buf = b""
        log = os.environ.get("BOARD_CONSOLE_LOG")
        self.log = open(log, "ab") if log else None

    def send(self, text):
        self.sock.sendall(text.encode())

    def read_until(self, pattern, deadline):
        """Reads until the regex (bytes) matches the buffer; the match or None."""
        while True:
            match = re.search(pattern, self.buf, re.S)
            if match:
                return match
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.sock], [], [], min(left, 1.0))
            if ready:
                data = self.sock.recv(65536)
                if not data:
                    return None
                if self.log:
                    self.log.write(data)
                    self.log.flush()
                self.buf += data


def nonce():
    return "%d%d" % (os.getpid(), time.monotonic_ns() % 1000000)


def cmd_login(args):
    con = Console(args.console)
    tag = nonce()
    deadline = time.monotonic() + args.timeout
    # Probe until a shell answers: lines typed before it runs are read by
    # bash later, or dropped by getty; either way harmless.
    while time.monotonic() < deadline:
        con.send("%s; printf '%%s_%%s\\n' __READY %s\n" % (QUIET, tag))
        if con.read_until(rb"__READY_" + tag.encode() + rb"\n", min(deadline, time.monotonic() + 3)):
            return 0
    print("board.py: no shell on the console after %ds" % args.timeout, file=sys.stderr)
    return 124


def cmd_sh(args):
    con = Console(args.console)
    tag = nonce()
    # The markers are printed with printf, so the echoed command line (if the
    # terminal still echoes) never matches them.
    con.send("printf '%%s_%%s\\n' __B %s; { %s\n}; printf '%%s_%%s:%%s\\n' __E %s \"$?\"\n" % (tag, args.command, tag))
    match = con.read_until(rb"__B_" + tag.encode() + rb"\r?\n(.*?)__E_" + tag.encode() + rb":(\d+)\r?\n",
                           time.monotonic() + args.timeout)
    if not match:
        print("board.py: no answer within %ds to: %s" % (args.timeout, args.command), file=sys.stderr)
        return 124
    sys.stdout.buffer.write(match.group(1).replace(b"\r\n", b"\n"))
    return int(match.group(2))


def cmd_qmp(args):
    sock = connect(args.qmp)
    stream = sock.makefile("rwb")
    deadline = time.monotonic() + args.timeout

    def receive():
        sock.settimeout(max(0.1, deadline - time.monotonic()))
        line = stream.readline()
        if not line:
            raise TimeoutError
        return json.loads(line)

    def execute(name, arguments=None):
        msg = {"execute": name}
        if arguments:
            msg["arguments"] = arguments
        stream.write(json.dumps(msg).encode() + b"\n")
        stream.flush()
        while True:
            reply = receive()
            if reply.get("event") == args.event and (not args.event_id or
                                                     reply.get("data", {}).get("device") == args.event_id):
                events.append(reply)
            if "return" in reply or "error" in reply:
                return reply

    events = []
    try:
        receive()  # greeting
        execute("qmp_capabilities")
        reply = execute(args.command, json.loads(args.arguments) if args.arguments else None)
        if "error" in reply:
            print("board.py: %s: %s" % (args.command, reply["error"].get("desc")), file=sys.stderr)
            return 1
        if reply["return"]:
            print(json.dumps(reply["return"]))
        while args.event and not events:
            reply = receive()
            if reply.get("event") == args.event and (not args.event_id or
                                                     reply.get("data", {}).get("device") == args.event_id):
                events.append(reply)
    except (TimeoutError, socket.timeout):
        print("board.py: %s: no answer or event within %ds" % (args.command, args.timeout), file=sys.stderr)
        return 124
    return 0


def cmd_attach(args):
    sock = connect(args.console)
    stdin = sys.stdin.fileno()
    saved = termios.tcgetattr(stdin)
    print("board: console attached; Ctrl-] leaves.\r")
    sock.sendall(b"\n")
    try:
        tty.setraw(stdin)
        while True:
            ready, _, _ = select.select([sock, stdin], [], [])
            if sock in ready:
                data = sock.recv(65536)
                if not data:
                    break
                os.write(sys.stdout.fileno(), data)
            if stdin in ready:
                data = os.read(stdin, 1024)
                if b"\x1d" in data:
                    break
                sock.sendall(data)
    finally:
        termios.tcsetattr(stdin, termios.TCSADRAIN, saved)
    print()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("login")
    p.add_argument("console")
    p.add_argument("--timeout", type=int, default=180)
    p.set_defaults(func=cmd_login)
    p = sub.add_parser("sh")
    p.add_argument("console")
    p.add_argument("command")
    p.add_argument("--timeout", type=int, default=120)
    p.set_defaults(func=cmd_sh)
    p = sub.add_parser("qmp")
    p.add_argument("qmp")
    p.add_argument("command")
    p.add_argument("arguments", nargs="?")
    p.add_argument("--event")
    p.add_argument("--event-id")
    p.add_argument("--timeout", type=int, default=30)
    p.set_defaults(func=cmd_qmp)
    p = sub.add_parser("attach")
    p.add_argument("console")
    p.set_defaults(func=cmd_attach)
    args = parser.parse_args()
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
