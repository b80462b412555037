#!/usr/bin/env python3
"""What a response head costs webmon: the peak resident memory of webmon's process and the
time to its result line, for a plain page (the idle pass, the plain way), a head that never
ends sent at loopback speed, and a live head of a line every 10 s for 80 s (a page all the
same).

    endless_head.py WEBMON [LAUNCHER...]     e.g. build/win32/webmon.exe scripts/wine-run

The endless head is `X-Endless: a*1000` lines, 64 to a write. Prints one line a case: the
peak resident size (VmHWM) of the processes whose command names WEBMON, the verdict, and the
seconds to the end of the first pass (at most 400); for the others also the peak above the
idle pass's. Under
wine run it on a display (xvfb-run), as the tests are.
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
            if request.startswith(b'GET /live '):
                for i in range(8):
                    time.sleep(10)
                    connection.sendall(b'X-Live-%d: yes\r\n' % i)
                connection.sendall(b'Content-Length: 4\r\n\r\nlive')
                return
            block = (b'X-Endless: ' + b'a' * 1000 + b'\r\n') * 64
            while True:
                connection.sendall(block)
        except OSError:
            pass  # the client went away
        finally:
            connection.close()

    return loopback.listen(answer)


def resident_kib(name):
    """The largest peak resident size (VmHWM, the kernel's own high-water mark, so that no
    peak between two looks is missed) of the processes whose command line holds name."""
    peak = 0
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if name.encode() not in open('/proc/%s/cmdline' % pid, 'rb').read():
                continue
            for line in open('/proc/%s/status' % pid):
                if line.startswith('VmHWM:'):
                    peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    return peak


def run(webmon, launcher, port, path):
    """One pass over http://127.0.0.1:PORT/PATH: (peak KiB, verdict, seconds or None)."""
    folder = tempfile.mkdtemp(prefix='webmon-endless-head-')
    exe = os.path.join(folder, os.path.basename(webmon))
    shutil.copy(webmon, exe)
    with open(os.path.join(folder, 'web.txt'), 'wb') as f:
        f.write(b'3600\r\nhttp://127.0.0.1:%d/%s\r\n' % (port, path.encode()))
    start = time.monotonic()
    proc = subprocess.Popen(launcher + [exe], cwd=folder, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, env=dict(os.environ, LC_ALL='C'))
    os.set_blocking(proc.stdout.fileno(), False)
    out, peak, ended = b'', 0, None
    try:
        while time.monotonic() - start < 400:
            try:
                out += os.read(proc.stdout.fileno(), 65536) or b''
            except BlockingIOError:
                pass
            peak = max(peak, resident_kib(folder))
            if b'Mission accomplished,1' in out:
                ended = time.monotonic() - start
                break
            time.sleep(0.5)
    finally:
        proc.stdin.close()  # the end of input ends webmon, also under wine
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(folder, ignore_errors=True)
    verdict = ('Faild' if 'Faild！'.encode('gbk') in out else
               'Success' if 'Success！'.encode('gbk') in out else 'no result line')
    return peak, verdict, ended


def main():
    webmon = os.path.abspath(sys.argv[1])
    launcher = [os.path.abspath(a) if os.path.exists(a) else a for a in sys.argv[2:]]
    port = serve()
    name = os.path.basename(webmon)
    idle = None
    for case, path in (('idle pass (a plain page)', 'ok'), ('endless head', 'endless'),
                       ('live head, a line every 10 s for 80 s', 'live')):
        peak, verdict, ended = run(webmon, launcher, port, path)
        above = ''
        if idle is None:
            idle = peak
        else:
            above = ' (%+.1f MiB on the idle pass)' % ((peak - idle) / 1024.0)
        print('%s, %s: peak RSS %.1f MiB%s, %s after %s s' % (
            name, case, peak / 1024.0, above, verdict,
            '%.1f' % ended if ended else 'more than 400'))
        sys.stdout.flush()


if __name__ == '__main__':
    main()
