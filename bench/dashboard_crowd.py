#!/usr/bin/env python3
"""Dashboard crowd benchmark: a reader's /status.json while silent connections from many loopback addresses hold every place of pellicksrv's dashboard, with loadgen's CPUs reporting.

usage: bench/dashboard_crowd.py [BUILD_DIR] [CROWD]   (default build/linux, 4,096 connections)
Every address is loopback (127.0.x.y); the crowd reopens whatever the server closes, as an attacker would.
"""
import os
import re
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "linux")
CROWD = int(sys.argv[2]) if len(sys.argv) > 2 else 4096
PER_ADDRESS = 32          # the dashboard's per-address cap
DESCRIPTORS = 20000       # the server's limit: a quarter is 5,000, above the absolute cap
READS = 20
RUN_SECONDS = 60          # the whole run's bound


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def crowd_address(i):
    n = 1 + i // PER_ADDRESS
    return "127.0.%d.%d" % (n // 250, 1 + n % 250)


def open_silent(port, i):
    s = socket.socket()
    s.bind((crowd_address(i), 0))
    s.connect(("127.0.0.1", port))
    s.setblocking(False)
    return s


def read_status(port, source):
    """(status, milliseconds) of one /status.json over a new connection from source; status 0 when refused."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0)) as s:
            s.sendall(b"GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            got = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
        status = int(got[9:12]) if got.startswith(b"HTTP/1.1 ") else 0
    except OSError:
        status = 0
    return status, (time.monotonic() - start) * 1000


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = min(hard, CROWD + 512)
    if want < CROWD + 64:
        sys.exit("dashboard crowd: needs %d descriptors, the hard limit is %d" % (CROWD + 64, hard))
    resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    server_limit = min(hard, DESCRIPTORS)
    work = tempfile.mkdtemp(prefix="pellick-crowd.")
    os.makedirs(os.path.join(work, "Zandrel", "Pellick"))
    status_port = free_port()
    env = dict(os.environ, XDG_CONFIG_HOME=work, PELLICK_TEST_PORT=str(status_port), PELLICK_TEST_HTTP_PORT="0")
    server = subprocess.Popen([os.path.join(BUILD, "server", "pellicksrv")], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (server_limit, hard)))
    port = None
    for line in server.stderr:
        m = re.search(r"dashboard at http://localhost:(\d+)/", line)
        if m:
            port = int(m.group(1))
            break
    if port is None:
        sys.exit("dashboard crowd: pellicksrv printed no dashboard address")
    gen = subprocess.Popen([os.path.join(BUILD, "tools", "loadgen"), "--port", str(status_port), "-c", "100",
                            "-r", "2", "-d", "40", "--settle", "0"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    rows = []
    try:
        time.sleep(1)  # a benchmark, not a test: the CPUs' first messages land
        quiet = [read_status(port, "127.0.250.1") for _ in range(READS)]
        rows.append(("no crowd", "127.0.250.1", quiet))

        sel = selectors.DefaultSelector()
        crowd = {}
        for i in range(CROWD):
            s = open_silent(port, i)
            crowd[s] = i
            sel.register(s, selectors.EVENT_READ)
        reopened = [0]
        stop = threading.Event()
        deadline = time.monotonic() + RUN_SECONDS

        def keep_crowd():  # whatever the server closes comes back at once
            while not stop.is_set() and time.monotonic() < deadline:
                for key, _ in sel.select(0.05):
                    s = key.fileobj
                    i = crowd.pop(s)
                    sel.unregister(s)
                    s.close()
                    try:
                        t = open_silent(port, i)
                    except OSError:
                        continue
                    crowd[t] = i
                    sel.register(t, selectors.EVENT_READ)
                    reopened[0] += 1

        keeper = threading.Thread(target=keep_crowd)
        keeper.start()
        time.sleep(1)
        crowd_kib = resident_kib(server.pid)
        for source in ("127.0.250.1", "127.0.0.1"):
            rows.append(("%d silent, reopened when closed" % CROWD, source,
                         [read_status(port, source) for _ in range(READS)]))
        stop.set()
        keeper.join()
        for s in list(crowd):
            s.close()
        print("| Crowd | Reader | Answered | Median ms | Slowest ms |")
        print("|---|---|---|---|---|")
        for crowd_text, source, reads in rows:
            ms = [t for status, t in reads if status == 200]
            print("| %s | %s | %d of %d | %s | %s |" % (
                crowd_text, source, len(ms), len(reads),
                "%.1f" % statistics.median(ms) if ms else "-", "%.1f" % max(ms) if ms else "-"))
        print("crowd connections reopened after the server closed them: %d" % reopened[0])
        print("server resident memory with the crowd: %d KiB" % crowd_kib)
    finally:
        gen.kill()
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    main()
