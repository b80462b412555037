#!/usr/bin/env python3
"""Measures webmon against the plain libcurl loop on a loopback nginx; prints the ratios.

Usage: measure.py BUILD_DIR [--against WEBMON]
Starts nginx (Debian nginx-light) with a configuration of its own on a free port, serving 1,000
small files and one 64 MB file, then measures:
  1. 1,000 sequential HttpReadFile calls beside the plain loop (time);
  2. text pages (no zero byte, so the worker's text conversion copies all of it) of 1, 16 and
     64 MB: one webmon pass over the page, from its start to its closing line, beside the plain
     loop's whole process fetching it (time), and webmon's peak resident memory beside the
     body's size;
  3. one webmon pass over the 1,000 addresses, from its start to its first
     "Mission accomplished," line, beside the plain loop over the same list (time, peak memory);
  4. a webmon pass over one endless page (a server sending as fast as it can, forever): its peak
     resident memory beside the body limit;
  5. a 50 MB body behind lying lengths (Content-Length: 1 and then the true one; chunked under
     Content-Length: 100000) and in chunks of one byte: one webmon pass over each beside a pass
     over the same body with an honest length (time, peak resident memory);
  6. input without end into a webmon whose output nobody reads (`yes | webmon | sleep 30`): its
     resident memory at 5, 15 and 30 s beside an idle webmon's and the read-ahead's bound.
Alone, step 6 for any executable: measure.py --input-bound EXE [LAUNCHER...]
With --against WEBMON (another webmon executable, such as one built from an earlier commit),
steps 2 (64 MB) and 3 time that one too, the two taking turns, and print both: an A/B in one run.
"""
import contextlib
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

MB = 1024 * 1024
BODIES = (1, 16, 64)  # MB
BODY_LIMIT = 256 * MB  # the internet library's body limit
ROUNDS = 5  # medians of five, the two sides taking turns to go first


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start_nginx(folder):
    port = free_port()
    www = os.path.join(folder, 'www')
    os.makedirs(os.path.join(www, 'f'))
    for i in range(1000):
        with open(os.path.join(www, 'f', str(i)), 'wb') as f:
            f.write(b'<html>page %d</html>\n' % i + b'x' * 900)
    line = b'<p>webmon measures a page of text, line after line, without a zero byte.</p>\n'
    text_mb = (line * (MB // len(line) + 1))[:MB]
    for size in BODIES:
        with open(os.path.join(www, 'big%d' % size), 'wb') as f:
            for _ in range(size):  # a megabyte at a time: this process stays small
                f.write(text_mb)
    conf = os.path.join(folder, 'nginx.conf')
    with open(conf, 'w') as f:
        f.write('''
worker_processes 1;
daemon off;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log;
user root;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path %(d)s/body;
    proxy_temp_path %(d)s/proxy;
    fastcgi_temp_path %(d)s/fastcgi;
    uwsgi_temp_path %(d)s/uwsgi;
    scgi_temp_path %(d)s/scgi;
    server {
        listen 127.0.0.1:%(port)d;
        root %(www)s;
    }
}
''' % {'d': folder, 'port': port, 'www': www})
    nginx = shutil.which('nginx') or '/usr/sbin/nginx'
    proc = subprocess.Popen([nginx, '-p', folder, '-c', conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(('127.0.0.1', port), timeout=0.1).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    raise SystemExit('nginx did not start')


def run(args):
    """Runs one http_bench measurement; returns the numbers of its line (the last is VmHWM kB)
    and, after them, the wall time of the whole process."""
    start = time.monotonic()
    out = subprocess.run(args, stdout=subprocess.PIPE, check=True).stdout.decode().split()
    return [float(x) for x in out] + [time.monotonic() - start]


def peak_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    return -1


def serve_raw(handler):
    """A threading TCP server on loopback for a socketserver handler class; returns its port."""
    import socketserver
    import threading

    class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
        daemon_threads = True
    server = Server(('127.0.0.1', 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def start_endless():
    """A server on loopback whose every response is a body without end; returns its port."""
    import socketserver

    class Endless(socketserver.BaseRequestHandler):
        def handle(self):
            self.request.recv(65536)
            piece = b'z' * (1 << 20)
            try:
                self.request.sendall(b'HTTP/1.0 200 OK\r\n\r\n')
                while True:
                    self.request.sendall(piece)
            except OSError:
                pass
    return serve_raw(Endless)


LYING_BODY = 50 * 1000 * 1000


def start_lying():
    """A server on loopback sending the same 50 MB body under three heads: /honest (its true
    length), /two-lengths (Content-Length: 1, then the true one), /chunked-lie (chunks of
    64 KiB under Content-Length: 100000) and /one-byte-chunks (300 MB on the wire). Returns its
    port."""
    import socketserver
    piece = b'<p>a body longer than its head says</p>\n' * 1600  # 64,000 bytes
    one_byte_chunks = b''.join(b'1\r\n%c\r\n' % c for c in piece)
    heads = {
        b'/honest': b'Content-Length: %d\r\n' % LYING_BODY,
        b'/two-lengths': b'Content-Length: 1\r\nContent-Length: %d\r\n' % LYING_BODY,
        b'/chunked-lie': b'Content-Length: 100000\r\nTransfer-Encoding: chunked\r\n',
        b'/one-byte-chunks': b'Transfer-Encoding: chunked\r\n',
    }

    class Lying(socketserver.BaseRequestHandler):
        def handle(self):
            request = b''
            while b'\r\n\r\n' not in request:
                data = self.request.recv(65536)
                if not data:
                    return
                request += data
            path = request.split(b' ')[1]
            chunked = path in (b'/chunked-lie', b'/one-byte-chunks')
            block = {b'/chunked-lie': b'%x\r\n%s\r\n' % (len(piece), piece),
                     b'/one-byte-chunks': one_byte_chunks}.get(path, piece)
            try:
                self.request.sendall(b'HTTP/1.1 200 OK\r\nConnection: close\r\n' +
                                     heads[path] + b'\r\n')
                for _ in range(LYING_BODY // len(piece)):
                    self.request.sendall(block)
                if chunked:
                    self.request.sendall(b'0\r\n\r\n')
            except OSError:
                pass
    return serve_raw(Lying)


def lying_lengths(exe, folder, launcher=()):
    """Passes over a 50 MB body behind lying lengths beside the same body with an honest one,
    the three taking turns to go first; prints the table."""
    port = start_lying()
    paths = ('/honest', '/two-lengths', '/chunked-lie', '/one-byte-chunks')
    times = {p: [] for p in paths}
    peaks = {p: [] for p in paths}
    for round_ in range(ROUNDS):
        for i in range(len(paths)):
            path = paths[(i + round_) % len(paths)]
            url = 'http://127.0.0.1:%d%s' % (port, path)
            seconds, peak = timed_pass(exe, folder, [url], launcher)
            times[path].append(seconds)
            peaks[path].append(peak)
    honest = statistics.median(times['/honest'])
    honest_peak = statistics.median(peaks['/honest'])
    print('50 MB body            webmon pass  x honest   peak resident  x honest '
          '(targets: lying <= 1.5 time; one-byte chunks <= 2 time and memory)')
    for path in paths:
        t, k = statistics.median(times[path]), statistics.median(peaks[path])
        print('  %-18s  %8.3f s    %5.2f   %8.1f MB     %5.2f'
              % (path, t, t / honest, k / 1024, k / honest_peak))


def webmon_pass(build, folder, urls):
    """Time from webmon's start to its first closing line, and its peak resident kB."""
    return timed_pass(os.path.join(build, 'webmon'), folder, urls)


def against(build, other, folder, urls, label):
    """This build's webmon and the other executable over urls, taking turns, ROUNDS each: the
    medians of both, printed side by side."""
    ours, theirs = [], []
    for round_ in range(ROUNDS):
        for exe in ((os.path.join(build, 'webmon'), other) if round_ % 2 == 0
                    else (other, os.path.join(build, 'webmon'))):
            (ours if exe != other else theirs).append(timed_pass(exe, folder, urls))
    o = [statistics.median(x) for x in zip(*ours)]
    t = [statistics.median(x) for x in zip(*theirs)]
    print('A/B %s: this build %.3f s, %.1f MB; against %.3f s, %.1f MB; time ratio %.3f'
          % (label, o[0], o[1] / 1024, t[0], t[1] / 1024, o[0] / t[0]))


def timed_pass(exe, folder, urls, launcher=()):
    """Runs the webmon executable exe (through launcher, such as wine) in a fresh folder of
    folder with a web.txt of urls: the seconds from its start to its first closing line, and
    its peak resident kB (that of the launcher's process, if any)."""
    home = tempfile.mkdtemp(dir=folder)
    shutil.copy(exe, home)
    with open(os.path.join(home, 'web.txt'), 'wb') as f:
        f.write(b'3600\r\n' + b''.join(u.encode() + b'\r\n' for u in urls))
    env = dict(os.environ, LC_ALL='C')
    start = time.monotonic()
    proc = subprocess.Popen(list(launcher) + [os.path.join(home, os.path.basename(exe))],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    seconds = None
    seen = b''
    os.set_blocking(proc.stdout.fileno(), False)
    while seconds is None and proc.poll() is None:
        # Polled every millisecond rather than woken by every line: the reader must not take
        # the CPU from webmon (the pass's output fits the pipe, so webmon never waits for it).
        try:
            chunk = os.read(proc.stdout.fileno(), 1 << 16)
        except BlockingIOError:
            time.sleep(0.001)
            continue
        seen = seen[-64:] + chunk
        if b'Mission accomplished,' in seen:
            seconds = time.monotonic() - start
    os.set_blocking(proc.stdout.fileno(), True)
    peak = peak_kb(proc.pid)  # the pass is over: the worker only waits now
    proc.stdin.close()
    proc.stdout.read()
    status = proc.wait()
    if seconds is None or status != 0:
        raise SystemExit('%s did not finish its pass (status %d)' % (exe, status))
    shutil.rmtree(home, ignore_errors=True)
    return seconds, peak


def tree_rss_kb(pid):
    """The largest resident memory (kB) of pid and its descendants: under a launcher such as
    wine, the program's own process."""
    parents = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open('/proc/%s/stat' % entry) as f:
                    parents[int(entry)] = int(f.read().rsplit(')', 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    tree, grew = {pid}, True
    while grew:
        more = {p for p, parent in parents.items() if parent in tree} - tree
        tree |= more
        grew = bool(more)
    largest = 0
    for p in tree:
        try:
            with open('/proc/%d/status' % p) as f:
                for line in f:
                    if line.startswith('VmRSS:'):
                        largest = max(largest, int(line.split()[1]))
        except OSError:
            pass
    return largest


READ_AHEAD_BOUND_KB = 64  # the console input's read-ahead (platform/console_input.h)


def input_bound(exe, launcher=()):
    """An idle webmon's resident memory, then that of one fed `yes` while nobody reads its
    output, at 5, 15 and 30 s; prints the table."""
    home = tempfile.mkdtemp(prefix='webmon-input-')
    shutil.copy(exe, home)
    with open(os.path.join(home, 'web.txt'), 'wb') as f:
        f.write(b'3600\r\n')
    argv = list(launcher) + [os.path.join(home, os.path.basename(exe))]
    env = dict(os.environ, LC_ALL='C')
    idle = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env)
    time.sleep(5)
    idle_kb = tree_rss_kb(idle.pid)
    idle.stdin.close()
    idle.wait()
    yes = subprocess.Popen(['yes'], stdout=subprocess.PIPE)
    read_end, write_end = os.pipe()  # nobody reads read_end
    fed = subprocess.Popen(argv, stdin=yes.stdout, stdout=write_end, env=env)
    yes.stdout.close()
    os.close(write_end)
    start, samples = time.monotonic(), []
    for at in (5, 15, 30):
        time.sleep(max(0, start + at - time.monotonic()))
        samples.append(tree_rss_kb(fed.pid))
    yes.kill()
    yes.wait()
    os.close(read_end)  # the reader leaves: webmon ends
    try:
        fed.wait(timeout=10)
    except subprocess.TimeoutExpired:
        fed.kill()
        fed.wait()
    shutil.rmtree(home, ignore_errors=True)
    print('yes | webmon | (nobody reads): resident %s MB at 5, 15, 30 s; idle %.1f MB; '
          'target <= idle + the %d KiB read-ahead, give or take the allocator'
          % (', '.join('%.1f' % (k / 1024) for k in samples), idle_kb / 1024,
             READ_AHEAD_BOUND_KB))


@contextlib.contextmanager
def serving(prefix):
    """nginx on loopback with the pages of start_nginx, in a folder of its own that goes with
    it: (folder, port)."""
    folder = tempfile.mkdtemp(prefix=prefix)
    nginx, port = start_nginx(folder)
    try:
        yield folder, port
    finally:
        nginx.terminate()
        nginx.wait()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    if sys.argv[1] == '--input-bound':
        input_bound(sys.argv[2], sys.argv[3:])
        return
    build = sys.argv[1]
    other = sys.argv[sys.argv.index('--against') + 1] if '--against' in sys.argv else None
    bench = os.path.join(build, 'bench', 'http_bench')
    with serving('webmon-bench-') as (folder, port):
        urls = ['http://127.0.0.1:%d/f/%d' % (port, i) for i in range(1000)]
        listing = os.path.join(folder, 'urls.txt')
        with open(listing, 'w') as f:
            f.write('\n'.join(urls) + '\n')

        read, plain = [], []
        for round_ in range(ROUNDS):
            for mode in (('read', 'curl') if round_ % 2 == 0 else ('curl', 'read')):
                seconds = run([bench, mode, listing, '1000'])[0]
                (read if mode == 'read' else plain).append(seconds)
        r, p = statistics.median(read), statistics.median(plain)
        print('HttpReadFile x1000: %.3f s, plain libcurl loop: %.3f s, ratio %.3f (target <= 1.15)'
              % (r, p, r / p))

        print('text page  webmon pass  plain libcurl  time ratio  peak resident  x body')
        for size in BODIES:
            url = 'http://127.0.0.1:%d/big%d' % (port, size)
            one = os.path.join(folder, 'one%d.txt' % size)
            with open(one, 'w') as f:
                f.write(url + '\n')
            ours, plain, peaks = [], [], []
            for round_ in range(ROUNDS):
                for mode in (('pass', 'curl') if round_ % 2 == 0 else ('curl', 'pass')):
                    if mode == 'pass':
                        seconds, peak = webmon_pass(build, folder, [url])
                        ours.append(seconds)
                        peaks.append(peak)
                    else:
                        plain.append(run([bench, 'curl', one, '1'])[-1])
            o, p, k = statistics.median(ours), statistics.median(plain), statistics.median(peaks)
            print('%5d MB   %8.3f s    %8.3f s     %6.2f     %8.1f MB     %5.2f'
                  % (size, o, p, o / p, k / 1024, k * 1024 / (size * MB)))
        print('targets for 64 MB: time ratio <= 1.2, peak <= 2.2 x the body')
        if other:
            against(build, other, folder, ['http://127.0.0.1:%d/big64' % port], '64 MB page')
            against(build, other, folder, urls, 'pass of 1000')

        passes, loops, pass_rss, loop_rss = [], [], [], []
        for _ in range(ROUNDS):
            seconds, rss = webmon_pass(build, folder, urls)
            passes.append(seconds)
            pass_rss.append(rss)
            # Both from the start of the process: webmon's pass includes its start-up too.
            _, _, rss, loop_seconds = run([bench, 'curl', listing, '1000'])
            loops.append(loop_seconds)
            loop_rss.append(rss)
        w, l = statistics.median(passes), statistics.median(loops)
        wm, lm = statistics.median(pass_rss), statistics.median(loop_rss)
        print('webmon pass of 1000: %.3f s, plain loop process: %.3f s, ratio %.3f '
              '(target <= 1.15)'
              % (w, l, w / l))
        print('webmon peak resident %.1f MB, plain loop %.1f MB, ratio %.3f (target <= 1.2)'
              % (wm / 1024, lm / 1024, wm / lm))

        lying_lengths(os.path.join(build, 'webmon'), folder)

        endless = 'http://127.0.0.1:%d/' % start_endless()
        seconds, rss = webmon_pass(build, folder, [endless])
        print('webmon pass over an endless page: %.1f s, peak resident %.1f MB, %.2f x the '
              'body limit of %d MB (target <= 2.5)'
              % (seconds, rss / 1024, rss * 1024 / BODY_LIMIT, BODY_LIMIT // MB))

    input_bound(os.path.join(build, 'webmon'))


if __name__ == '__main__':
    main()
