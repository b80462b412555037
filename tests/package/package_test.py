#!/usr/bin/env python3
"""Unpacks a webmon package into an empty folder and runs it there, as a user would.

    package_test.py PACKAGE

PACKAGE is webmon-VERSION-linux-x86_64.tar.gz (run natively) or webmon-VERSION-win32.zip (run
under wine, through scripts/wine-run). Checks the folder's contents (README.txt's encoding and
line ends, the Windows executable's version resource), then runs webmon against a loopback
server with a web.txt of its own: the banner, a first pass with its success line, and the end
of input ending it with code 0. The Linux folder's systemd unit is checked by
`systemd-analyze verify` and its sandbox by `systemd-analyze security` (systemd_test.py runs it
under a real systemd). Prints what it checked; exits 1 on the first failure.
"""
import http.server
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def fail(message):
    print('package test: FAILED: ' + message)
    sys.exit(1)


class Hello(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.send_response(200)
        self.send_header('Content-Length', '5')
        self.end_headers()
        self.wfile.write(b'hello')


def unit_settings(text):
    """The [Service] settings of a unit: Environment entries as a dict, the rest by key."""
    settings, environment = {}, {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith('#') or '=' not in line:
            continue
        key, value = line.split('=', 1)
        if key == 'Environment':
            name, value = value.split('=', 1)
            environment[name] = value
        else:
            settings[key] = value
    return settings, environment


def check_unit(home):
    """The folder's unit names its folder once, reads as systemd reads it, and keeps its
    sandbox; systemd_test.py runs it, through the Debian package, under a real systemd."""
    path = os.path.join(home, 'webmon.service')
    text = open(path).read()
    _, environment = unit_settings(text)
    if environment.get('WEBMON_DIR') != '/opt/webmon' or text.count('/opt/webmon') != 1:
        fail('the unit must name its folder once, /opt/webmon by default')
    # As the README tells a user who puts the folder elsewhere: the one line changed.
    installed = os.path.join(home, 'installed.service')
    with open(installed, 'w') as f:
        f.write(text.replace('/opt/webmon', home))
    # systemd-analyze checks a unit on a machine that does not run systemd, too.
    check = subprocess.run(['systemd-analyze', 'verify', installed], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    if check.returncode != 0 or check.stdout.strip():
        fail('systemd-analyze verify: %s' % check.stdout.decode(errors='replace'))
    score = subprocess.run(['systemd-analyze', 'security', '--offline=yes', installed],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()
    exposure = re.search(r'Overall exposure level for installed.service: ([0-9.]+)', score)
    if not exposure or float(exposure.group(1)) > 1.5:
        fail('the unit\'s exposure is above 1.5: %s' % score[-200:])
    os.remove(installed)
    # The unit's check of the list, the folder's own executable: silent on the good list webmon
    # has just run on, a warning for an address without a scheme.
    check_list = os.path.join(home, 'webmon-check-list')
    said = subprocess.run([check_list, os.path.join(home, 'web.txt')], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if said.returncode != 0 or said.stdout:
        fail('the list check on a good list: exit %d, %r' % (said.returncode, said.stdout))
    bad = os.path.join(home, 'bad.txt')
    with open(bad, 'wb') as f:
        f.write(b'30\r\nexample.invalid\r\n')
    said = subprocess.run([check_list, bad], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if said.returncode != 1 or b'it has no scheme' not in said.stdout:
        fail('the list check on an address without a scheme: exit %d, %r' % (
            said.returncode, said.stdout))
    os.remove(bad)
    print('package test: webmon.service verified by systemd-analyze, exposure %s; its list '
          'check warns of an address without a scheme' % exposure.group(1))


def read_until(proc, mark, seconds):
    out = b''
    deadline = time.monotonic() + seconds
    os.set_blocking(proc.stdout.fileno(), False)
    while mark not in out and time.monotonic() < deadline:
        try:
            out += os.read(proc.stdout.fileno(), 65536) or b''
        except BlockingIOError:
            time.sleep(0.01)
    os.set_blocking(proc.stdout.fileno(), True)
    return out


def main():
    package = sys.argv[1]
    name = os.path.basename(package)
    # The version of the build: its commit count and hash follow where it was built from git.
    version = re.match(r'webmon-(\d+\.\d+\.\d+(?:\+git\d+\.[0-9a-f]{7,})?)-(?:win32|linux)', name)
    if not version:
        fail('the name %s carries no version' % name)
    version = version.group(1)
    windows = name.endswith('-win32.zip')
    folder = tempfile.mkdtemp(prefix='webmon-package-')
    try:
        if windows:
            zipfile.ZipFile(package).extractall(folder)
        else:
            with tarfile.open(package) as t:
                t.extractall(folder)
        home = os.path.join(folder, name.replace('.tar.gz', '').replace('.zip', ''))
        exe = os.path.join(home, 'webmon.exe' if windows else 'webmon')
        expected = ['README.txt', 'web.txt', os.path.basename(exe)]
        if not windows:
            expected += ['webmon.service', 'webmon-check-list']
        if sorted(os.listdir(home)) != sorted(expected):
            fail('unexpected contents: %s' % os.listdir(home))

        readme = open(os.path.join(home, 'README.txt'), 'rb').read()
        text = readme.decode('gbk' if windows else 'utf-8')  # raises when it is not
        if '网址监控' not in text or version not in text:
            fail('README.txt does not read as its text')
        bare_lf = re.search(rb'(?<!\r)\n', readme)
        if windows and (bare_lf or b'\r\n' not in readme):
            fail('README.txt must end its lines with CR LF')
        if not windows and b'\r' in readme:
            fail('README.txt must end its lines with LF')
        if windows:
            binary = open(exe, 'rb').read()
            for key, value in (('ProductName', 'webmon'), ('FileVersion', version)):
                pattern = (key + '\0').encode('utf-16-le')
                at = binary.find(pattern)
                if at < 0 or value.encode('utf-16-le') not in binary[at:at + 200]:
                    fail('the version resource has no %s %s' % (key, value))

        server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Hello)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        url = 'http://127.0.0.1:%d/' % server.server_address[1]
        with open(os.path.join(home, 'web.txt'), 'wb') as f:
            f.write(b'1\r\n' + url.encode() + b'\r\n')
        command = [os.path.join(ROOT, 'scripts', 'wine-run'), exe] if windows else [exe]
        proc = subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, env=dict(os.environ, LC_ALL='C'))
        out = read_until(proc, b'Mission accomplished,1', 60)
        proc.stdin.close()
        try:
            status = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            fail('webmon did not end at the end of its input')
        out += proc.stdout.read()
        banner = '本程序开始运行(运行周期1s)'.encode('gbk')
        success = 'Success！'.encode('gbk') + url.encode() + b'\r\n'
        if not out.startswith(banner):
            fail('no banner: %r' % out[:80])
        if success + b'Mission accomplished,1\r\n' not in out:
            fail('no first pass: %r' % out[-200:])
        if status != 0:
            fail('exit code %d' % status)
        if not windows:
            check_unit(home)
        server.shutdown()
        print('package test: %s ran from an empty folder: banner, first pass, exit 0 (%d bytes)'
              % (name, os.path.getsize(package)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()
