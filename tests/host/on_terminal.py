#!/usr/bin/python3
"""Runs a command with its standard error on a pseudo-terminal, as in an
interactive shell, and prints what it wrote there. Exit status: the command's."""
import os
import pty
import subprocess
import sys

master, slave = pty.openpty()
child = subprocess.Popen(sys.argv[1:], stderr=slave)
os.close(slave)
shown = b""
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:  # the terminal closes when the command ends
        break
    if not chunk:
        break
    shown += chunk
sys.stdout.buffer.write(shown)
sys.exit(child.wait())
