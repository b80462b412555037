#!/usr/bin/env python3
"""webmon against a server whose response head never ends, sent at loopback speed: the peak
resident memory of webmon's process and the time to its "Faild！" line.

    endless_head.py WEBMON [LAUNCHER...]     e.g. build/win32/webmon.exe scripts/wine-run

The head is `X-Endless: a*1000` lines, 64 to a write. Prints one line: the peak VmRSS of the
processes whose command names WEBMON, and the seconds to the end of the first pass (at most
400). Under wine run it on a display (xvfb-run), as the tests are.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time


def serve():
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    listener.listen(4)

    def answer(connection):
        try:
            connection.recv(65536)
            connection.sendall(b'HTTP/1.0 200 OK\r\n')
            block = (b'X-Endless: ' + b'a' * 1000 + b'\r\n') * 64
            while True:
                connection.sendall(block)
        except OSError:
            pass  # the client went away

    def accept():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=answer, args=(connection,), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def resident_kib(name):
    """The largest VmRSS of the processes whose command line holds name."""
    peak = 0
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if name.encode() not in open('/proc/%s/cmdline' % pid, 'rb').read():
                continue
            for line in open('/proc/%s/status' % pid):
                if line.startswith('VmRSS:'):
                    peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    return peak


def main():
    webmon, launcher = os.path.abspath(sys.argv[1]), sys.argv[2:]
    port = serve()
    folder = tempfile.mkdtemp(prefix='webmon-endless-head-')
    exe = os.path.join(folder, os.path.basename(webmon))
    shutil.copy(webmon, exe)
    with open(os.path.join(folder, 'web.txt'), 'wb') as f:
        f.write(b'3600\r\nhttp://127.0.0.1:%d/\r\n' % port)
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
    verdict = 'Faild' if 'Faild！'.encode('gbk') in out else 'no Faild line'
    print('%s: peak RSS %.1f MiB, %s after %s s' % (
        os.path.basename(webmon), peak / 1024.0, verdict,
        '%.1f' % ended if ended else 'more than 400'))


if __name__ == '__main__':
    main()
