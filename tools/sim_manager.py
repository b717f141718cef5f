#!/usr/bin/env python3
"""A stand-in for the robot manager, for trying a board or the client without
the real one.

It listens on 10.10.10.2:7901 (see --addr/--port) and speaks the manager's
side of the deployment handshake: JSON texts such as {"cmd":"connected"},
each sent with one write, with no framing.

Plain mode answers the client's reports:
    connected -> connected     sys_mount -> sys_mountimg     sys_run -> sys_runing
and, --run-time seconds after it sent sys_runing, sends sys_run_finish. The
options below change the answers, delay them, drop them, close the
connection, or send sys_exit. Script mode (--script) runs a list of steps
instead; see SCRIPT_HELP.

Every event is printed on standard output, one line each:
    HH:MM:SS.mmm +ELAPSED #CONN EVENT [TEXT]
with EVENT one of listen, accept, recv, send, close (this side closed), eof
(the client closed), shell, note, exit. A recv/send TEXT is the exact text,
printed with Python escapes only when it is not plain printable text.

Exit status: 0 when the run ended as planned (the client sent its final
report and closed, or --connections were served, or a script ended), 1 when
a script step failed, 2 on a usage error, 3 when --timeout ran out.
"""

import argparse
import json
import select
import socket
import subprocess
import sys
import time

SCRIPT_HELP = """script steps, one a line ('#' starts a comment):
  accept [TIMEOUT]      wait for the next connection (the script starts with one)
  expect CMD [TIMEOUT]  wait for a message whose cmd is CMD; others are skipped
  send TEXT             send TEXT in one write (Python escapes: \\n, \\xNN)
  sleep SECONDS
  close                 close the connection
  wait-close [TIMEOUT]  wait for the client to close the connection
  shell COMMAND         run COMMAND with /bin/sh; a failure fails the script
  exit [STATUS]         end here (the end of the script is exit 0)
TIMEOUT defaults to 30 seconds."""

DEFAULT_REPLIES = {
    "connected": '{"cmd":"connected"}',
    "sys_mount": '{"cmd":"sys_mountimg"}',
    "sys_run": '{"cmd":"sys_runing"}',
}
RUN_FINISH = '{"cmd":"sys_run_finish"}'
EXIT = '{"cmd":"sys_exit"}'


class Timeout(Exception):
    pass


def unescape(text):
    """TEXT with Python backslash escapes, as the bytes to send."""
    return text.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1")


def shown(data):
    text = data.decode("utf-8", "replace")
    if text.isprintable() and "\ufffd" not in text:
        return text
    return repr(data)[2:-1]


def unfinished_object(text):
    """True when text starts a JSON object that has not been closed yet."""
    if not text.startswith("{"):
        return False
    depth, in_string, escaped = 0, False, False
    for char in text:
        if escaped:
            escaped = False
        elif in_string:
            escaped = char == "\\"
            in_string = char != '"'
        elif char == '"':
            in_string = True
        elif char in "{[":
            depth += 1
        elif char in "}]":
            depth -= 1
            if depth == 0:
                return False
    return True


class Manager:
    def __init__(self, opts):
        self.opts = opts
        self.start = time.monotonic()
        self.deadline = self.start + opts.timeout if opts.timeout else None
        self.conn = None
        self.conn_no = 0
        self.pending = b""  # bytes read but not yet split into messages
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((opts.addr, opts.port))
        self.listener.listen(4)
        self.log("listen", f"{opts.addr}:{opts.port}")

    def log(self, event, text=""):
        now = time.time()
        stamp = time.strftime("%H:%M:%S", time.localtime(now)) + f".{int(now * 1000) % 1000:03d}"
        elapsed = time.monotonic() - self.start
        print(f"{stamp} +{elapsed:.3f} #{self.conn_no} {event} {text}".rstrip(), flush=True)

    def wait(self, sock, until):
        """True when sock is readable before the monotonic time `until`."""
        while True:
            now = time.monotonic()
            if self.deadline is not None and now >= self.deadline:
                raise Timeout()
            limit = until if self.deadline is None else min(until, self.deadline)
            wait = None if limit == float("inf") else max(0.0, limit - now)
            ready, _, _ = select.select([sock], [], [], wait)
            if ready:
                return True
            if time.monotonic() >= until:
                return False

    def accept(self, timeout=float("inf")):
        if not self.wait(self.listener, time.monotonic() + timeout):
            return False
        self.conn, peer = self.listener.accept()
        self.conn_no += 1
        self.pending = b""
        self.log("accept", f"{peer[0]}:{peer[1]}")
        return True

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.log("send", shown(data))
        try:
            self.conn.sendall(data)
        except OSError as err:
            self.log("note", f"send failed: {err}")

    def close(self):
        self.conn.close()
        self.conn = None
        self.log("close")

    def read(self):
        """Messages from one read, or None at the end of the connection."""
        try:
            data = self.conn.recv(65536)
        except OSError as err:
            self.log("note", f"recv failed: {err}")
            data = b""
        if not data:
            self.conn.close()
            self.conn = None
            self.log("eof")
            return None
        self.pending += data
        return self.split()

    def split(self):
        """(raw bytes, cmd or None) for each complete JSON value in pending."""
        messages = []
        decoder = json.JSONDecoder()
        while self.pending:
            text = self.pending.decode("utf-8", "replace")
            try:
                value, end = decoder.raw_decode(text)
            except json.JSONDecodeError:
                if unfinished_object(text) and len(self.pending) < 65536:
                    break  # a message cut short: wait for the rest
                messages.append((self.pending, None))
                self.pending = b""
                break
            raw = text[:end].encode()
            self.pending = text[end:].encode()
            cmd = value.get("cmd") if isinstance(value, dict) else None
            messages.append((raw, cmd if isinstance(cmd, str) else None))
        for raw, _ in messages:
            self.log("recv", shown(raw))
        return messages

    # Plain mode -----------------------------------------------------------

    def serve(self):
        opts = self.opts
        served = 0
        while True:
            self.accept()
            ended = self.serve_one()
            served += 1
            if ended or (opts.connections and served >= opts.connections):
                return 0

    def serve_one(self):
        """Serves one connection; True when the run is over."""
        opts = self.opts
        timers = []  # (when, action, data)
        running = finished = exiting = False
        close_on = dict(opts.close_on)
        for text in opts.on_connect:
            self.send(unescape(text))
        while self.conn is not None:
            timers.sort(key=lambda t: t[0])
            until = timers[0][0] if timers else float("inf")
            if self.wait(self.conn, until):
                messages = self.read()
                if messages is None:
                    return finished or exiting
                for raw, cmd in messages:
                    if cmd == "sys_run_finish":
                        finished = True
                    if cmd in close_on:
                        close_on[cmd] -= 1
                        if close_on[cmd] <= 0:
                            self.close()
                            return False
                    if cmd in opts.exit_on:
                        timers.append((time.monotonic() + opts.delay, "send", EXIT))
                        exiting = True
                        continue
                    reply = opts.replies.get(cmd) if not opts.silent else None
                    if reply:
                        timers.append((time.monotonic() + opts.delay, "send", unescape(reply)))
                continue
            _, action, data = timers.pop(0)
            if action == "close":
                self.close()
                return False
            self.send(data)
            if b'"sys_runing"' in data and not running:
                running = True
                if opts.close_after_running is not None:
                    timers.append((time.monotonic() + opts.close_after_running, "close", None))
                elif opts.run_time >= 0:
                    timers.append((time.monotonic() + opts.run_time, "send", RUN_FINISH.encode()))
        return False

    # Script mode ----------------------------------------------------------

    def run_script(self, lines):
        queue = []
        self.accept()
        for number, line in enumerate(lines, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            word, _, rest = line.partition(" ")
            rest = rest.strip()
            args = rest.split()
            if word == "accept":
                if self.conn is not None:
                    self.close()
                if not self.accept(float(args[0]) if args else 30):
                    return self.fail(number, "no connection")
                queue = []
            elif word == "expect":
                if not self.expect(queue, args[0], float(args[1]) if len(args) > 1 else 30):
                    return self.fail(number, f"no {args[0]}")
            elif word == "send":
                self.send(unescape(rest))
            elif word == "sleep":
                time.sleep(float(rest))
            elif word == "close":
                self.close()
            elif word == "wait-close":
                if not self.wait_close(queue, float(args[0]) if args else 30):
                    return self.fail(number, "connection still open")
            elif word == "shell":
                self.log("shell", rest)
                if subprocess.call(rest, shell=True) != 0:
                    return self.fail(number, "command failed")
            elif word == "exit":
                return int(args[0]) if args else 0
            else:
                return self.fail(number, f"unknown step {word!r}")
        return 0

    def fail(self, number, why):
        self.log("note", f"script line {number} failed: {why}")
        return 1

    def expect(self, queue, cmd, timeout):
        until = time.monotonic() + timeout
        while True:
            while queue:
                _, got = queue.pop(0)
                if got == cmd:
                    return True
            if self.conn is None or not self.wait(self.conn, until):
                return False
            queue.extend(self.read() or [])

    def wait_close(self, queue, timeout):
        until = time.monotonic() + timeout
        while self.conn is not None:
            if not self.wait(self.conn, until):
                return False
            queue.extend(self.read() or [])
        return True


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description=__doc__,
        epilog=SCRIPT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add = parser.add_argument
    add("--addr", default="10.10.10.2", help="address to listen on (default %(default)s)")
    add("--port", type=int, default=7901, help="port to listen on (default %(default)s)")
    add("--run-time", type=float, default=3.0, metavar="S",
        help="seconds from sys_runing to sys_run_finish; negative: never (default %(default)s)")
    add("--delay", type=float, default=0.0, metavar="S",
        help="wait S seconds before each answer (beyond the client's 2 s tick every repeated "
        "report is answered too, and a late answer can undo a later command)")
    add("--silent", action="store_true", help="answer nothing")
    add("--reply", action="append", default=[], metavar="CMD=TEXT",
        help="answer CMD with TEXT (Python escapes; several JSON texts go out in one write; "
        "empty TEXT: no answer)")
    add("--on-connect", action="append", default=[], metavar="TEXT",
        help="send TEXT as soon as a connection is accepted")
    add("--close-on", action="append", default=[], metavar="CMD[:N]",
        help="close the connection when CMD arrives (the N-th time on a connection)")
    add("--close-after-running", type=float, metavar="S",
        help="close the connection S seconds after sys_runing instead of finishing the run")
    add("--exit-on", action="append", default=[], metavar="CMD", help="answer CMD with sys_exit")
    add("--connections", type=int, default=0, metavar="N", help="end after N connections")
    add("--script", metavar="FILE", help="run the steps in FILE ('-': standard input)")
    add("--timeout", type=float, default=0, metavar="S", help="give up after S seconds (status 3)")
    opts = parser.parse_args(argv)
    opts.replies = dict(DEFAULT_REPLIES)
    for item in opts.reply:
        cmd, sep, text = item.partition("=")
        if not sep:
            parser.error(f"--reply wants CMD=TEXT, not {item!r}")
        opts.replies[cmd] = text
    close_on = []
    for item in opts.close_on:
        cmd, _, count = item.partition(":")
        close_on.append((cmd, int(count or 1)))
    opts.close_on = close_on
    return opts


def main(argv):
    opts = parse_args(argv)
    lines = None
    if opts.script:
        with (sys.stdin if opts.script == "-" else open(opts.script, encoding="utf-8")) as script:
            lines = script.read().splitlines()
    manager = Manager(opts)
    try:
        status = manager.run_script(lines) if lines is not None else manager.serve()
    except Timeout:
        status = 3
        manager.log("note", "timed out")
    except KeyboardInterrupt:
        status = 130
    manager.log("exit", str(status))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
