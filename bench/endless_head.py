#!/usr/bin/env python3
"""What a response head costs webmon: the memory of webmon's process and the time to its
result line, for a plain page (the idle pass, the plain way), a head that never ends sent at
loopback speed, a live head of a line every 10 s for 80 s (a page all the same), and a head of a
line a second for 6 s right after an endless one (a page too: what the failed head cost stops
with it).

    endless_head.py WEBMON [LAUNCHER...]     e.g. build/win32/webmon.exe scripts/wine-run

The endless head is `X-Endless: a*1000` lines, 64 to a write. Each run is watched until its
process ends: until its first pass is over (at most 400 s), then at least 30 s more, then its
input ends. Prints one line a case: the peak resident size (VmHWM) of the processes whose
command names WEBMON up to the end of the pass, the verdicts, the seconds to the end of the
pass; after it, the peak resident size (VmRSS, looked at every 0.2 s) until the process ended,
what it was as it ended, and the exit status. For all but the idle pass also the peak above the idle pass's.
Under wine run it on a display (xvfb-run), as the tests are.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests',
                                'fixtures'))
import loopback  # noqa: E402


def serve():
    def answer(connection):
        try:
            request = connection.recv(65536)
            if request.startswith(b'GET /ok '):
                connection.sendall(b'HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok')
                return
            connection.sendall(b'HTTP/1.0 200 OK\r\n')
            for name, lines, pause in ((b'slow', 6, 1), (b'live', 8, 10)):
                if request.startswith(b'GET /%s ' % name):  # a good head, a line at a time
                    for i in range(lines):
                        time.sleep(pause)
                        connection.sendall(b'X-Paced-%d: yes\r\n' % i)
                    connection.sendall(b'Content-Length: 4\r\n\r\n' + name)
                    return
            block = (b'X-Endless: ' + b'a' * 1000 + b'\r\n') * 64
            while True:
                connection.sendall(block)
        except OSError:
            pass  # the client went away
        finally:
            connection.close()

    return loopback.listen(answer)


def resident_kib(name, field):
    """The largest resident size in KiB (field: VmHWM, the kernel's own high-water mark, so
    that no peak between two looks is missed; VmRSS, the size now) of the processes whose
    command line holds name; None when no such process is left."""
    peak, found = 0, False
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if name.encode() not in open('/proc/%s/cmdline' % pid, 'rb').read():
                continue
            for line in open('/proc/%s/status' % pid):
                if line.startswith(field + ':'):
                    peak = max(peak, int(line.split()[1]))
                    found = True
        except OSError:
            pass
    return peak if found else None


AFTER_THE_PASS = 30  # seconds watched after the pass before the input ends


def run(webmon, launcher, port, paths):
    """One pass over http://127.0.0.1:PORT/PATH for each path, then AFTER_THE_PASS seconds more,
    then the end of input, watched until the process ends: (peak KiB to the end of the pass,
    verdicts, seconds to the end of the pass or None, peak KiB after it, KiB at its end, exit
    status)."""
    folder = tempfile.mkdtemp(prefix='webmon-endless-head-')
    exe = os.path.join(folder, os.path.basename(webmon))
    shutil.copy(webmon, exe)
    with open(os.path.join(folder, 'web.txt'), 'wb') as f:
        f.write(b'3600\r\n' + b''.join(b'http://127.0.0.1:%d/%s\r\n' % (port, p.encode())
                                       for p in paths))
    start = time.monotonic()
    proc = subprocess.Popen(launcher + [exe], cwd=folder, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, env=dict(os.environ, LC_ALL='C'))
    os.set_blocking(proc.stdout.fileno(), False)
    out, peak, ended, after, last = b'', 0, None, 0, 0

    def read():
        nonlocal out
        try:
            out += os.read(proc.stdout.fileno(), 65536) or b''
        except BlockingIOError:
            pass

    try:
        while time.monotonic() - start < 400:
            read()
            peak = max(peak, resident_kib(folder, 'VmHWM') or 0)
            if b'Mission accomplished,1' in out:
                ended = time.monotonic() - start
                break
            time.sleep(0.2)
        # After the pass: what its fetches left behind goes on costing, or stops.
        watch_until = time.monotonic() + AFTER_THE_PASS
        give_up = None  # once the input has ended: how long the process has to go
        while give_up is None or time.monotonic() < give_up:
            read()
            now = resident_kib(folder, 'VmRSS')
            if now is None and give_up is not None:
                break  # the process has ended
            if now is not None:
                after, last = max(after, now), now
            if give_up is None and time.monotonic() >= watch_until:
                proc.stdin.close()  # the end of input ends webmon, also under wine
                give_up = time.monotonic() + 30
            time.sleep(0.2)
    finally:
        if not proc.stdin.closed:
            proc.stdin.close()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)
    verdicts = []
    for path in paths:
        line = ('http://127.0.0.1:%d/%s\r\n' % (port, path)).encode()
        verdicts.append('Faild' if 'Faild！'.encode('gbk') + line in out else
                        'Success' if 'Success！'.encode('gbk') + line in out else
                        'no result line')
    return peak, verdicts, ended, after, last, proc.returncode


def main():
    webmon = os.path.abspath(sys.argv[1])
    launcher = [os.path.abspath(a) if os.path.exists(a) else a for a in sys.argv[2:]]
    port = serve()
    name = os.path.basename(webmon)
    idle = None
    for case, paths in (('idle pass (a plain page)', ['ok']),
                        ('endless head', ['endless']),
                        ('live head, a line every 10 s for 80 s', ['live']),
                        ('endless head, then a head of a line a second for 6 s',
                         ['endless', 'slow'])):
        peak, verdicts, ended, after, last, status = run(webmon, launcher, port, paths)
        if idle is None:
            idle = peak
        above = lambda kib: ' (%+.1f MiB on the idle pass)' % ((kib - idle) / 1024.0)
        print('%s, %s: %s after %s s, peak RSS %.1f MiB%s; in the %d s after the pass and to '
              'the end, peak RSS %.1f MiB%s, at the end %.1f MiB, exit status %s' % (
                  name, case, ', '.join(verdicts), '%.1f' % ended if ended else 'more than 400',
                  peak / 1024.0, above(peak), AFTER_THE_PASS, after / 1024.0, above(after),
                  last / 1024.0, status))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
