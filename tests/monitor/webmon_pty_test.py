#!/usr/bin/env python3
"""webmon.exe on a pseudo-terminal under wine, ended by Ctrl+C as a user ends it: while it waits
for a line, while a fetch is under way, and (the core library's console program) while it waits
for a key without echo. Each must end within 3 s with code 0, the end of input's, and keep
every line it printed before, whole. Then the console program reads a line, keys without echo
and a line, each typed once the read before has answered: every key reaches the key read, none
is echoed, and the last line read gets the last line. And (the runtime's own small program)
while a fatal error's box holds the main thread: the control event's own end, after its 3 s
grace, with the error's -1 (255 as wine hands it on), not the 0 of an end of input. Wine's
console turns a typed Ctrl+C into CTRL_C_EVENT here,
where its AllocConsole'd consoles send none (tests/monitor/webmon_console_test.cpp).

Usage (under tests/fixtures/servers.py):
    webmon_pty_test.py WEBMON_EXE CONSOLE_PROGRAM LIFECYCLE_PROGRAM LAUNCHER...
"""
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

WEBMON, CONSOLE_PROGRAM, LIFECYCLE_PROGRAM = sys.argv[1], sys.argv[2], sys.argv[3]
LAUNCHER = sys.argv[4:]  # the wine launcher (scripts/wine-run)
END_WITHIN = 3.0
BOX_END_WITHIN = 3.0 + END_WITHIN  # the control event's grace, then as any end
ESCAPES = re.compile(rb'\x1b\[[0-9;?]*[A-Za-z]')


def run_on_pty(argv, cwd, ready, settle):
    """Starts argv on a new pty, types Ctrl+C once `ready` is in the output and `settle` seconds
    have passed; answers (exit code, seconds from Ctrl+C to the end, output before Ctrl+C, all
    output), escape sequences removed."""
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(cwd)
        os.environ['LC_ALL'] = 'C.UTF-8'  # the terminal's: wine's console writes UTF-8 to it
        os.execvp(argv[0], argv)
    out, before, sent = b'', None, None
    seen_at = None
    deadline = time.time() + 60
    try:
        while time.time() < deadline:
            if sent and time.time() - sent > END_WITHIN + 7:
                break
            ready_fds, _, _ = select.select([fd], [], [], 0.05)
            if ready_fds:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:  # the terminal closed: the program ended
                    break
                if not chunk:
                    break
                out += chunk
            if seen_at is None and ready in ESCAPES.sub(b'', out):
                seen_at = time.time()
            if sent is None and seen_at is not None and time.time() - seen_at >= settle:
                before = out
                os.write(fd, b'\x03')
                sent = time.time()
            done, status = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                return result(status, sent, before, out)
        # Not ended in time: ended here, so that nothing of this test outlives it.
        for _ in range(50):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                return result(status, sent, before, out)
            time.sleep(0.1)
        os.kill(pid, 9)
        _, status = os.waitpid(pid, 0)
        return ('killed', None, before or b'', out)
    finally:
        os.close(fd)


def result(status, sent, before, out):
    took = time.time() - sent if sent else None
    return (os.waitstatus_to_exitcode(status), took, ESCAPES.sub(b'', before or b''),
            ESCAPES.sub(b'', out))


def whole_lines(text):
    """True when the text ends at a line's end: no line cut by the end."""
    return text == b'' or text.endswith(b'\n')


def line_keys_line():
    """The console program's line, keys without echo, line, typed in turn (pty_run.py)."""
    folder = tempfile.mkdtemp(prefix='webmon-pty-')
    try:
        exe = os.path.join(folder, os.path.basename(CONSOLE_PROGRAM))
        shutil.copy(CONSOLE_PROGRAM, exe)
        typed = ','.join(part.hex() for part in (b'first\r', b'secret\r', b'last1\r'))
        pty_run = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'fixtures',
                               'pty_run.py')
        env = dict(os.environ, LC_ALL='C.UTF-8')
        out = subprocess.run([sys.executable, pty_run, typed] + LAUNCHER + [exe, 'linekeys'],
                             cwd=folder, env=env, stdout=subprocess.PIPE, timeout=120).stdout
        out = ESCAPES.sub(b'', out)
        print('line, keys, line: output %r' % out[-200:])
        failures = []
        for expected in (b'line1=[first]', b'keys=[secret]', b'line2=[last1]'):
            if expected not in out:
                failures.append('line, keys, line: no %r in %r' % (expected, out[-200:]))
        if out.count(b'secret') != 1:
            failures.append('line, keys, line: a key echoed: %r' % out[-200:])
        return failures
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    http = os.environ['WEBMON_HTTP']
    closed = os.environ['WEBMON_CLOSED']
    failures = []
    rows = [
        # (what, program, web.txt, the output that means it waits, seconds after it)
        ('waiting for a line', WEBMON,
         '1\r\nhttp://%s/\r\n' % closed, b'Mission accomplished,2\r', 0.2),
        ('a fetch under way', WEBMON,
         '60\r\nhttp://%s/silent?seconds=30\r\n' % http, b'\r\n', 1.0),
        ('waiting for a key without echo', CONSOLE_PROGRAM, None, b'', 1.5),
        ("a fatal error's box up", LIFECYCLE_PROGRAM, None, b'', 3.0),
    ]
    for what, program, web_txt, ready, settle in rows:
        folder = tempfile.mkdtemp(prefix='webmon-pty-')
        try:
            exe = os.path.join(folder, os.path.basename(program))
            shutil.copy(program, exe)
            args = {CONSOLE_PROGRAM: ['keys'], LIFECYCLE_PROGRAM: ['error-main-real', '1']}.get(
                program, [])
            if web_txt is not None:
                with open(os.path.join(folder, 'web.txt'), 'wb') as f:
                    f.write(web_txt.encode())
            code, took, before, out = run_on_pty(LAUNCHER + [exe] + args, folder, ready, settle)
            print('%s: exit %s, %s s after Ctrl+C; output %r' %
                  (what, code, '%.2f' % took if took is not None else '-', out[-120:]))
            if took is None:
                failures.append('%s: never ready (%r)' % (what, out[-200:]))
                continue
            if program == LIFECYCLE_PROGRAM:
                if code != 255:
                    failures.append('%s: exit code %s, not 255 (-1)' % (what, code))
                if took > BOX_END_WITHIN:
                    failures.append('%s: ended %.2f s after Ctrl+C' % (what, took))
                continue
            if code != 0:
                failures.append('%s: exit code %s, not 0' % (what, code))
            if took > END_WITHIN:
                failures.append('%s: ended %.2f s after Ctrl+C' % (what, took))
            if not out.startswith(before):
                failures.append('%s: the output before Ctrl+C changed' % what)
            if not whole_lines(before) and program == WEBMON:
                failures.append('%s: a line cut: %r' % (what, before[-80:]))
            if program == WEBMON and b'\xef\xbc\x8c' not in before:  # the banner's ，, in UTF-8
                failures.append('%s: no banner before Ctrl+C: %r' % (what, before[-200:]))
            # (wine's console moves the cursor over a space instead of writing it)
            if program == CONSOLE_PROGRAM and not re.search(rb'keys *\[\]', out):
                failures.append('%s: the key read did not end empty: %r' % (what, out[-200:]))
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    failures += line_keys_line()
    for f in failures:
        print('FAILED: ' + f)
    print('pty test: %d rows, %d failed' % (len(rows) + 1, len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
