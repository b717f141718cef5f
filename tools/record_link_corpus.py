#!/usr/bin/env python3
"""Records real link notifications as seeds for link_records_fuzz.

Run as root; it makes a network namespace of its own and leaves nothing
behind (the namespace ends with the process):

    unshare --net tools/record_link_corpus.py fuzz/corpus/link_records

Each file holds the bytes of one read from an RTMGRP_LINK netlink socket, as
the client's callback gets them, while veth and bridge interfaces are created,
toggled, renamed and deleted. Two more files hold a link dump (several
RTM_NEWLINK records closed by NLMSG_DONE) and an NLMSG_ERROR reply.
"""
import os
import select
import socket
import struct
import subprocess
import sys

RTMGRP_LINK = 1
READ_MAX = 20480
RTM_GETLINK = 18
NLM_F_REQUEST = 0x1
NLM_F_ACK = 0x4
NLM_F_DUMP = 0x300


def ip(*args):
    subprocess.run(["ip", *args], check=True)


def drain(sock, out_dir, step):
    """Saves every read that arrives within a short wait as <step>-<n>."""
    n = 0
    while select.select([sock], [], [], 0.3)[0]:
        data = sock.recv(READ_MAX)
        with open(os.path.join(out_dir, f"{step}-{n}"), "wb") as f:
            f.write(data)
        n += 1
    return n


def request(sock, msg_type, flags, body):
    header = struct.pack("=IHHII", 16 + len(body), msg_type, flags, 1, 0)
    sock.send(header + body)


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    # Refuse to run outside a fresh namespace: only lo may exist.
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        sys.exit("run me in a fresh network namespace (unshare --net)")

    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
    sock.bind((0, RTMGRP_LINK))

    steps = [
        ("veth-add", ["link", "add", "mgr0", "index", "40", "type", "veth", "peer", "name", "usb0", "index", "41"]),
        ("mgr0-up", ["link", "set", "mgr0", "up"]),
        ("usb0-up", ["link", "set", "usb0", "up"]),
        ("mgr0-down", ["link", "set", "mgr0", "down"]),
        ("mgr0-up-again", ["link", "set", "mgr0", "up"]),
        ("bridge-add", ["link", "add", "br0", "index", "50", "type", "bridge"]),
        ("bridge-up", ["link", "set", "br0", "up"]),
        ("mgr0-to-bridge", ["link", "set", "mgr0", "master", "br0"]),
        ("usb0-down", ["link", "set", "usb0", "down"]),
        ("usb0-rename-usb01", ["link", "set", "usb0", "name", "usb01"]),
        ("usb01-up", ["link", "set", "usb01", "up"]),
        ("veth-del", ["link", "del", "mgr0"]),
        ("bridge-del", ["link", "del", "br0"]),
    ]
    for step, args in steps:
        ip(*args)
        drain(sock, out_dir, step)

    # A dump of all links: several records in one read, closed by NLMSG_DONE.
    ip("link", "add", "eth9", "index", "60", "type", "veth", "peer", "name", "usb0", "index", "61")
    ip("link", "set", "eth9", "up")
    ip("link", "set", "usb0", "up")
    drain(sock, out_dir, "dump-setup")
    ifinfo = struct.pack("=BxHiII", socket.AF_UNSPEC, 0, 0, 0, 0)
    request(sock, RTM_GETLINK, NLM_F_REQUEST | NLM_F_DUMP, ifinfo)
    drain(sock, out_dir, "dump")
    # A request for an index that does not exist: an NLMSG_ERROR reply.
    request(sock, RTM_GETLINK, NLM_F_REQUEST | NLM_F_ACK, struct.pack("=BxHiII", socket.AF_UNSPEC, 0, 999, 0, 0))
    drain(sock, out_dir, "error")
    ip("link", "del", "eth9")
    drain(sock, out_dir, "dump-teardown")


if __name__ == "__main__":
    main()
