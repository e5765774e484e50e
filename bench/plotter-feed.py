#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Connects to a simulated bridge's socket like a console, takes the scope
samples out of the controller's frames and appends them, one a line, to a
text file that a general plotter follows. Used by bench/plotter-side-by-side
so that the plotter is shown the same stream as the console.

Usage: plotter-feed.py SOCKET FILE
"""
import socket
import sys

SCOPE_SAMPLE = 1
SCOPE_ZERO = 17640
DEVICE_START = 0xAA


def main():
    sock_path, out_path = sys.argv[1], sys.argv[2]
    link = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    link.connect(sock_path)
    pending = b""
    with open(out_path, "w", encoding="ascii") as out:
        while True:
            data = link.recv(65536)
            if not data:
                return
            pending += data
            lines = []
            i = 0
            while len(pending) - i >= 5:
                frame = pending[i:i + 5]
                if frame[0] != DEVICE_START or sum(frame) % 256 != 0:
                    i += 1
                    continue
                if frame[1] == SCOPE_SAMPLE:
                    lines.append("%d\n" % (SCOPE_ZERO - (frame[2] | frame[3] << 8)))
                i += 5
            pending = pending[i:]
            if lines:
                out.write("".join(lines))
                out.flush()


if __name__ == "__main__":
    main()
