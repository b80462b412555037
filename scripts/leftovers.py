#!/usr/bin/env python3
"""Names and ends every process left running that carries a test run's mark.

Usage: leftovers.py MARK

Every process the test command starts carries WEBMON_TEST_RUN=MARK in its environment; only
those are looked at, so that webmon processes, containers and servers of anyone else (an
installed webmon service among them) are left alone. Each one found is printed as
"left running: PID COMMAND" and ended; the exit code is 1 when any was found, else 0.
"""
import os
import signal
import sys


def marked_processes(mark):
    """(pid, command line) of every process but this one whose environment holds mark."""
    entry = ('WEBMON_TEST_RUN=' + mark).encode()
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        if int(pid) == os.getpid():
            continue
        try:
            with open('/proc/%s/environ' % pid, 'rb') as f:
                marked = entry in f.read().split(b'\0')
            with open('/proc/%s/cmdline' % pid, 'rb') as f:
                command = f.read().replace(b'\0', b' ').decode(errors='replace').strip()
        except OSError:  # ended meanwhile, or not ours to read
            continue
        if marked:
            found.append((int(pid), command))
    return found


def main():
    if len(sys.argv) != 2 or not sys.argv[1]:
        sys.exit('usage: leftovers.py MARK')
    left = marked_processes(sys.argv[1])
    for pid, command in left:
        print('left running: %d %s' % (pid, command))
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    sys.exit(1 if left else 0)


if __name__ == '__main__':
    main()
