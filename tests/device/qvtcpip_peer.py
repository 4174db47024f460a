#!/usr/bin/env python3
"""The far end of a "TCPIP" link, written from the wire description alone.

usage: qvtcpip_peer.py server MODEL HOST
       qvtcpip_peer.py client MODEL HOST DATAPORT [MESGPORT]
MODEL is old, new or uuid. A server prints its port(s) on one line.

After the handshake the peer echoes one line of bytes from the data
connection, echoes one 8-byte message on the message connection, then waits
for the other side's close notice and prints "closed" once it has seen
exactly the word 9 followed by the end of the stream. Any deviation exits
non-zero with the reason on standard error.
"""
import re
import socket
import struct
import sys

# Every wait of the peer ends: a silent device fails the test instead of hanging it.
socket.setdefaulttimeout(10)

HEADER = struct.pack("=4i", 3, 0, 0, 0)


def fail(why):
    sys.stderr.write("peer: " + why + "\n")
    sys.exit(2)


def read_exactly(conn, count):
    got = b""
    while len(got) < count:
        part = conn.recv(count - len(got))
        if not part:
            fail("stream ended after %r, wanted %d bytes" % (got, count))
        got += part
    return got


def family(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def listener(host):
    s = socket.socket(family(host), socket.SOCK_STREAM)
    s.bind((host, 0))
    s.listen(5)
    return s


def serve(model, host):
    data_l = listener(host)
    if model == "old":
        mesg_l = listener(host)
        print(data_l.getsockname()[1], mesg_l.getsockname()[1], flush=True)
        data, _ = data_l.accept()
        pre = read_exactly(data, 14)
        if pre[:13] != b"need_msg_port" or pre[13:] not in (b"Y", b"N"):
            fail("bad preamble %r" % pre)
        if pre[13:] == b"Y":
            data.sendall(b"msg_port=%dY" % mesg_l.getsockname()[1])
        else:
            data.sendall(b"OKY")
        mesg, _ = mesg_l.accept()
    else:
        print(data_l.getsockname()[1], flush=True)
        data, _ = data_l.accept()
        mesg, _ = data_l.accept()
        if model == "uuid":
            lines = [read_exactly(data, 55), read_exactly(mesg, 55)]
            pattern = rb"id=([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}) connection=(data|mesg)"
            found = [re.fullmatch(pattern, line) for line in lines]
            if not all(found) or [m.group(2) for m in found] != [b"data", b"mesg"]:
                fail("bad identification lines %r" % lines)
            if found[0].group(1) != found[1].group(1):
                fail("identification lines name two devices")
        exchange_headers(data)
    talk(data, mesg)


def exchange_headers(data):
    data.sendall(HEADER)
    got = read_exactly(data, 16)
    if got != HEADER:
        fail("bad header %r" % got)


def connect(model, host, data_port, mesg_port):
    data = socket.create_connection((host, data_port))
    if model == "old":
        data.sendall(b"need_msg_port" + (b"N" if mesg_port else b"Y"))
        answer = b""
        while not answer.endswith(b"Y"):
            answer += read_exactly(data, 1)
        if mesg_port:
            if answer != b"OKY":
                fail("bad answer %r" % answer)
        else:
            m = re.fullmatch(rb"msg_port=([0-9]+)Y", answer)
            if not m:
                fail("bad answer %r" % answer)
            mesg_port = int(m.group(1))
        mesg = socket.create_connection((host, mesg_port))
    else:
        mesg = socket.create_connection((host, data_port))
        exchange_headers(data)
    talk(data, mesg)


def talk(data, mesg):
    line = b""
    while not line.endswith(b"\n"):
        line += read_exactly(data, 1)
    data.sendall(line)
    message = read_exactly(mesg, 8)
    mesg.sendall(message)
    notice = read_exactly(mesg, 4)
    if notice != b"\x00\x00\x00\x09":
        fail("bad close notice %r" % notice)
    if mesg.recv(1) != b"":
        fail("bytes after the close notice")
    print("closed", flush=True)


def main():
    role, model, host = sys.argv[1:4]
    if role == "server":
        serve(model, host)
    else:
        ports = [int(p) for p in sys.argv[4:]]
        connect(model, host, ports[0], ports[1] if len(ports) > 1 else None)


main()
