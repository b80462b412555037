#!/usr/bin/env python3
"""webmon's end beside its output's reader, measured from outside.

Usage: readers.py WEBMON [LAUNCHER...]   (xvfb-run -a python3 bench/readers.py
       build/win32/webmon.exe scripts/wine-run for the Windows build); ROWS=slow,grep ... picks
       rows.
Rows: 500 lines read 700 bytes every 0.1 s; 2,000 lines read in bursts every 1.5 s; a reader
that stops, then closes; a reader that leaves after five answers while input goes on;
`sleep 1000 | webmon | grep -m1 Faild`; 300,000 lines from a file.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

USAGE_HEAD = bytes.fromhex('B1BEB3CCD0F2CEAABFC9B5F7D5FBB5C4')  # the usage text's first bytes


def folder(exe, web):
    home = tempfile.mkdtemp(prefix='webmon-readers-')
    shutil.copy(exe, home)
    with open(os.path.join(home, 'web.txt'), 'wb') as f:
        f.write(web)
    return home, os.path.join(home, os.path.basename(exe))


def start(argv, stdin, stdout):
    return subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, LC_ALL='C'))


def ended(p):
    """webmon's exit code and the seconds it took to end from now (killed past 30 s)."""
    t = time.monotonic()
    try:
        code = p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        code = p.wait()
    return code, time.monotonic() - t


def paced(exe, launcher, lines, piece, every, name):
    """lines lines, then the end of input; the output read piece bytes (None: all there is)
    every `every` seconds. Answers counted; webmon's end timed from the last byte read before
    it (negative: it ended with its last answers still in the pipe, all of them written)."""
    home, copy = folder(exe, b'1000\r\nhttp://127.0.0.1:1/\r\n')
    r, w = os.pipe()
    p = start(list(launcher) + [copy], subprocess.PIPE, w)
    os.close(w)
    feeder = threading.Thread(target=lambda: (p.stdin.write(b'x\n' * lines), p.stdin.close()))
    feeder.start()
    out, last, ended = b'', None, None
    started = time.monotonic()
    next_read = started + every
    while True:
        now = time.monotonic()
        if ended is None and p.poll() is not None:
            ended = now
        if now >= next_read:
            chunk = os.read(r, piece or 65536)
            if not chunk:
                break  # webmon has ended, and the pipe is empty
            out += chunk
            if ended is None:
                last = time.monotonic()
            next_read = time.monotonic() + every
        if now - started > 300:
            p.kill()
        time.sleep(0.01)
    code = p.wait()
    feeder.join()
    os.close(r)
    shutil.rmtree(home, ignore_errors=True)
    when = ('%.2f s after the last byte read before it' % ((ended or time.monotonic()) - last)
            if last else 'before its first byte was read')
    print('%-40s %5d of %d answered, exit %d, ended %s'
          % (name, out.count(USAGE_HEAD), lines, code, when))


def stopped_then_closed(exe, launcher):
    home, copy = folder(exe, b'1000\r\nhttp://127.0.0.1:1/\r\n')
    r, w = os.pipe()
    p = start(list(launcher) + [copy], subprocess.PIPE, w)
    os.close(w)
    p.stdin.write(b'x\n' * 2000)  # far more answers than a pipe holds
    p.stdin.close()
    time.sleep(8)
    alive = p.poll() is None
    os.close(r)
    code, took = ended(p)
    shutil.rmtree(home, ignore_errors=True)
    print('%-40s alive 8 s after the end of input: %s; closed: exit %d after %.2f s'
          % ('a reader that stops, then closes', alive, code, took))


def leaves_after_five(exe, launcher):
    home, copy = folder(exe, b'1000\r\nhttp://127.0.0.1:1/\r\n')
    yes = subprocess.Popen(['yes'], stdout=subprocess.PIPE)
    p = start(list(launcher) + [copy], yes.stdout, subprocess.PIPE)
    yes.stdout.close()
    seen = b''
    while seen.count(USAGE_HEAD) < 5:
        seen += p.stdout.read1(4096)
    p.stdout.close()
    code, took = ended(p)
    yes.kill()
    yes.wait()
    shutil.rmtree(home, ignore_errors=True)
    print('%-40s exit %d, %.2f s after it left' % ('yes | webmon | (five answers)', code, took))


def grep_first_failure(exe, launcher):
    home, copy = folder(exe, b'1\r\nhttp://127.0.0.1:1/\r\n')
    sleeper = subprocess.Popen(['sleep', '1000'], stdout=subprocess.PIPE)
    p = start(list(launcher) + [copy], sleeper.stdout, subprocess.PIPE)
    sleeper.stdout.close()
    grep = subprocess.Popen(['grep', '-a', '-m1', 'Faild'], stdin=p.stdout,
                            stdout=subprocess.DEVNULL)
    p.stdout.close()
    grep.wait(timeout=120)
    code, took = ended(p)
    sleeper.kill()
    sleeper.wait()
    shutil.rmtree(home, ignore_errors=True)
    print('%-40s exit %d, %.2f s after grep' % ('sleep | webmon | grep -m1 Faild', code, took))


def many_lines(exe, launcher, lines=300000):
    home, copy = folder(exe, b'1000\r\nhttp://127.0.0.1:1/\r\n')
    inp = os.path.join(home, 'in')
    with open(inp, 'wb') as f:
        f.write(b'l\n' * lines)
    t = time.monotonic()
    with open(inp, 'rb') as f:
        p = start(list(launcher) + [copy], f, subprocess.PIPE)
        out = p.stdout.read()
        code = p.wait()
    shutil.rmtree(home, ignore_errors=True)
    print('%-40s %d of %d answered, exit %d, %.1f s'
          % ('300,000 lines from a file', out.count(USAGE_HEAD), lines, code,
             time.monotonic() - t))


def main():
    exe, launcher = os.path.abspath(sys.argv[1]), sys.argv[2:]
    rows = os.environ.get('ROWS', 'slow,burst,stop,five,grep,many').split(',')
    if 'slow' in rows:
        paced(exe, launcher, 500, 700, 0.1, '500 lines, 700 bytes every 0.1 s')
    if 'burst' in rows:
        paced(exe, launcher, 2000, None, 1.5, '2,000 lines, emptied every 1.5 s')
    if 'stop' in rows:
        stopped_then_closed(exe, launcher)
    if 'five' in rows:
        leaves_after_five(exe, launcher)
    if 'grep' in rows:
        grep_first_failure(exe, launcher)
    if 'many' in rows:
        many_lines(exe, launcher)


if __name__ == '__main__':
    main()
