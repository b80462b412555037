#!/usr/bin/env python3
"""webmon with the C library failing under it (libfiu's fiu-run, Debian fiu-utils): allocation,
string functions, reads and writes, opening and closing, sockets and poll, each family at a few
probabilities, over http and https (the TLS library's own allocations fail too).
Every run must end as webmon ends: exit 0 (a fetch that failed reads "Faild！", a console read
that failed is an end of input), or exit 255 with the fatal text on standard error; never by a
signal, and never more than 10 s past the end of its input.

Usage (under tests/fixtures/servers.py): webmon_fiu_test.py WEBMON [RUNS_EACH]
"""
import concurrent.futures
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WEBMON = os.path.abspath(sys.argv[1])
RUNS_EACH = int(sys.argv[2]) if len(sys.argv) > 2 else 6
INPUT_ENDS_AFTER = 1.5  # seconds: a pass over the list takes far less
MAY_RUN_PAST = 10.0
BOX_HEAD = '运行时出错!'.encode('gbk')
FAMILIES = [
    # (the functions that fail, whether the fatal text can still be written)
    ('libc/mm/*', True),
    ('libc/str/*', True),
    ('posix/io/rw/*', False),  # the write of the text itself may be what fails
    ('posix/io/oc/*', True),
    ('posix/io/net/*', True),
    ('posix/io/net/poll', True),
]
PROBABILITIES = [0.001, 0.01, 0.1]


def one_run(family, probability, folder):
    command = ['fiu-run', '-x', '-c',
               'enable_random name=%s,probability=%s' % (family, probability),
               os.path.join(folder, 'webmon')]
    started = time.time()
    child = subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE,
                             env=dict(os.environ, LC_ALL='C', SSL_CERT_FILE=os.environ['WEBMON_CA']),
                             start_new_session=True)
    time.sleep(INPUT_ENDS_AFTER)
    try:
        child.stdin.close()
    except OSError:
        pass
    child.stdin = None  # ended: communicate() has nothing to write
    try:
        out, err = child.communicate(timeout=MAY_RUN_PAST)
        late = False
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        out, err = child.communicate()
        late = True
    return child.returncode, late, time.time() - started, out, err


def main():
    if not shutil.which('fiu-run'):
        print('fiu test: fiu-run not found (Debian fiu-utils)')
        return 1
    folder = tempfile.mkdtemp(prefix='webmon-fiu-')
    try:
        shutil.copy(WEBMON, os.path.join(folder, 'webmon'))
        with open(os.path.join(folder, 'web.txt'), 'wb') as f:
            f.write(b'1\r\nhttp://%s/ok\r\nhttps://%s/ok\r\n\r\nhttp://%s/\r\n' % (
                os.environ['WEBMON_HTTP'].encode(), os.environ['WEBMON_HTTPS'].encode(),
                os.environ['WEBMON_CLOSED'].encode()))
        jobs = [(family, texted, p) for family, texted in FAMILIES for p in PROBABILITIES
                for _ in range(RUNS_EACH)]
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            results = list(pool.map(lambda j: (j, one_run(j[0], j[2], folder)), jobs))
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    failures = []
    tally = {}
    for (family, texted, probability), (code, late, seconds, out, err) in results:
        if code < 0:
            kind = 'signal %s' % signal.Signals(-code).name
        elif code == 255:
            kind = 'fatal with text' if err.startswith(BOX_HEAD) else 'fatal, no text'
        else:
            kind = 'exit %d' % code
        if late:
            kind += ', late'
        tally.setdefault(family, {}).setdefault(kind, 0)
        tally[family][kind] += 1
        seen = '%s at %s: %s after %.1f s; stderr %r' % (family, probability, kind, seconds,
                                                        err[:160])
        if late or code < 0 or code not in (0, 255):
            failures.append(seen)
        elif code == 255 and texted and not err.startswith(BOX_HEAD):
            failures.append(seen)
        elif code == 0 and err:
            failures.append(seen)
    for family, kinds in tally.items():
        print('fiu: %-18s %s' % (family, ', '.join('%s %d' % k for k in sorted(kinds.items()))))
    for f in failures:
        print('FAILED: ' + f)
    print('fiu test: %d runs, %d failed' % (len(results), len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
