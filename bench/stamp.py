#!/usr/bin/env python3
"""stamp.py CMD [ARG...]: runs CMD with its standard output and error on a
pipe and copies each line to standard output as it arrives, prefixed with
the monotonic clock (seconds, shared by every namespace on the machine).
Adds a first line "<time> stamp: start" before CMD starts and a last line
"<time> stamp: exit <status>" when it has ended."""
import subprocess
import sys
import time


def put(stamp, line):
    sys.stdout.buffer.write(b"%.6f %s" % (stamp, line))
    sys.stdout.buffer.flush()


put(time.monotonic(), b"stamp: start\n")
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
for text in child.stdout:
    put(time.monotonic(), text)
status = child.wait()
put(time.monotonic(), b"stamp: exit %d\n" % status)
sys.exit(status)
