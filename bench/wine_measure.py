#!/usr/bin/env python3
"""Times webmon.exe under wine beside the plain WinINet loop (bench/wininet_loop.cpp).

Usage: wine_measure.py BUILD_DIR [OTHER_WEBMON_EXE]
BUILD_DIR is a win32 build with benchmarks (build/win32). Starts nginx on loopback as
measure.py does, then, five rounds taking turns to go first, measures whole processes under wine:
one webmon.exe pass over the 1,000 small pages, from its start to its first
"Mission accomplished," line, beside the plain loop's process over the same list. With
OTHER_WEBMON_EXE (an earlier build, say), that one's pass is measured in the same rounds.
Run it under a display (xvfb-run), as the tests are.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402  (nginx and its pages)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, 'scripts', 'wine-run')


def webmon_pass(exe, folder, urls):
    """Seconds from webmon.exe's start under wine to its first closing line."""
    home = tempfile.mkdtemp(dir=folder)
    shutil.copy(exe, os.path.join(home, 'webmon.exe'))
    with open(os.path.join(home, 'web.txt'), 'wb') as f:
        f.write(b'3600\r\n' + b''.join(u.encode() + b'\r\n' for u in urls))
    start = time.monotonic()
    proc = subprocess.Popen([WINE_RUN, os.path.join(home, 'webmon.exe')], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    seconds = None
    seen = b''
    os.set_blocking(proc.stdout.fileno(), False)
    while seconds is None and proc.poll() is None:
        try:
            chunk = os.read(proc.stdout.fileno(), 1 << 16)
        except BlockingIOError:
            time.sleep(0.001)
            continue
        seen = seen[-64:] + chunk
        if b'Mission accomplished,' in seen:
            seconds = time.monotonic() - start
    os.set_blocking(proc.stdout.fileno(), True)
    proc.stdin.close()
    proc.stdout.read()
    status = proc.wait()
    if seconds is None or status != 0:
        raise SystemExit('%s did not finish its pass (status %d)' % (exe, status))
    if seen.count(b'Faild') and len(urls) > 1:
        raise SystemExit('%s failed pages of the pass' % exe)
    return seconds


def loop_process(build, listing):
    start = time.monotonic()
    out = subprocess.run([WINE_RUN, os.path.join(build, 'bench', 'wininet_loop.exe'), listing],
                         stdout=subprocess.PIPE, check=True).stdout.split()
    seconds = time.monotonic() - start
    if int(out[0]) != 1000:
        raise SystemExit('the plain loop read %s pages of 1000' % out[0])
    return seconds


def main():
    build = sys.argv[1]
    other = sys.argv[2] if len(sys.argv) > 2 else None
    folder = tempfile.mkdtemp(prefix='webmon-wine-bench-')
    nginx, port = measure.start_nginx(folder)
    try:
        urls = ['http://127.0.0.1:%d/f/%d' % (port, i) for i in range(1000)]
        listing = os.path.join(folder, 'urls.txt')
        with open(listing, 'w') as f:
            f.write('\n'.join(urls) + '\n')
        ours, plain, theirs = [], [], []
        webmon = os.path.join(build, 'webmon.exe')
        for round_ in range(measure.ROUNDS):
            steps = [lambda: ours.append(webmon_pass(webmon, folder, urls)),
                     lambda: plain.append(loop_process(build, listing))]
            if other:
                steps.append(lambda: theirs.append(webmon_pass(other, folder, urls)))
            for i in range(len(steps)):
                steps[(i + round_) % len(steps)]()
        o, p = statistics.median(ours), statistics.median(plain)
        print('webmon.exe pass of 1000: %.3f s, plain WinINet loop process: %.3f s, '
              'ratio %.3f (target <= 1.15)' % (o, p, o / p))
        if other:
            t = statistics.median(theirs)
            print('%s pass of 1000: %.3f s, ratio to the plain loop %.3f'
                  % (other, t, t / p))
    finally:
        nginx.terminate()
        nginx.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()
