#!/usr/bin/env python3
"""report.py WORK [--ticks N] [--rounds N] [--traced N] [--arm64]: prints the
benchmark's report from what bench/run.sh left in WORK:

  *.res               key=value lines the phases measured while they ran
  trace.client.log    the client under strace -f -ttt, trace.floor.log the floor
  heap.client.log     the client under valgrind --trace-malloc
  link.log, link.times  the client's stamped log (stamp.py) and, for each
                      carrier-up, the ip command's monotonic start and end
  deploy<N>.log       each deployment's stamped client log
  plain               the seconds of each plain scp of the same trees
  cable.times, cable.peer  for each plug-in of the cable watch, the ip
                      command's monotonic start and end; the stand-in for
                      systemd's stamped log (rc-systemd-peer)
  cable.follow.trace  the watch under strace -ttt while it followed a
                      deployment

and the binaries of build-bench (and build-bench-arm64 with --arm64), whose
sizes it measures with strip and readelf. Every figure is printed beside its
floor, their ratio and the target; a figure that is missing shows as "?".
"""

import argparse
import glob
import os
import re
import statistics
import subprocess
import tempfile
import time

TICK7 = "updateInfo_onTimer status =7 "
# One RUNNING tick's trace ends with the write of its status line.
TICK7_WRITE = r"^[0-9.]+ write[(]1, .*" + TICK7
ALLOC = re.compile(r"^--[0-9]+-- [a-z_A-Z0-9]*(alloc|_Znw|_Zna)[a-z_A-Z0-9]*\(")
# The client's expected work per idle tick: the address check's socket,
# ioctl and close, the status line and the link line's buffer, the wait.
IDLE_TICK_CALLS = sorted("socket ioctl close write write epoll_wait".split())


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read().splitlines()
    except OSError:
        return []


def results(work):
    """The key=value lines of every phase's .res file."""
    values = {}
    for path in sorted(glob.glob(os.path.join(work, "*.res"))):
        for line in read_lines(path):
            key, _, value = line.partition("=")
            values[key] = value
    return values


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def median(values):
    """The median as run.sh has always shown it: the middle value as
    measured, or the mean of the two middle ones; None for no values."""
    values = sorted(values, key=float)
    if not values:
        return None
    if len(values) % 2:
        return values[len(values) // 2]
    return f"{statistics.mean(map(float, values[len(values) // 2 - 1:len(values) // 2 + 1])):.6g}"


# --- System calls and allocations per tick ------------------------------


def call_name(line):
    """The system call (strace -ttt) or allocation call (valgrind
    --trace-malloc, frees left out) a trace line records, else None."""
    line = re.sub(r"^\[pid +[0-9]+\] ", "", line)
    syscall = re.match(r"^[0-9]+\.[0-9]+ ([a-z_0-9]+)\(", line)
    if syscall:
        return syscall.group(1)
    alloc = re.match(r"^--[0-9]+-- ([A-Za-z_0-9]+\([^)]*\))", line)
    if alloc and not re.search(r"-- free\(|-- _ZdlPv|-- _ZdaPv", line):
        return alloc.group(1)
    return None


def windows(lines, marker, first, count):
    """The calls between one MARKER line and the next, for the FIRST-th to
    the (FIRST+COUNT-1)-th marker (the marker's own call included), one
    space-separated sequence each ("(none)" when empty)."""
    found, calls, out = 0, [], []
    for line in lines:
        name = call_name(line)
        if first <= found < first + count and name:
            calls.append(name)
        if re.search(marker, re.sub(r"^\[pid +[0-9]+\] ", "", line)):
            if first <= found < first + count:
                out.append(" ".join(calls) or "(none)")
            calls = []
            found += 1
    return out


def sequences(seqs):
    """The distinct sequences, most common first: "16 x socket ...; 2 x ..."."""
    counts = {}
    for seq in seqs:
        counts[seq] = counts.get(seq, 0) + 1
    ranked = sorted(counts.items(), key=lambda item: (item[1], item[0]), reverse=True)
    return "; ".join(f"{n} x {seq}" for seq, n in ranked) or None


def commonest(summary):
    """The most common sequence of a sequences() summary."""
    return re.sub(r"^[0-9]+ x ", "", summary).split(";")[0] if summary else None


# --- Link reaction and deployments --------------------------------------


def stamped(lines, pattern):
    """The stamps (stamp.py's first field) of the lines that match pattern."""
    return [float(line.split(" ", 1)[0]) for line in lines if re.search(pattern, line)]


def reactions(work):
    """For each carrier-up: (to SYS_STATE_IDLE, to the usb0 up line, the ip
    command's own time), in seconds from the ip command's start."""
    log = read_lines(os.path.join(work, "link.log"))
    ups, idles = stamped(log, " up usb0$"), stamped(log, "SYS_STATE_IDLE")
    rows = []
    for line in read_lines(os.path.join(work, "link.times")):
        start, end = map(float, line.split())
        up = next((t for t in ups if t > start), start)
        idle = next((t for t in idles if t > start), start)
        rows.append((f"{idle - start:.6f}", f"{up - start:.6f}", f"{end - start:.6f}"))
    return rows


def deployments(work):
    """For each deployment: (whole run, copy phase) in seconds: start to
    exit, and the copy tick's status line to its sys_mount_finish."""
    rows = []
    for path in sorted(glob.glob(os.path.join(work, "deploy*.log")), key=lambda p: int(re.sub(r"\D", "", os.path.basename(p)) or 0)):
        log = read_lines(path)

        def last(pattern):
            stamps = stamped(log, pattern)
            return stamps[-1] if stamps else 0.0

        rows.append((f"{last('stamp: exit') - last('stamp: start'):.6f}",
                     f"{last('tcp send: .*sys_mount_finish') - last('status =4 '):.6f}"))
    return rows


def deploy_floor(plain):
    """The protocol's own timeline with instant answers and the plain copy
    time: tick 1 brings up the unaddressed usb0 (0.6 s), tick 2 brings it up
    again and connects, 3 asks for the mount, 4 copies, 5 asks to run, 6
    ends the run. A tick longer than the 2 s interval is followed at once by
    one late tick, then every 2 s from there."""
    due, ended = 2.0, 0.0
    for took in (0.6, 0.6, 0.0, plain, 0.0):
        ended = max(due, ended) + took
        due = ended if took > 2 else due + 2
    return f"{max(due, ended):.6g}"


# --- The cable watch -----------------------------------------------------

# The watch that ran systemctl, as the bench measured it last: the floor
# column of phase 7.
CABLE_BEFORE = {"cable_rss": "1712", "cable_calls": "0", "cable_cpu": "0.0000", "cable_react": "0.016"}
# Its waits: its own poll, sd-bus's for a reply, and the one strace found
# it in when it attached.
WAIT = re.compile(r"^[0-9.]+ (poll|ppoll|restart_syscall)\(.*\) = ")
READ = re.compile(r"^[0-9.]+ (recvmsg|read|recvfrom)\(.*\) = [1-9]")


def cable_reactions(work):
    """For each plug-in: the seconds from the ip command's start to the
    stand-in's receipt of the next StartUnit."""
    starts = [float(line.split()[0]) for line in read_lines(os.path.join(work, "cable.peer")) if " StartUnit " in line]
    out = []
    for line in read_lines(os.path.join(work, "cable.times")):
        up = float(line.split()[0])
        start = next((t for t in starts if t > up), None)
        if start is not None:
            out.append(f"{start - up:.6f}")
    return out


def cable_wakes(work, values):
    """The watch's wakes while it followed a deployment: how many times its
    own wait returned, and sd-bus's for a reply; how many of them read no
    message before the next wait; the signals (D-Bus message type 4) and
    replies (2) it read, against the signals the stand-in sent in the
    window; its system calls per signal."""
    trace = read_lines(os.path.join(work, "cable.follow.trace"))
    if not trace:
        return
    wakes = replies = empty = calls = 0
    read = True
    for line in trace:
        if call_name(line) or line.split(" ", 1)[-1].startswith("restart_syscall("):
            calls += 1
        wait = WAIT.search(line)
        if wait:
            wakes += wait.group(1) != "ppoll"
            replies += wait.group(1) == "ppoll"
            empty += not read
            read = False
        elif READ.search(line):
            read = True
    empty += not read
    got = sum('iov_base="l\\4' in line for line in trace)
    values["cable_reply_wakes"] = str(replies)
    values["cable_replies_read"] = str(sum('iov_base="l\\2' in line for line in trace))
    window = (number(values.get("cable_follow_from")), number(values.get("cable_follow_to")))
    sent = [line for line in read_lines(os.path.join(work, "cable.peer")) if " signal " in line]
    if None not in window:
        sent = [line for line in sent if window[0] <= float(line.split()[0]) <= window[1]]
    values["cable_wakes"] = str(wakes)
    values["cable_empty_wakes"] = str(empty)
    values["cable_signals_read"] = str(got)
    values["cable_signals_sent"] = str(len(sent))
    values["cable_calls_per_signal"] = f"{calls / got:.1f}" if got else "?"


# --- Binary sizes --------------------------------------------------------


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


def stripped_size(strip, binary):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        run(strip, "-o", out, binary)
        return str(os.path.getsize(out))


def sizes(values, arm64):
    for arch, build, strip in (("amd64", "build-bench", "strip"), ("arm64", "build-bench-arm64", "aarch64-linux-gnu-strip")):
        if arch == "arm64" and not arm64:
            continue
        client, floor = f"{build}/client/robot-client", f"{build}/bench/rc-floor"
        try:
            values[f"size_{arch}"] = stripped_size(strip, client)
            values[f"size_{arch}_cable"] = stripped_size(strip, f"{build}/cable/robot-client-cable")
            values[f"size_{arch}_floor"] = stripped_size(strip, floor)
            # The bytes the loadable segments hold; the rest is alignment padding.
            values[f"seg_{arch}"] = str(sum(int(f[4], 16) for f in map(str.split, run("readelf", "-lW", client).splitlines())
                                            if f and f[0] == "LOAD"))
            values[f"cxx_{arch}"] = str(sum("libstdc++" in line for line in run("readelf", "-d", client).splitlines()
                                            if "NEEDED" in line))
        except (OSError, subprocess.CalledProcessError):
            pass


# --- The report ----------------------------------------------------------


def row(label, figure, floor, unit, form, target, met):
    """One figure beside its floor, their ratio and the target; met(x, r)
    says whether the figure x (ratio r) meets the target."""
    x, f = number(figure), number(floor)
    ratio = x / f if x is not None and f is not None and f > 0 else None
    shown_x = (form % x) + unit if x is not None else (figure or "?")
    shown_f = (form % f) + unit if f is not None else (floor or "?")
    if x is not None:
        verdict = "yes" if met(x, ratio if ratio is not None else 0) else "no"
    else:
        verdict = "n/a" if figure == "n/a" else "?"
    print(f"{label:<34} {shown_x:>12} {shown_f:>12} {f'{ratio:.3f}' if ratio is not None else '-':>7}  {target:<27} {verdict}")


def per_hour(start_end_ns, wall):
    """CPU seconds per hour of wall time, from "NS0 NS1" and "T0 T1"."""
    try:
        (ns0, ns1), (t0, t1) = map(float, start_end_ns.split()), map(float, wall.split())
    except (AttributeError, ValueError):
        return None
    return f"{(ns1 - ns0) / 1e9 * 3600 / (t1 - t0):.4f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("work")
    parser.add_argument("--ticks", type=int, default=100, help="RUNNING ticks of the CPU time window")
    parser.add_argument("--rounds", type=int, default=5, help="carrier cycles and deployments")
    parser.add_argument("--traced", type=int, default=16, help="ticks in the strace and valgrind windows")
    parser.add_argument("--arm64", action="store_true", help="measure build-bench-arm64 too")
    opts = parser.parse_args()
    work, traced, rounds = opts.work, opts.traced, opts.rounds
    r = results(work)
    v = lambda key: r.get(key) or "?"  # noqa: E731 (a figure as shown)

    trace_client = read_lines(os.path.join(work, "trace.client.log"))
    if trace_client:
        r["sys_client"] = sequences(windows(trace_client, TICK7_WRITE, 2, traced))
        r["sys_floor"] = sequences(windows(read_lines(os.path.join(work, "trace.floor.log")), r"epoll_wait[(]", 2, traced))
    heap_client = read_lines(os.path.join(work, "heap.client.log"))
    if heap_client:
        r["heap_client"] = sequences(windows(heap_client, TICK7, 2, traced))
        start_up = heap_client[:next((i for i, line in enumerate(heap_client) if "ev_run..." in line), len(heap_client))]
        r["heap_start"] = str(sum(bool(ALLOC.search(line)) for line in start_up))
    r["cpu_client"] = per_hour(r.get("cpu_client_ns"), r.get("cpu_wall"))
    r["cpu_floor"] = per_hour(r.get("cpu_floor_ns"), r.get("cpu_wall"))
    react = reactions(work)
    if react:
        r["react"] = median([t[0] for t in react])
        r["react_max"] = max((t[0] for t in react), key=float)
        r["react_note"] = median([t[1] for t in react])
        r["react_ip"] = median([t[2] for t in react])
    deploys, plain = deployments(work), read_lines(os.path.join(work, "plain"))
    if deploys and plain:
        r["plain"] = median(plain)
        r["deploy"] = median([t[0] for t in deploys])
        r["copy"] = median([t[1] for t in deploys])
        r["copy_all"] = " ".join(f"{float(t[1]):.3f}" for t in deploys)
        r["plain_all"] = " ".join(f"{float(t):.3f}" for t in plain)
        r["deploy_floor"] = deploy_floor(float(r["plain"]))
    sizes(r, opts.arm64)
    r["cable_cpu"] = per_hour(r.get("cable_cpu_ns"), r.get("cable_wall"))
    cable_react = cable_reactions(work)
    if cable_react:
        r["cable_react"] = median(cable_react)
        r["cable_react_max"] = max(cable_react, key=float)
    cable_wakes(work, r)

    sys_c, sys_f, heap_c = commonest(r.get("sys_client")), commonest(r.get("sys_floor")), commonest(r.get("heap_client"))
    heap_n = "?" if heap_c is None else "0" if heap_c == "(none)" else str(len(heap_c.split()))
    cpu_model = next((line.split(":", 1)[1].strip() for line in read_lines("/proc/cpuinfo") if line.startswith("model name")), "?")

    print()
    print(f"robot-client bench, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {os.cpu_count()} cores, {cpu_model},"
          f" kernel {os.uname().release}")
    print(f"{'figure':<34} {'client':>12} {'floor':>12} {'ratio':>7}  {'target':<27} met")
    for key in ("VmRSS", "VmHWM"):
        label = f"{'1 ' if key == 'VmRSS' else '  '}{key} at tick 30 of RUNNING"
        row(label, r.get(f"{key}_client"), r.get(f"{key}_floor"), " KiB", "%d", "ratio <= 1.10", lambda x, q: q <= 1.10)
    print(f"    RssAnon (private): client {v('RssAnon_client')} KiB, floor {v('RssAnon_floor')} KiB;"
          f" RssFile (binary and libraries): client {v('RssFile_client')} KiB, floor {v('RssFile_floor')} KiB")
    for arch in ("amd64", "arm64"):
        no_cxx = r.get(f"cxx_{arch}", "1") == "0"
        row(f"2 stripped size {arch}", r.get(f"size_{arch}", "n/a"), r.get(f"size_{arch}_floor", "n/a"), " B", "%d",
            "<= 65536 B, no libstdc++", lambda x, q, ok=no_cxx: x <= 65536 and ok)
        if f"size_{arch}" in r:
            print(f"    {arch}: loadable segments hold {v(f'seg_{arch}')} B; libstdc++ NEEDED entries: {v(f'cxx_{arch}')};"
                  f" the cable watch stripped: {v(f'size_{arch}_cable')} B")
    if not opts.arm64:
        print("    arm64: n/a, the cross tools of scripts/setup-arm64.sh are not installed")
    sys_ok = sys_c is not None and sorted(sys_c.split()) == IDLE_TICK_CALLS
    row("3 system calls per idle tick", sys_c and str(len(sys_c.split())), sys_f and str(len(sys_f.split())), "", "%d",
        "socket ioctl close 2xwrite wait", lambda x, q: sys_ok)
    print(f"    client, {traced} RUNNING ticks:{v('sys_client')}")
    print(f"    floor, {traced} timer expiries:{v('sys_floor')}")
    row("  heap allocations per idle tick", heap_n, v("heap_floor").split()[0], "", "%d", "0", lambda x, q: x == 0)
    print(f"    client, {traced} RUNNING ticks:{v('heap_client')}; start-up: {v('heap_start')} allocations;"
          f" floor: {v('heap_floor')}")
    row("4 CPU time per hour idle", r.get("cpu_client"), r.get("cpu_floor"), " s", "%.4f", "< 0.1 s", lambda x, q: x < 0.1)
    if r.get("cpu_client") and r.get("cpu_floor"):
        # An hour holds 1800 ticks of 2 s.
        print(f"    from {v('cpu_ticks')} RUNNING ticks: {float(r['cpu_client']) / 1800 * 1e6:.0f} us per tick,"
              f" floor {float(r['cpu_floor']) / 1800 * 1e6:.0f} us per timer expiry")
    row("5 carrier up to SYS_STATE_IDLE", r.get("react"), "0.6", " s", "%.4f", "<= 0.620 s", lambda x, q: x <= 0.620)
    print(f"    median of {rounds}, slowest {v('react_max')} s; link line read after {v('react_note')} s;"
          f" the ip command took {v('react_ip')} s")
    row("6 whole deployment", r.get("deploy"), r.get("deploy_floor"), " s", "%.3f", "ratio <= 1.05", lambda x, q: q <= 1.05)
    row("  copy phase against plain scp", r.get("copy"), r.get("plain"), " s", "%.3f", "ratio <= 1.02", lambda x, q: q <= 1.02)
    fastest = lambda key: min(v(key).split(), key=float) if key in r else "?"  # noqa: E731
    print(f"    medians of {rounds}; copy phases: {v('copy_all')} s; plain scp: {v('plain_all')} s; fastest of each:"
          f" {fastest('copy_all')} s against {fastest('plain_all')} s")
    print("7 cable watch on a stand-in for systemd's socket; floor column: the watch that ran systemctl")
    b = CABLE_BEFORE.get
    row("  waiting: VmRSS", r.get("cable_rss"), b("cable_rss"), " KiB", "%d", "-", lambda x, q: True)
    print(f"    RssAnon (private) {v('cable_rss_anon')} KiB, RssFile (binary and libraries) {v('cable_rss_file')} KiB;"
          f" after following a deployment: VmRSS {v('cable_follow_rss')} KiB")
    row("  system calls per minute waiting", r.get("cable_calls"), b("cable_calls"), "", "%d", "0", lambda x, q: x == 0)
    row("  CPU time per hour waiting", r.get("cable_cpu"), b("cable_cpu"), " s", "%.4f", "< 0.01 s", lambda x, q: x < 0.01)
    row("  carrier up to start job queued", r.get("cable_react"), b("cable_react"), " s", "%.4f", "<= 0.1 s",
        lambda x, q: x <= 0.1)
    print(f"    median of {rounds}, slowest {v('cable_react_max')} s: from the ip command's start to the stand-in's"
          " receipt of StartUnit (before: to a systemctl stand-in's stamp)")
    row("  following: wakes without a message", r.get("cable_empty_wakes"), "-", "", "%d", "0", lambda x, q: x == 0)
    print(f"    its wait woke {v('cable_wakes')} times for {v('cable_signals_sent')} signals sent"
          f" ({v('cable_signals_read')} read); sd-bus waited {v('cable_reply_wakes')} times for the"
          f" {v('cable_replies_read')} replies to its GetAll calls; {v('cable_calls_per_signal')} system calls per signal")


if __name__ == "__main__":
    main()
