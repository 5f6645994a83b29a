#!/usr/bin/env python3
"""Linux side of the stand-in adapter's packet path under Wine.

    tun_bridge.py LINK PORT READY-FILE

Attaches to the existing tun link LINK, listens on 127.0.0.1:PORT (PORT 0:
a free one, written to READY-FILE) for the Windows helper ("tap_pump bridge
PORT"), and relays packets both ways until the helper hangs up: each packet
on the socket is a 2-byte big-endian length and the packet. What the client
writes to the device leaves the tun link; what the system sends into the
link reaches the client's reads.
"""
import fcntl
import os
import select
import socket
import struct
import sys

TUNSETIFF = 0x400454CA
IFF_TUN = 0x0001
IFF_NO_PI = 0x1000


def open_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def main():
    link, port, ready = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    tun = open_tun(link)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(1)
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.rename(ready + ".tmp", ready)
    peer, _ = server.accept()
    peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    server.close()
    pending = b""
    counts = {"to_link": 0, "from_link": 0}
    while True:
        readable, _, _ = select.select([tun, peer], [], [])
        if tun in readable:
            packet = os.read(tun, 65535)
            peer.sendall(struct.pack("!H", len(packet)) + packet)
            counts["from_link"] += 1
        if peer in readable:
            data = peer.recv(65536)
            if not data:
                break
            pending += data
            while len(pending) >= 2:
                n = struct.unpack("!H", pending[:2])[0]
                if len(pending) < 2 + n:
                    break
                os.write(tun, pending[2:2 + n])
                pending = pending[2 + n:]
                counts["to_link"] += 1
    print("tun_bridge: %d packets to %s, %d from it" % (counts["to_link"], link, counts["from_link"]))


if __name__ == "__main__":
    main()
