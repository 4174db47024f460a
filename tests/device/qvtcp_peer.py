#!/usr/bin/env python3
"""The TCP device's wire, written from its rules alone, for either side.

  qvtcp_peer.py client PORT   connect to a listening device on 127.0.0.1
  qvtcp_peer.py server        listen; print the port; serve one connecting device
  qvtcp_peer.py only-y        listen; print the port; answer the side channel with "Y" only

Both sides send the pattern in windows and take the device's pattern up to
its close marker; the exit status says what was wrong (0 when all held).
"""
import socket
import sys

WINDOW = 972
PATTERN = bytes((i * 7 + 3) % 256 for i in range(2600))


def fail(text):
    sys.stderr.write("peer: " + text + "\n")
    sys.exit(1)


def read_byte(s):
    b = s.recv(1)
    if not b:
        fail("end of stream")
    return b


def read_word(s, ends):
    word = b""
    while True:
        b = read_byte(s)
        if b in ends:
            return word, b
        word += b
        if len(word) > 64:
            fail("word too long")


def send_pattern(s, own_upper, own_lower_ack):
    outstanding = 0
    for at in range(0, len(PATTERN), WINDOW):
        while outstanding >= 2:
            if read_byte(s) != b"\\" or read_byte(s) != own_lower_ack:
                fail("expected an acknowledgement")
            outstanding -= 1
        chunk = PATTERN[at:at + WINDOW]
        s.sendall(chunk.replace(b"\\", b"\\\\") + b"\\" + own_upper)
        outstanding += 1
    while outstanding > 0:
        if read_byte(s) != b"\\" or read_byte(s) != own_lower_ack:
            fail("expected an acknowledgement")
        outstanding -= 1


def take_pattern(s, peer_upper, peer_lower):
    data = b""
    window = 0
    while True:
        b = read_byte(s)
        if b != b"\\":
            data += b
            window += 1
            continue
        c = read_byte(s)
        if c == b"\\":
            data += b"\\"
            window += 1
        elif c == peer_upper:
            if window > WINDOW:
                fail("window of %d data bytes" % window)
            window = 0
            s.sendall(b"\\" + peer_lower)
        elif c == b"\x04":
            break
        else:
            fail("unexpected escape %r" % c)
    if window != 0:
        fail("data after the last window")
    if data != PATTERN:
        fail("pattern differs")


def client(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"need_msg_portY")
    word, end = read_word(s, (b",", b"Y"))
    if end != b"Y" or not word.startswith(b"msg_port="):
        fail("side channel answer %r" % word)
    m = socket.create_connection(("127.0.0.1", int(word[9:])))
    s.sendall(b"ang ")
    word, _ = read_word(s, (b" ", b","))
    if word != b"in":
        fail("role word %r" % word)
    send_pattern(s, b"P", b"p")
    take_pattern(s, b"C", b"c")
    m.close()
    s.close()


def listener():
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(1)
    print(ls.getsockname()[1], flush=True)
    ls.settimeout(10)
    return ls


def server():
    ls = listener()
    s, _ = ls.accept()
    s.settimeout(10)
    word, end = read_word(s, (b",", b"Y"))
    if word != b"need_msg_port" or end != b"Y":
        fail("client asked %r" % word)
    ms = socket.socket()
    ms.bind(("127.0.0.1", 0))
    ms.listen(1)
    ms.settimeout(10)
    s.sendall(b"msg_port=%dY" % ms.getsockname()[1])
    m, _ = ms.accept()
    s.sendall(b"in ")
    word, _ = read_word(s, (b" ", b","))
    if word != b"ang":
        fail("role word %r" % word)
    send_pattern(s, b"C", b"c")
    take_pattern(s, b"P", b"p")
    m.close()
    s.close()


def only_y():
    ls = listener()
    s, _ = ls.accept()
    word, _ = read_word(s, (b",", b"Y"))
    s.sendall(b"Y")
    s.recv(16)
    s.close()


if __name__ == "__main__":
    if sys.argv[1] == "client":
        client(int(sys.argv[2]))
    elif sys.argv[1] == "server":
        server()
    else:
        only_y()
