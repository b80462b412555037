#!/usr/bin/env python3
"""The Debian package installed and run under a real systemd, as an administrator meets it.

    systemd_test.py WEBMON_DEB

Boots systemd in a container on a throwaway copy of this machine's root (an overlay: what is
installed inside lands in a temporary folder only), with a network of its own, installs the
package with dpkg and checks, in order: the service runs webmon itself as its main process, as a
user that is not root, and an empty list requests nothing; a list written to /etc/webmon/web.txt
restarts it, and the journal shows the Chinese banner in UTF-8 and passes against a loopback
server, over http and https (a CA in the system's store); webmon killed is started again; a list
replaced by a rename restarts it too; the sandbox's exposure; `systemctl stop` leaves no process
and every line whole; removal stops and masks, purge removes the list.

Needs root, systemd-nspawn and overlayfs. Where the machine cannot boot systemd it prints
"systemd test: SKIPPED: why" and exits 77, which the test command counts as skipped, never as
passed. Exits 1 on the first failure, after the container is powered off and the copy removed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
MAX_EXPOSURE = 1.5
RESTART_WAIT = 30  # seconds: the unit's RestartSec of 10, with room


class Failure(Exception):
    pass


def skip(why):
    print('systemd test: SKIPPED: ' + why)
    sys.exit(SKIPPED)


def wait_for(what, check, seconds):
    """check() until it gives something true; Failure naming what after seconds."""
    deadline = time.monotonic() + seconds
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > deadline:
            raise Failure('%s: not within %d s' % (what, seconds))
        time.sleep(0.2)


class Container:
    """systemd booted on an overlay of / in a private network; commands enter by nsenter."""

    def __init__(self, folder):
        self.folder = folder
        self.root = os.path.join(folder, 'root')
        self.nspawn = None
        self.init = None
        for name in ('upper', 'work', 'root'):
            os.mkdir(os.path.join(folder, name))

    def boot(self):
        mounted = subprocess.run(
            ['mount', '-t', 'overlay', 'overlay', '-o', 'lowerdir=/,upperdir=%s,workdir=%s' % (
                os.path.join(self.folder, 'upper'), os.path.join(self.folder, 'work')), self.root],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if mounted.returncode != 0:
            skip('no overlay of the root: ' + mounted.stdout.decode(errors='replace').strip())
        self.console = open(os.path.join(self.folder, 'console.log'), 'wb')
        self.nspawn = subprocess.Popen(
            ['systemd-nspawn', '-D', self.root, '-b', '--register=no', '--keep-unit',
             '--private-network', '--console=read-only', '--quiet'],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT)

        def init():
            if self.nspawn.poll() is not None:
                return 'ended'
            try:
                with open('/proc/%d/task/%d/children' % (self.nspawn.pid, self.nspawn.pid)) as f:
                    children = f.read().split()
            except OSError:
                return None
            return children[0] if children else None
        self.init = wait_for('the container\'s first process', init, 30)
        if self.init == 'ended':
            self.init = None
            skip('systemd does not boot here: ' + self.console_text()[-400:])
        # Until its bus answers, systemctl fails at once: asked again until it has booted.
        booted = lambda: self.run('systemctl is-system-running --wait', check=False).strip() in (
            'running', 'degraded')
        try:
            wait_for('systemd running', booted, 60)
        except Failure:
            skip('systemd did not come up: %s' % self.console_text()[-400:])

    def console_text(self):
        with open(os.path.join(self.folder, 'console.log'), 'rb') as f:
            return f.read().decode(errors='replace')

    def run(self, command, check=True, timeout=60):
        """A shell command inside the container: its output (stdout and stderr)."""
        done = subprocess.run(['nsenter', '-t', self.init, '-a', '/bin/sh', '-c', command],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
                              env={'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'LC_ALL': 'C.UTF-8'})
        if check and done.returncode != 0:
            raise Failure('%s: exit %d: %s' % (command, done.returncode,
                                                done.stdout.decode(errors='replace')))
        return done.stdout.decode('utf-8', errors='replace')

    def shutdown(self):
        if self.nspawn and self.nspawn.poll() is None:
            if self.init:
                subprocess.run(['nsenter', '-t', self.init, '-a', 'systemctl', 'poweroff'],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.nspawn.kill()
                self.nspawn.wait()
        if os.path.ismount(self.root):
            subprocess.run(['umount', '-l', self.root])


def main_pid(c):
    return int(c.run('systemctl show -p MainPID --value webmon.service').strip() or 0)


def journal(c):
    """webmon's lines in the journal, as bytes decoded strictly: they must be UTF-8."""
    raw = subprocess.run(['nsenter', '-t', c.init, '-a', 'journalctl', '-u', 'webmon.service',
                          '-o', 'cat', '--no-pager'], stdout=subprocess.PIPE, timeout=30).stdout
    return raw.decode('utf-8')


def write_list(c, text, rename=False):
    """Writes /etc/webmon/web.txt in place, or as editors do: a new file renamed over it."""
    data = text.replace('\n', '\r\n').encode()
    staged = os.path.join(c.root, 'root', 'web.txt.new')
    with open(staged, 'wb') as f:
        f.write(data)
    if rename:
        c.run('cp /root/web.txt.new /etc/webmon/.web.txt.tmp && '
              'mv /etc/webmon/.web.txt.tmp /etc/webmon/web.txt')
    else:
        c.run('cat /root/web.txt.new > /etc/webmon/web.txt')


def restarted(c, before):
    """The new main process once webmon runs again, other than before."""
    def check():
        pid = main_pid(c)
        active = c.run('systemctl is-active webmon.service', check=False).strip() == 'active'
        return pid if active and pid not in (0, before) else None
    return wait_for('webmon started again', check, RESTART_WAIT)


def serve(c):
    """A page over http on 127.0.0.1:8080 and over https on :8443, inside the container, the
    https one signed by a CA that the container's system store is given."""
    certs = os.path.join(c.root, 'root', 'certs')
    os.mkdir(certs)
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                    '-subj', '/CN=webmon test CA', '-keyout', certs + '/ca.key',
                    '-out', certs + '/ca.crt'], **quiet)
    subprocess.run(['openssl', 'req', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=127.0.0.1',
                    '-keyout', certs + '/server.key', '-out', certs + '/server.csr'], **quiet)
    with open(certs + '/san.ext', 'w') as f:
        f.write('subjectAltName=IP:127.0.0.1\n')
    subprocess.run(['openssl', 'x509', '-req', '-in', certs + '/server.csr', '-CA',
                    certs + '/ca.crt', '-CAkey', certs + '/ca.key', '-CAcreateserial', '-days', '2',
                    '-extfile', certs + '/san.ext', '-out', certs + '/server.crt'], **quiet)
    with open(certs + '/hello', 'w') as f:
        f.write('hello')
    c.run('cp /root/certs/ca.crt /usr/local/share/ca-certificates/webmon-test.crt && '
          'update-ca-certificates >/dev/null 2>&1')
    server = ('import http.server, ssl, sys\n'
              'h = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])),'
              ' lambda *a: http.server.SimpleHTTPRequestHandler(*a, directory="/root/certs"))\n'
              'if sys.argv[1] == "8443":\n'
              '    t = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n'
              '    t.load_cert_chain("/root/certs/server.crt", "/root/certs/server.key")\n'
              '    h.socket = t.wrap_socket(h.socket, server_side=True)\n'
              'h.serve_forever()\n')
    with open(os.path.join(c.root, 'root', 'serve.py'), 'w') as f:
        f.write(server)
    for port in ('8080', '8443'):
        c.run('systemd-run --unit=hello-%s --quiet python3 /root/serve.py %s' % (port, port))
    wait_for('the test servers', lambda: c.run(
        'curl -sf http://127.0.0.1:8080/hello && curl -sf https://127.0.0.1:8443/hello',
        check=False) == 'hellohello', 20)


def test(c, deb):
    # This machine's image forbids starting services on install (policy-rc.d answers 101); a
    # Debian machine has no such policy.
    c.run('rm -f /usr/sbin/policy-rc.d')
    shutil.copy(deb, os.path.join(c.root, 'root', 'webmon.deb'))
    c.run('dpkg -i /root/webmon.deb >/dev/null')

    # Installed: started, webmon its main process, not root, and an empty list says so.
    pid = wait_for('webmon started on install', lambda: main_pid(c), 20)
    comm = c.run('cat /proc/%d/comm' % pid).strip()
    user = int(c.run("awk '/^Uid:/ { print $2 }' /proc/%d/status" % pid).strip())
    if comm != 'webmon' or user == 0:
        raise Failure('main process %d is %r, uid %d' % (pid, comm, user))
    wait_for('the empty list reported', lambda: '检测到web.txt文件为空' in journal(c), 20)
    print('systemd test: installed: webmon is the main process (uid %d), the empty list '
          'reported' % user)

    serve(c)
    http, https = 'http://127.0.0.1:8080/hello', 'https://127.0.0.1:8443/hello'
    write_list(c, '1\n%s\n%s\n' % (http, https))
    pid = restarted(c, pid)
    wait_for('two passes over http and https', lambda: 'Mission accomplished,2' in journal(c), 30)
    lines = journal(c).splitlines()
    for expected in ('本程序开始运行(运行周期1s)，本程序详细说明可按任意键回车进入',
                     'Success！' + http, 'Success！' + https):
        if expected not in lines:
            raise Failure('not in the journal: %r; it has %r' % (expected, lines[-8:]))
    print('systemd test: the list written restarts webmon; banner and passes in UTF-8, '
          'http and https')

    c.run('kill -KILL %d' % pid)
    pid = restarted(c, pid)
    print('systemd test: webmon killed is started again')

    write_list(c, '2\n%s\n' % http, rename=True)
    pid = restarted(c, pid)
    wait_for('the renamed list in force', lambda: '(运行周期2s)' in journal(c), 20)
    print('systemd test: a list renamed into place restarts webmon')

    score = c.run('systemd-analyze security webmon.service', check=False)
    found = re.search(r'Overall exposure level for webmon.service: ([0-9.]+)', score)
    if not found or float(found.group(1)) > MAX_EXPOSURE:
        raise Failure('exposure above %.1f: %s' % (MAX_EXPOSURE, score[-300:]))
    print('systemd test: exposure %s' % found.group(1))

    c.run('systemctl stop webmon.service')
    left = c.run('systemctl show -p MainPID --value webmon.service; pgrep -x webmon || true')
    if left.split() != ['0']:
        raise Failure('processes left after stop: %r' % left)
    text = journal(c)
    passes = [l for l in text.splitlines() if l.startswith(('Success！', 'Faild！', 'Mission'))]
    if any(not re.fullmatch(r'Success！http://127\.0\.0\.1:8080/hello|Mission accomplished,\d+'
                            r'|Success！https://127\.0\.0\.1:8443/hello', l) for l in passes):
        raise Failure('a line that is not whole: %r' % passes)
    print('systemd test: stop leaves no process, every line whole')

    c.run('dpkg -r webmon >/dev/null')
    state = c.run('systemctl is-active webmon.service', check=False).strip()
    if state == 'active' or not os.path.exists(os.path.join(c.root, 'etc/webmon/web.txt')):
        raise Failure('after removal: %s, list kept: %s' % (state, os.path.exists(
            os.path.join(c.root, 'etc/webmon/web.txt'))))
    c.run('dpkg --purge webmon >/dev/null')
    if os.path.exists(os.path.join(c.root, 'etc/webmon')):
        raise Failure('purge left /etc/webmon')
    print('systemd test: removal stops webmon and keeps the list; purge removes it')


def main():
    deb = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        skip('not root')
    if not shutil.which('systemd-nspawn'):
        skip('no systemd-nspawn')
    folder = tempfile.mkdtemp(prefix='webmon-systemd-')
    c = Container(folder)
    try:
        c.boot()
        test(c, deb)
    except Failure as e:
        print('systemd test: FAILED: %s' % e)
        print(c.console_text()[-1500:] if c.init else '')
        return 1
    finally:
        c.shutdown()
        shutil.rmtree(folder, ignore_errors=True)
    print('systemd test: passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
