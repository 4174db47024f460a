#!/usr/bin/env python3
"""Connections to a link server, written from the identification-line format.

usage: qvlinkserver_client.py PORT CASE

A connecting "TCPIP" device opens two connections to the server's one port
and sends on each, before anything else, 55 bytes: "id=", its id as 36
upper-case characters 8-4-4-4-12, one space, "connection=" and "data" or
"mesg". CASE names a set of connections (some well formed, some not) from the
table below. After sending, the client reports what became of each of its
connections that it left open, one line each, in the order of the table:

  NAME closed     the server closed it (end of stream or reset, after the
                  link's close notice if any)
  NAME header     the 16-byte device header (3, 0, 0, 0) arrived; the client
                  answers with the same header and closes that connection
  NAME silent     nothing within 10 seconds
  NAME bytes HEX  anything else

Connections that the case closes itself are not reported.
"""
import socket
import struct
import sys
import time
import uuid

HEADER = struct.pack("=4i", 3, 0, 0, 0)
CLOSE_NOTICE = struct.pack(">I", 9)
WAIT = 10.0


def line(ident, kind, sep2=b"=", sep39=b" ", sep50=b"="):
    return b"id" + sep2 + ident + sep39 + b"connection" + sep50 + kind


def fresh_id():
    return str(uuid.uuid4()).upper().encode()


def split_sends(sock, data, pieces):
    """Sends data in the given piece sizes, each its own segment."""
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    at = 0
    for size in pieces:
        sock.sendall(data[at:at + size])
        at += size
        # Each piece leaves on its own: wait until the kernel has sent it.
        deadline = time.monotonic() + WAIT
        while unsent(sock) and time.monotonic() < deadline:
            time.sleep(0.001)
    sock.sendall(data[at:])


def unsent(sock):
    # TIOCOUTQ: bytes not yet acknowledged by the peer.
    import fcntl
    import termios
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def case_table(name):
    """(label, bytes, send pieces or None, afterwards) per connection, in order.

    afterwards: watch (report at the end), report (report it and every one
    watched so far now), close, reset.
    """
    a = fresh_id()
    good = [("data", line(a, b"data"), None, "watch"), ("mesg", line(a, b"mesg"), None, "watch")]
    if name == "data-mesg":
        return good
    if name == "mesg-data":
        return list(reversed(good))
    if name == "split":
        return [("data", line(a, b"data"), [1, 2, 20, 31], "watch"),
                ("mesg", line(a, b"mesg"), [54], "watch")]
    if name == "any-separators":
        return [("data", line(a, b"data", b"\x01", b"\xff", b"#"), None, "watch"),
                ("mesg", line(a, b"mesg", b" ", b"\t", b"\x7f"), None, "watch")]
    if name == "short-then-close":
        return [("short", line(a, b"data")[:54], None, "close")]
    if name == "reset":
        return [("reset", line(a, b"data")[:20], None, "reset")]
    if name == "id-nul":
        return [("nul", b"id\0" + line(a, b"data")[3:], None, "watch")]
    if name == "connection-typo":
        return [("typo", line(a, b"data").replace(b"connection", b"connectiom"), None, "watch")]
    if name == "capitals":
        return [("caps", line(a, b"DATA"), None, "watch")]
    if name == "unknown-kind":
        return [("kind", line(a, b"meta"), None, "watch")]
    if name == "silent":
        return [("silent", b"", None, "watch")]
    if name == "duplicate-then-pair":
        # A second data half for an id closes both; a fresh pair with that
        # id afterwards still makes a working link.
        return [("first", line(a, b"data"), None, "watch"),
                ("second", line(a, b"data"), None, "report"),
                ("mesg", line(a, b"mesg"), None, "watch"),
                ("data", line(a, b"data"), None, "watch")]
    sys.exit("unknown case " + name)


def report(label, sock):
    sock.settimeout(WAIT)
    try:
        got = b""
        while len(got) < 16:
            part = sock.recv(16 - len(got))
            if not part:
                break
            got += part
    except socket.timeout:
        return label + (" silent" if not got else " bytes " + got.hex())
    except ConnectionResetError:
        return label + " closed"
    if got == HEADER:
        sock.sendall(HEADER)
        sock.close()
        return label + " header"
    # A link that goes sends its close notice, the word 9, before the end.
    if got in (b"", CLOSE_NOTICE):
        return label + " closed"
    return label + " bytes " + got.hex()


def main():
    port, name = int(sys.argv[1]), sys.argv[2]
    watched = []
    for label, data, pieces, after in case_table(name):
        sock = socket.create_connection(("127.0.0.1", port))
        if pieces:
            split_sends(sock, data, pieces)
        elif data:
            sock.sendall(data)
        if after == "close":
            sock.close()
        elif after == "reset":
            reset(sock)
        else:
            watched.append((label, sock))
        if after == "report":
            report_all(watched)
            watched = []
    report_all(watched)


def report_all(watched):
    # The data connection first: the header the server sends there decides
    # when the test lets the link go, which then closes the message connection.
    for label, sock in sorted(watched, key=lambda w: w[0] != "data"):
        sys.stdout.write(report(label, sock) + "\n")
        sys.stdout.flush()
        sock.close()


main()
