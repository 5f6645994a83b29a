#!/usr/bin/env python3
"""Network probes for the namespace test, bounded in count and time.

  e2e_net.py ping ADDR COUNT TIMEOUT-SECONDS
      sends COUNT ICMP echo requests, one at a time, each waiting up to
      TIMEOUT-SECONDS for its reply; exit status 0 when every one was answered
      (needs a raw socket: root)
  e2e_net.py recv ADDR PORT READY-FILE MAX-SECONDS
      accepts one connection, reads until the sender closes its side, answers
      with the byte count (8 bytes, big-endian) and exits; writes the word
      "ready" to READY-FILE once listening
  e2e_net.py send ADDR PORT BYTES MAX-SECONDS
      sends BYTES, closes its side, waits for the receiver's count and prints
      "bytes=N seconds=S mbit_per_s=R"

The time runs from connect until the count arrives, so it covers every byte
delivered. Either side gives up after MAX-SECONDS; exit status 0 only when
every byte arrived.
"""
import os
import select
import socket
import struct
import sys
import time

CHUNK = 256 * 1024


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ping(addr, count, wait):
    ident = os.getpid() & 0xFFFF
    payload = b"tlx-e2e-probe" * 4
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP) as s:
        for seq in range(1, count + 1):
            head = struct.pack("!BBHHH", 8, 0, 0, ident, seq)
            packet = struct.pack("!BBHHH", 8, 0, checksum(head + payload), ident, seq) + payload
            s.sendto(packet, (addr, 0))
            deadline = time.monotonic() + wait
            answered = False
            while not answered:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([s], [], [], left)[0]:
                    break
                data, peer = s.recvfrom(65535)
                hl = (data[0] & 15) * 4
                kind, _, _, rid, rseq = struct.unpack("!BBHHH", data[hl:hl + 8])
                answered = peer[0] == addr and kind == 0 and rid == ident and rseq == seq \
                    and data[hl + 8:] == payload
            if not answered:
                print("ping %s: no reply to echo request %d" % (addr, seq), file=sys.stderr)
                return 1
    print("ping %s: %d of %d answered" % (addr, count, count))
    return 0


def receive(addr, port, ready, limit):
    deadline = time.monotonic() + limit
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as lsock:
        lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        lsock.bind((addr, port))
        lsock.listen(1)
        lsock.settimeout(limit)
        with open(ready + ".tmp", "w") as f:
            f.write("ready\n")
        os.rename(ready + ".tmp", ready)
        conn, _ = lsock.accept()
    total = 0
    with conn:
        buf = bytearray(CHUNK)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                print("recv: time limit reached after %d bytes" % total, file=sys.stderr)
                return 1
            conn.settimeout(left)
            n = conn.recv_into(buf)
            if n == 0:
                break
            total += n
        conn.sendall(struct.pack(">Q", total))
    return 0


def send(addr, port, count, limit):
    deadline = time.monotonic() + limit
    block = b"\xa5" * CHUNK
    start = time.monotonic()
    with socket.create_connection((addr, port), timeout=limit) as s:
        left = count
        while left > 0:
            rest = deadline - time.monotonic()
            if rest <= 0:
                print("send: time limit reached with %d bytes unsent" % left, file=sys.stderr)
                return 1
            s.settimeout(rest)
            n = s.send(block[:min(left, CHUNK)])
            left -= n
        s.shutdown(socket.SHUT_WR)
        s.settimeout(max(deadline - time.monotonic(), 0.1))
        answer = b""
        while len(answer) < 8:
            part = s.recv(8 - len(answer))
            if not part:
                break
            answer += part
    seconds = time.monotonic() - start
    got = struct.unpack(">Q", answer)[0] if len(answer) == 8 else -1
    if got != count:
        print("send: the receiver counted %d of %d bytes" % (got, count), file=sys.stderr)
        return 1
    print("bytes=%d seconds=%.3f mbit_per_s=%.1f" % (count, seconds, count * 8 / seconds / 1e6))
    return 0


def main(argv):
    try:
        if len(argv) == 5 and argv[1] == "ping":
            return ping(argv[2], int(argv[3]), float(argv[4]))
        if len(argv) == 6 and argv[1] == "recv":
            return receive(argv[2], int(argv[3]), argv[4], float(argv[5]))
        if len(argv) == 6 and argv[1] == "send":
            return send(argv[2], int(argv[3]), int(argv[4]), float(argv[5]))
    except (OSError, ValueError) as e:
        print("%s: %s" % (argv[1], e), file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
