#!/usr/bin/python3
"""The far end of the LAN for the discovery responder's tests, run inside a
network namespace: sends request datagrams and reports every UDP datagram
that arrives on its interface, whatever its destination.

  netpeer.py <interface>
stdin:  "send <ip> <port> <payload hex>"   (a broadcast address is sent out
        of <interface>)
stdout: "ready", "sent <source port>",
        "udp <src ip>:<port> > <dst ip>:<port> <payload hex>"
"""

import select
import socket
import struct
import sys

ETH_P_IP = 0x0800
PACKET_OUTGOING = 4


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def udp_of(frame):
    """(src, sport, dst, dport, payload) of an IPv4 UDP frame, else None."""
    ip = frame[14:]
    if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != socket.IPPROTO_UDP:
        return None
    ihl = (ip[0] & 0x0F) * 4
    total = struct.unpack("!H", ip[2:4])[0]
    udp = ip[ihl:total]
    if len(udp) < 8:
        return None
    sport, dport, length = struct.unpack("!HHH", udp[:6])
    return (socket.inet_ntoa(ip[12:16]), sport, socket.inet_ntoa(ip[16:20]), dport, udp[8:length])


def send(iface, ip, port, payload):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode() + b"\0")
    s.sendto(payload, (ip, port))
    say("sent %d" % s.getsockname()[1])
    s.close()


def main():
    iface = sys.argv[1]
    cap = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_IP))
    cap.bind((iface, 0))
    say("ready")
    while True:
        readable, _, _ = select.select([cap, sys.stdin], [], [])
        if cap in readable:
            frame, addr = cap.recvfrom(65536)
            got = udp_of(frame) if addr[2] != PACKET_OUTGOING else None
            if got:
                say("udp %s:%d > %s:%d %s" % (got[0], got[1], got[2], got[3], got[4].hex()))
        if sys.stdin in readable:
            line = sys.stdin.readline()
            if not line:
                return
            words = line.split()
            if len(words) >= 3 and words[0] == "send":
                send(iface, words[1], int(words[2]), bytes.fromhex(words[3] if len(words) > 3 else ""))


if __name__ == "__main__":
    main()
