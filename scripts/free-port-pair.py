#!/usr/bin/env python3
"""Prints an even loopback port P such that P and P + 1 are both free.

Daemons started by the test fixtures take a pair: swtpm its server and its
control channel, vpcd its two readers."""
import random
import socket
import sys

for _ in range(200):
    port = random.randrange(20000, 60000, 2)
    try:
        a, b = socket.socket(), socket.socket()
        a.bind(("127.0.0.1", port))
        b.bind(("127.0.0.1", port + 1))
        a.close()
        b.close()
        print(port)
        sys.exit(0)
    except OSError:
        pass
sys.exit(1)
