#!/usr/bin/env python3
r"""A stand-in for the robot manager, for trying a board or the client without
the real one.

It listens on 10.10.10.2:7901 (see --addr/--port) and speaks the manager's
side of the deployment handshake: JSON texts such as {"cmd":"connected"},
each sent with one write, with no framing.

Plain mode answers the client's reports:
    connected -> connected     sys_mount -> sys_mountimg     sys_run -> sys_runing
and, --run-time seconds after it sent sys_runing, sends sys_run_finish. A
connected starts the run over: a sys_run_finish (or a close) still due is
dropped; answers still due to earlier reports go out, as a slow manager's
would. Answers go out at least 0.1 s apart. SIGUSR1 closes the connection
at once, as a manager whose end of the link went away would. The
options below change the answers, delay them, drop them, close the
connection, or send sys_exit. Script mode (--script) runs a list of steps
instead; see SCRIPT_HELP.

Every event is printed on standard output, one line each:
    HH:MM:SS.mmm +ELAPSED #CONN EVENT [TEXT]
with EVENT one of listen, accept, recv, send, close (this side closed), eof
(the client closed), shell, note, exit. The client's texts are read as JSON
values however the reads cut them: two values in one read are two messages,
whitespace between them is skipped. A recv TEXT is one value (or bytes that
could not be read as one), a send TEXT one write, both exactly as they went
over the wire: printable ASCII as it is, a backslash as \\, every other
byte as \xNN.

With --record FILE the same events are also appended to FILE as JSON lines,
{"t": ELAPSED, "wall": SECONDS, "conn": CONN, "event": EVENT, "text": TEXT},
with the wall clock in seconds since the epoch, and "cmd" (the cmd of a
received JSON object, or null) on recv events. The query form answers
questions about such a record:
    sim_manager.py query FILE [--conn N] [--event E] [--cmd C] [--text T]
                              [--count | --times | --wall | --at-least N]
prints the TEXT of each matching event, one a line (--times: its ELAPSED;
--wall: its wall clock; --count: how many match), or with --at-least exits
0 only when N or more match.

Exit status: 0 when the run ended as planned (the client sent its final
report and closed, or with --connections once they were served, or a
script ended), 1 when
a script step failed, 2 on a usage error (a malformed script step among
them: "script:LINE: why" on standard error), 3 when --timeout ran out.
"""

import argparse
import json
import select
import signal
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
JSON_SPACE = b" \t\n\r"
SEND_GAP = 0.1  # seconds between two answers on a connection (plain mode)
EXIT = '{"cmd":"sys_exit"}'


class Timeout(Exception):
    pass


class Hangup(Exception):
    """SIGUSR1 in plain mode: the connection is to end now, as it does for a
    manager whose end of the link goes away with the cable."""


def hang_up(_signum, _frame):
    raise Hangup()


def unescape(text):
    """TEXT with Python backslash escapes, as the bytes to send."""
    return text.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1")


def shown(data):
    """The bytes as one log line: printable ASCII as is, a backslash doubled,
    every other byte as \\xNN."""
    return "".join(
        "\\\\" if byte == 0x5C else chr(byte) if 0x20 <= byte < 0x7F else f"\\x{byte:02x}" for byte in data
    )


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
        self.record = open(opts.record, "a", encoding="utf-8") if opts.record else None
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((opts.addr, opts.port))
        self.listener.listen(4)
        self.log("listen", f"{opts.addr}:{opts.port}")

    def log(self, event, text="", cmd=None):
        now = time.time()
        stamp = time.strftime("%H:%M:%S", time.localtime(now)) + f".{int(now * 1000) % 1000:03d}"
        elapsed = time.monotonic() - self.start
        print(f"{stamp} +{elapsed:.3f} #{self.conn_no} {event} {text}".rstrip(), flush=True)
        if self.record:
            entry = {"t": round(elapsed, 3), "wall": round(now, 6), "conn": self.conn_no, "event": event, "text": text}
            if event == "recv":
                entry["cmd"] = cmd
            self.record.write(json.dumps(entry) + "\n")
            self.record.flush()

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
        """(raw bytes, cmd or None) for each complete JSON value in pending.
        Whitespace between values is skipped; bytes that are no JSON value
        make one message of their own."""
        messages = []
        decoder = json.JSONDecoder()
        while True:
            value_at = len(self.pending) - len(self.pending.lstrip(JSON_SPACE))
            if value_at == len(self.pending):
                break  # nothing, or only whitespace so far
            # surrogateescape keeps every byte, so `end` maps back to bytes.
            text = self.pending[value_at:].decode("utf-8", "surrogateescape")
            try:
                value, end = decoder.raw_decode(text)
            except json.JSONDecodeError:
                if unfinished_object(text) and len(self.pending) < 65536:
                    break  # a message cut short: wait for the rest
                messages.append((self.pending[value_at:], None))
                self.pending = b""
                break
            raw = text[:end].encode("utf-8", "surrogateescape")
            self.pending = self.pending[value_at + len(raw):]
            cmd = value.get("cmd") if isinstance(value, dict) else None
            messages.append((raw, cmd if isinstance(cmd, str) else None))
        for raw, cmd in messages:
            self.log("recv", shown(raw), cmd)
        return messages

    # Plain mode -----------------------------------------------------------

    def serve(self):
        opts = self.opts
        served = 0
        while True:
            self.accept()
            ended = self.serve_one()
            served += 1
            if (opts.connections and served >= opts.connections) or (ended and not opts.connections):
                return 0

    def serve_one(self):
        """Serves one connection; True when the run is over."""
        signal.signal(signal.SIGUSR1, hang_up)
        try:
            return self.answer()
        except Hangup:
            self.close()
            return False
        finally:
            signal.signal(signal.SIGUSR1, signal.SIG_IGN)

    def answer(self):
        opts = self.opts
        timers = []  # (when, action, data)
        running = finished = exiting = False
        last_send = 0.0
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
                        timers.append((time.monotonic() + opts.delay, "send", EXIT.encode()))
                        exiting = True
                        continue
                    if cmd == "connected":
                        # The client starts over (a new connection, or its
                        # cable plugged in again): so does the run.
                        timers[:] = [t for t in timers if t[1] == "send" and t[2] != RUN_FINISH.encode()]
                        running = False
                    reply = opts.replies.get(cmd) if not opts.silent else None
                    if reply:
                        timers.append((time.monotonic() + opts.delay, "send", unescape(reply)))
                continue
            _, action, data = timers.pop(0)
            if action == "close":
                self.close()
                return False
            # The client takes whatever one read brings as one message:
            # answers go out apart, so that it reads them one by one.
            time.sleep(max(0.0, last_send + SEND_GAP - time.monotonic()))
            last_send = time.monotonic()
            self.send(data)
            if data == RUN_FINISH.encode() and opts.close_after_finish is not None:
                timers.append((time.monotonic() + opts.close_after_finish, "close", None))
            if b'"sys_runing"' in data and not running:
                running = True
                if opts.close_after_running is not None:
                    timers.append((time.monotonic() + opts.close_after_running, "close", None))
                elif opts.run_time >= 0:
                    timers.append((time.monotonic() + opts.run_time, "send", RUN_FINISH.encode()))
        return False

    # Script mode ----------------------------------------------------------

    def run_script(self, steps):
        queue = []
        self.accept()
        for number, word, arg, timeout in steps:
            if word in ("send", "close") and self.conn is None:
                return self.fail(number, "no connection")
            if word == "accept":
                if self.conn is not None:
                    self.close()
                if not self.accept(timeout):
                    return self.fail(number, "no connection")
                queue = []
            elif word == "expect":
                if not self.expect(queue, arg, timeout):
                    return self.fail(number, f"no {arg}")
            elif word == "send":
                self.send(arg)
            elif word == "sleep":
                time.sleep(arg)
            elif word == "close":
                self.close()
            elif word == "wait-close":
                if not self.wait_close(queue, timeout):
                    return self.fail(number, "connection still open")
            elif word == "shell":
                self.log("shell", arg)
                if subprocess.call(arg, shell=True) != 0:
                    return self.fail(number, "command failed")
            elif word == "exit":
                return arg
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


class ScriptError(Exception):
    pass


def seconds(text):
    value = float(text)
    if not value >= 0:  # also NaN
        raise ValueError
    return value


# step -> (the words it takes, a reader for the one that is not a timeout, or None)
STEPS = {
    "accept": ("[TIMEOUT]", None),
    "expect": ("CMD [TIMEOUT]", str),
    "send": ("TEXT", unescape),
    "sleep": ("SECONDS", seconds),
    "close": ("", None),
    "wait-close": ("[TIMEOUT]", None),
    "shell": ("COMMAND", str),
    "exit": ("[STATUS]", int),
}


def parse_script(lines):
    """The steps of a script as (line number, step, argument, timeout), or
    ScriptError("LINE: why") for the first malformed one."""
    steps = []
    for number, line in enumerate(lines, 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        word, _, rest = line.partition(" ")
        rest = rest.strip()
        if word not in STEPS:
            raise ScriptError(f"{number}: unknown step {word!r}")
        form, reader = STEPS[word]
        args = [rest] if word in ("send", "shell") and rest else rest.split()
        wanted = form.split()
        needed = len([w for w in wanted if not w.startswith("[")])
        timeout = 30.0
        try:
            if not needed <= len(args) <= len(wanted):
                raise ValueError
            if wanted and wanted[-1] == "[TIMEOUT]" and len(args) == len(wanted):
                timeout = seconds(args.pop())
            arg = reader(args[0]) if reader and args else (0 if word == "exit" else None)
            if word == "exit" and not 0 <= arg <= 255:
                raise ValueError
        except (ValueError, UnicodeError):
            raise ScriptError(f"{number}: {word} wants {form or 'nothing'}, not {rest!r}") from None
        steps.append((number, word, arg, timeout))
    return steps


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
        "report is answered too, late; the client ignores a late answer that would take it back)")
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
    add("--close-after-finish", type=float, metavar="S",
        help="close the connection S seconds after sending sys_run_finish (before the client's final report)")
    add("--exit-on", action="append", default=[], metavar="CMD", help="answer CMD with sys_exit")
    add("--connections", type=int, default=0, metavar="N",
        help="end after N connections, however they ended (several whole deployments)")
    add("--script", metavar="FILE", help="run the steps in FILE ('-': standard input)")
    add("--timeout", type=float, default=0, metavar="S", help="give up after S seconds (status 3)")
    add("--record", metavar="FILE", help="also append every event to FILE as a JSON line")
    opts = parser.parse_args(argv)
    opts.replies = dict(DEFAULT_REPLIES)
    for item in opts.reply:
        cmd, sep, text = item.partition("=")
        if not sep:
            parser.error(f"--reply wants CMD=TEXT, not {item!r}")
        opts.replies[cmd] = text
    for text in list(opts.replies.values()) + opts.on_connect:
        try:
            unescape(text)
        except UnicodeError:
            parser.error(f"not a text with Python escapes: {text!r}")
    close_on = []
    for item in opts.close_on:
        cmd, _, count = item.partition(":")
        if not (count or "1").isdigit():
            parser.error(f"--close-on wants CMD[:N], not {item!r}")
        close_on.append((cmd, int(count or 1)))
    opts.close_on = close_on
    return opts


def query(argv):
    """The query form: see the module's help."""
    parser = argparse.ArgumentParser(prog="sim_manager.py query", description="Questions about a record.")
    add = parser.add_argument
    add("record", help="a file written with --record")
    add("--conn", type=int, help="events on this connection only")
    add("--event", help="events of this kind only (recv, send, accept, ...)")
    add("--cmd", help="received messages with this cmd only")
    add("--text", help="events with exactly this text only")
    shown_as = parser.add_mutually_exclusive_group()
    shown_as.add_argument("--count", action="store_true", help="print how many events match")
    shown_as.add_argument("--times", action="store_true", help="print the time of each")
    shown_as.add_argument("--wall", action="store_true", help="print the wall clock of each (seconds since the epoch)")
    shown_as.add_argument("--at-least", type=int, metavar="N", help="exit 0 when N or more match, else 1")
    opts = parser.parse_args(argv)
    try:
        with open(opts.record, encoding="utf-8") as record:
            events = [json.loads(line) for line in record if line.strip()]
    except FileNotFoundError:
        events = []
    wanted = {"conn": opts.conn, "event": opts.event, "cmd": opts.cmd, "text": opts.text}
    found = [e for e in events if all(value is None or e.get(key) == value for key, value in wanted.items())]
    if opts.at_least is not None:
        return 0 if len(found) >= opts.at_least else 1
    if opts.count:
        print(len(found))
    for event in [] if opts.count else found:
        print(event["t"] if opts.times else event["wall"] if opts.wall else event["text"])
    return 0


def main(argv):
    if argv[:1] == ["query"]:
        return query(argv[1:])
    opts = parse_args(argv)
    steps = None
    if opts.script:
        try:
            with (sys.stdin if opts.script == "-" else open(opts.script, encoding="utf-8")) as script:
                steps = parse_script(script.read().splitlines())
        except (OSError, UnicodeError) as err:
            print(f"sim_manager: --script {opts.script}: {err}", file=sys.stderr)
            return 2
        except ScriptError as err:
            print(f"script:{err}", file=sys.stderr)
            return 2
    manager = Manager(opts)
    signal.signal(signal.SIGUSR1, signal.SIG_IGN)
    try:
        status = manager.run_script(steps) if steps is not None else manager.serve()
    except Timeout:
        status = 3
        manager.log("note", "timed out")
    except KeyboardInterrupt:
        status = 130
    manager.log("exit", str(status))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
