#!/usr/bin/env python3
"""The other end of a Pipes link, written from the framing rules alone.

Usage: qvpipes_peer.py ROLE READ_FD WRITE_FD [extra words are ignored]
ROLE is this end's role word: "in" (letters C/c) or "ang" (P/p).

It synchronises behind a few bytes to discard, exchanges role words, takes
PATTERN_LENGTH bytes of the pattern from the device while checking the window
rules (at most 1022 data bytes per window, never a third window before an
acknowledgement), sends the same pattern back in windows of its own with an
unknown escape among them, expects an acknowledgement per window, and closes.
Exits 0 when every check held; otherwise prints the failure to stderr.
"""
import os
import select
import sys

PATTERN_LENGTH = 2600
WINDOW_DATA = 1022
QUIET = 0.3  # seconds in which nothing more may arrive


def pattern(n):
    return bytes((i * 7 + 3) % 256 for i in range(n))


def fail(text):
    sys.stderr.write("peer: " + text + "\n")
    sys.exit(1)


class End:
    def __init__(self, rfd, wfd):
        self.rfd, self.wfd, self.pending = rfd, wfd, b""

    def byte(self, timeout=10.0):
        if not self.pending:
            ready, _, _ = select.select([self.rfd], [], [], timeout)
            if not ready:
                return None
            self.pending = os.read(self.rfd, 4096)
            if not self.pending:
                fail("end of file")
        b, self.pending = self.pending[:1], self.pending[1:]
        return b

    def quiet(self):
        if self.pending:
            return False
        ready, _, _ = select.select([self.rfd], [], [], QUIET)
        return not ready

    def send(self, data):
        os.write(self.wfd, data)


def main():
    role, rfd, wfd = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    own = {"in": b"C", "ang": b"P"}[role]
    peer_word = {"in": b"ang", "ang": b"in"}[role]
    peer = {"in": b"P", "ang": b"C"}[role]
    end = End(rfd, wfd)

    # Bytes before the synchronisation byte are discarded by the device.
    end.send(b"junk\\C" + b"Y" + role.encode() + b" ")
    while end.byte() != b"Y":
        pass
    word = b""
    while True:
        b = end.byte()
        if b in (b" ", b","):
            break
        word += b
    if word != peer_word:
        fail("role word %r" % word)

    # The device's windows.
    data, window, unacknowledged = b"", b"", 0
    while len(data) < PATTERN_LENGTH:
        if unacknowledged == 2:
            if not end.quiet():
                fail("a third window before an acknowledgement")
            end.send(b"\\" + peer.lower())
            unacknowledged -= 1
        b = end.byte()
        if b is None:
            fail("no window came")
        if b != b"\\":
            window += b
            continue
        c = end.byte()
        if c == b"\\":
            window += c
        elif c == peer:
            if len(window) > WINDOW_DATA:
                fail("window of %d data bytes" % len(window))
            data += window
            window = b""
            unacknowledged += 1
        else:
            fail("escape %r in the device's stream" % c)
    if data != pattern(PATTERN_LENGTH):
        fail("data differ")
    for _ in range(unacknowledged):
        end.send(b"\\" + peer.lower())

    # Our windows, each acknowledged by the device as it reads it.
    back = pattern(PATTERN_LENGTH)
    for start in range(0, len(back), WINDOW_DATA):
        chunk = back[start:start + WINDOW_DATA]
        end.send(chunk[:5].replace(b"\\", b"\\\\") + b"\\Z" + chunk[5:].replace(b"\\", b"\\\\") + b"\\" + own)
        ack = end.byte()
        if ack != b"\\" or end.byte() != own.lower():
            fail("no acknowledgement of a window")
    end.send(b"\\\x04")
    return 0


if __name__ == "__main__":
    sys.exit(main())
