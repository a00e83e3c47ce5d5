#!/usr/bin/env python3
"""What serving costs a running poll, and what hostile clients cost it.

    bench/services.py gap [--seconds 300]     poll exchange gaps, with and without services, side by side
    bench/services.py gap --load page         the same, the services loaded by the site page open in a browser
    bench/services.py gap --load stalled-events   the same, beside a poll whose --events reader never reads
    bench/services.py spew [--seconds 30]     the host's CPU while an on-event program writes to stderr without end
    bench/services.py noise [--seconds 10]    the events and CPU of a poll whose line brings nothing but '~' 
    bench/services.py page [--requests 1000]  the page's size, and what /api/status and /api/trend cost
    bench/services.py soak [--cycles 100]     resident memory and descriptors over replugs and requests
    bench/services.py shutdown [--times 5]    time to exit after SIGTERM with slow clients connected
    bench/services.py idle [--held 200]       scrape latency while idle connections are held
    bench/services.py crowd [--seconds 30]    scrapes and gets through a crowd of trickling clients

Every figure comes from real processes on this machine: tzv58-host plant on a
pseudo-terminal, tzv58-host poll against it, and clients on loopback and a
Unix socket only. Every loop is bounded in count and time; every child is
stopped by its pid. The program is build/tools/tzv58-host unless --host says
otherwise; the browser is Debian's headless chromium, driven over the
DevTools protocol on a pipe.
"""

import argparse
import fcntl
import http.client
import json
import os
import pty
import shutil
import sqlite3
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

BAUD_CHAR_S = 10 / 9600  # one character at 9600 baud, 8N1
ROUND_BREAK_S = 0.3      # a longer gap is the pause between rounds, not an exchange


def now():
    return time.perf_counter()


def pct(values, p):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


class Child:
    """A program in the background, its standard output and error read line by line."""

    def __init__(self, args, name):
        self.name = name
        self.p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = {"out": [], "err": []}
        self.cv = threading.Condition()
        for key, stream in (("out", self.p.stdout), ("err", self.p.stderr)):
            threading.Thread(target=self._read, args=(key, stream), daemon=True).start()

    def _read(self, key, stream):
        for line in stream:
            with self.cv:
                self.lines[key].append(line.rstrip("\n"))
                self.cv.notify_all()

    def wait_line(self, key, start, timeout=30, nth=1):
        deadline = now() + timeout
        with self.cv:
            while True:
                found = [l for l in self.lines[key] if l.startswith(start)]
                if len(found) >= nth:
                    return found[nth - 1]
                left = deadline - now()
                if left <= 0 or self.p.poll() is not None:
                    raise RuntimeError(f"{self.name}: no line '{start}' ({self.lines[key][-3:]})")
                self.cv.wait(left)

    def count(self, key, start):
        with self.cv:
            return sum(1 for l in self.lines[key] if l.startswith(start))

    def wait_complete_rounds(self, n, timeout=60):
        """Until the summary shows n rounds with a reading ("== round 7: 2026-...")."""
        deadline = now() + timeout
        with self.cv:
            while sum(1 for l in self.lines["out"] if l.startswith("== round ") and ": 2" in l) < n:
                left = deadline - now()
                if left <= 0 or self.p.poll() is not None:
                    raise RuntimeError(f"{self.name}: fewer than {n} complete rounds")
                self.cv.wait(left)

    def complete_rounds(self):
        with self.cv:
            return sum(1 for l in self.lines["out"] if l.startswith("== round ") and ": 2" in l)

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.p.poll() is None:
            self.p.send_signal(sig)
            try:
                self.p.wait(timeout)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        return self.p.returncode


def raw(fd):
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


class Relay:
    """Between the plant and the host: a pseudo-terminal the host polls, paced
    at 9600 baud towards the host. Records, for each request, how long after
    the last byte of the reply before it its first byte came. Runs in a
    process of its own (`services.py relay`), so that no load generator
    shares its interpreter."""

    def __init__(self, plant_link, host_link):
        self.plant = os.open(plant_link, os.O_RDWR | os.O_NOCTTY)
        raw(self.plant)
        self.master, slave = pty.openpty()
        raw(slave)
        os.symlink(os.ttyname(slave), host_link)
        self.slave = slave  # kept open: the pseudo-terminal lives while the relay does
        self.gaps = []
        self.reply_end = None

    def run(self, stop):
        while not stop.is_set():
            ready, _, _ = select.select([self.plant, self.master], [], [], 0.2)
            if self.master in ready:
                data = os.read(self.master, 4096)
                if self.reply_end is not None and data:
                    self.gaps.append(now() - self.reply_end)
                    self.reply_end = None
                os.write(self.plant, data)
            if self.plant in ready:
                pending = os.read(self.plant, 4096)
                for i in range(len(pending)):
                    if i:
                        time.sleep(BAUD_CHAR_S)
                    os.write(self.master, pending[i:i + 1])
                    if pending[i:i + 1] == b"\r":
                        self.reply_end = now()


def run_relay(args):
    relay = Relay(args.plant_link, args.host_link)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGUSR1, lambda *_: relay.gaps.clear())
    print("ready", flush=True)
    relay.run(stop)
    with open(args.out, "w") as f:
        f.writelines(f"{g!r}\n" for g in relay.gaps)


class Services:
    """A plant, and tzv58-host poll against it, through a relay or not."""

    def __init__(self, host, folder, name, services, relay=True, extra=(), events="/dev/null"):
        self.folder, self.name = folder, name
        plant_link = os.path.join(folder, name + "-plant")
        self.plant = Child([host, "plant", "--link", plant_link, "--baud", "9600"], name + " plant")
        self.plant.wait_line("out", "ready ")
        port = plant_link
        self.relay = None
        self.gaps_file = os.path.join(folder, name + "-gaps")
        if relay:
            port = os.path.join(folder, name + "-line")
            self.relay = Child([sys.executable, os.path.abspath(__file__), "relay", plant_link, port, self.gaps_file],
                               name + " relay")
            self.relay.wait_line("out", "ready")
        self.socket = os.path.join(folder, name + ".sock")
        args = [host, "poll", "--port", port, "--baud", "9600", "--events", events]
        if services:
            args += ["--listen", self.socket, "--http", "127.0.0.1:0"] + list(extra)
        self.poll = Child(args, name + " poll")
        self.http_port = None
        if services:
            ready = self.poll.wait_line("err", "tzv58-host: ready:")
            self.http_port = int(ready.split("127.0.0.1:")[1].split("/")[0])
        self.poll.wait_complete_rounds(1)

    def pid(self):
        return self.poll.p.pid

    def stop(self):
        status = self.poll.stop()
        if self.relay:
            self.relay.stop()
        self.plant.stop()
        return status

    def gaps(self):
        with open(self.gaps_file) as f:
            return [float(l) for l in f]


def unix_http(path):
    c = http.client.HTTPConnection("localhost", timeout=30)
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(30)
    s.connect(path)
    c.sock = s
    return c


def ask(conn_factory, target, state):
    """One request on a kept connection, reconnecting when the host closed it."""
    for _ in range(2):
        if state.get("conn") is None:
            state["conn"] = conn_factory()
        try:
            state["conn"].request("GET", target)
            r = state["conn"].getresponse()
            r.read()
            return r.status
        except (OSError, http.client.HTTPException):
            state["conn"] = None
    return 0


def paced(rate, seconds, fn, stop):
    """Calls fn rate times a second for `seconds` (or until stop is set)."""
    start = now()
    n = 0
    while not stop.is_set() and now() - start < seconds:
        fn()
        n += 1
        delay = start + n / rate - now()
        if delay > 0:
            stop.wait(delay)


def rss_fds(pid):
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    return rss, len(os.listdir(f"/proc/{pid}/fd"))


# ---- the site page ----

HISTORY_HOURS = 6
HISTORY_STEP_S = 2


def six_hours_of_history(host, folder):
    """A history file of the last six hours, a round every 2 s (10,800 rows):
    written by simulate on its fast clock, which starts now and runs ahead,
    then moved back by six hours (the rows' time columns only, which is
    all the trend reads)."""
    path = os.path.join(folder, "history.db")
    rounds = HISTORY_HOURS * 3600 // HISTORY_STEP_S
    subprocess.run([host, "simulate", "--fast", "--rounds", str(rounds), "--history", path, "--events", "/dev/null",
                    "--summary"], stdout=subprocess.DEVNULL, check=True, timeout=600)
    db = sqlite3.connect(path)
    db.execute("UPDATE history SET time = strftime('%Y-%m-%dT%H:%M:%S', time, ?)",
               (f"-{HISTORY_HOURS * 3600 + 60} seconds",))
    db.commit()
    db.close()
    return path, rounds


class Browser:
    """Headless Chromium with one page open, driven over the DevTools
    protocol on a pipe (descriptors 3 and 4 of the browser); counts the
    page's requests by path."""

    def __init__(self, url, folder):
        self.profile = tempfile.mkdtemp(prefix="browser-", dir=folder)
        to_browser, self.out = os.pipe()
        self.inp, from_browser = os.pipe()

        def onto_3_and_4():
            a, b = fcntl.fcntl(to_browser, fcntl.F_DUPFD, 10), fcntl.fcntl(from_browser, fcntl.F_DUPFD, 10)
            os.dup2(a, 3)
            os.dup2(b, 4)
        log = open(os.path.join(self.profile, "log"), "w")
        self.p = subprocess.Popen(
            [shutil.which("chromium") or "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--disable-extensions", "--remote-debugging-pipe", "--user-data-dir=" + self.profile,
             "about:blank"], stdin=subprocess.DEVNULL, stdout=log, stderr=log, preexec_fn=onto_3_and_4, pass_fds=(3, 4))
        os.close(to_browser)
        os.close(from_browser)
        self.cv = threading.Condition()
        self.answers, self.requests, self.next_id = {}, {}, 0
        threading.Thread(target=self._read, daemon=True).start()
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.call("Network.enable", {}, self.session)
        self.call("Page.navigate", {"url": url}, self.session)

    def _read(self):
        pending = b""
        while True:
            data = os.read(self.inp, 65536)
            if not data:
                return
            pending += data
            while b"\0" in pending:
                text, pending = pending.split(b"\0", 1)
                m = json.loads(text)
                with self.cv:
                    if "id" in m:
                        self.answers[m["id"]] = m
                    elif m.get("method") == "Network.requestWillBeSent":
                        path = m["params"]["request"]["url"].split("/", 3)[-1].split("?")[0]
                        self.requests["/" + path] = self.requests.get("/" + path, 0) + 1
                    self.cv.notify_all()

    def call(self, method, params, session=None, timeout=30):
        with self.cv:
            self.next_id += 1
            n = self.next_id
        m = {"id": n, "method": method, "params": params}
        if session:
            m["sessionId"] = session
        os.write(self.out, json.dumps(m).encode() + b"\0")
        deadline = now() + timeout
        with self.cv:
            while n not in self.answers:
                left = deadline - now()
                if left <= 0:
                    raise RuntimeError(f"browser: no answer to {method}")
                self.cv.wait(left)
            return self.answers.pop(n).get("result", {})

    def stop(self):
        try:
            self.call("Browser.close", {}, timeout=5)
        except (RuntimeError, OSError):
            pass
        try:
            self.p.wait(10)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
        with self.cv:
            return dict(self.requests)


def latencies(port, target, n):
    """n requests on one kept connection: milliseconds each, and the body."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    out, body = [], b""
    for _ in range(n):
        t = now()
        c.request("GET", target)
        r = c.getresponse()
        body = r.read()
        out.append((now() - t) * 1000)
        if r.status != 200:
            raise RuntimeError(f"{target}: {r.status} {body[:200]!r}")
    c.close()
    return out, body


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_page(args):
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        history, rows = six_hours_of_history(args.host, folder)
        s = Services(args.host, folder, "page", services=True, relay=False, extra=["--history", history])
        page, body = latencies(s.http_port, "/", 1)
        print(f"the page: {len(body)} bytes, self-contained (its script and style inline)")
        print(f"history: {rows} rounds in the last {HISTORY_HOURS} hours; {args.requests} requests each, one kept "
              "connection, the poll running:")
        print(f"{'':22} {'bytes':>7} {'p50 ms':>8} {'p99 ms':>8} {'max ms':>8} {'CPU ms/request':>15}")
        for target in ("/api/status", f"/api/trend?hours={HISTORY_HOURS}", "/"):
            before = cpu_s(s.pid())
            ms, body = latencies(s.http_port, target, args.requests)
            cpu = (cpu_s(s.pid()) - before) * 1000 / args.requests
            print(f"{target:22} {len(body):7d} {pct(ms, 50):8.3f} {pct(ms, 99):8.3f} {max(ms):8.3f} {cpu:15.3f}")
        s.stop()


# ---- gap ----

def run_gap(args):
    if args.load == "stalled-events":
        return gap_with_stalled_events(args)
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        extra = []
        if args.load == "page":
            extra = ["--history", six_hours_of_history(args.host, folder)[0]]
        bare = Services(args.host, folder, "bare", services=False)
        served = Services(args.host, folder, "served", services=True, extra=extra)
        if args.load == "page":
            return gap_with_page(args, folder, bare, served)
        stop = threading.Event()
        counts = {"scrapes": 0, "scrape_failures": 0, "gets": 0, "get_failures": 0}
        lock = threading.Lock()

        def scrape(state={}):
            ok = ask(lambda: http.client.HTTPConnection("127.0.0.1", served.http_port, timeout=30), "/metrics", state)
            with lock:
                counts["scrapes" if ok == 200 else "scrape_failures"] += 1

        def getter():
            state = {}

            def one():
                ok = ask(lambda: unix_http(served.socket), "/values/out_v", state)
                with lock:
                    counts["gets" if ok == 200 else "get_failures"] += 1
            return one

        for s in (bare, served):
            s.relay.p.send_signal(signal.SIGUSR1)  # from here on
        threads = [threading.Thread(target=paced, args=(50, args.seconds, scrape, stop))]
        threads += [threading.Thread(target=paced, args=(5, args.seconds, getter(), stop)) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print_gaps(args, bare, served, "with services, loaded")
    print(f"load served: {counts['scrapes']} scrapes ({counts['scrape_failures']} failed), "
          f"{counts['gets']} socket requests ({counts['get_failures']} failed)")


def print_gaps(args, bare, served, served_label):
    """Stops both polls and prints their exchange gaps side by side."""
    results = {}
    for s in (bare, served):
        s.stop()
        results[s.name] = [g * 1000 for g in s.gaps() if g < ROUND_BREAK_S]
    width = max(24, len(served_label))
    print(f"poll exchange gap (ms), reply's last byte to the next request's first, {args.seconds} s side by side:")
    print(f"{'':{width}} {'exchanges':>9} {'p50':>7} {'p90':>7} {'p99':>7} {'max':>7}")
    for name, label in (("bare", "without services"), ("served", served_label)):
        g = results[name]
        print(f"{label:{width}} {len(g):9d} {pct(g, 50):7.3f} {pct(g, 90):7.3f} {pct(g, 99):7.3f} {max(g):7.3f}")
    diff = pct(results["served"], 99) - pct(results["bare"], 99)
    print(f"p99 difference: {diff:+.3f} ms")


def gap_with_page(args, folder, bare, served):
    """The served poll keeps a history and serves the site page to a browser
    that keeps it open: /api/status every 2 s, /api/trend every minute."""
    for s in (bare, served):
        s.relay.p.send_signal(signal.SIGUSR1)  # from here on
    browser = Browser(f"http://127.0.0.1:{served.http_port}/", folder)
    time.sleep(args.seconds)  # the browser's own pace is the load
    asked = browser.stop()
    print_gaps(args, bare, served, "with --history and the page open")
    print("the page asked for: " + ", ".join(f"{p} {n}" for p, n in sorted(asked.items())))


def gap_with_stalled_events(args):
    """The second poll writes its events into a FIFO whose reader opened it
    and never reads: the FIFO fills, then the poll's queue, then lines are
    dropped."""
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        fifo = os.path.join(folder, "events.fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # kept open, never read
        bare = Services(args.host, folder, "bare", services=False)
        stalled = Services(args.host, folder, "served", services=False, events=fifo)
        for s in (bare, stalled):
            s.relay.p.send_signal(signal.SIGUSR1)  # from here on
        time.sleep(args.seconds)
        rounds = stalled.poll.complete_rounds()
        print_gaps(args, bare, stalled, "with a stalled --events reader")
        os.close(reader)
        print(f"the stalled poll completed {rounds} rounds and said:")
        for line in stalled.poll.lines["err"]:
            print("  " + line)


# ---- an on-event program that writes without end ----

def run_spew(args):
    """The host's CPU share with a mains-off plant on the wall clock, without
    --on-event and with a program that writes to its standard error without
    end (run once, for the alarm the first round raises)."""
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        plant = os.path.join(folder, "mains-off.json")
        with open(plant, "w") as f:
            f.write('{"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]}}')
        spew = os.path.join(folder, "spew")
        with open(spew, "w") as f:
            f.write("#!/bin/sh\nexec yes 'an on-event program that writes without end' >&2\n")
        os.chmod(spew, 0o755)
        print(f"the host's CPU over {args.seconds} s after its first round (mains-off plant, wall clock):")
        for label, extra in (("without --on-event", []), ("--on-event writing to stderr without end", ["--on-event", spew])):
            c = Child([args.host, "simulate", "--plant", plant, "--events", "/dev/null"] + extra, label)
            c.wait_complete_rounds(1)
            before, t = cpu_s(c.p.pid), now()
            time.sleep(args.seconds)
            share = (cpu_s(c.p.pid) - before) / (now() - t) * 100
            rounds = c.complete_rounds()
            c.stop()
            said = [l for l in c.lines["err"] if "on-event" in l and ": an on-event program" not in l]
            print(f"  {label:42} {share:5.1f} % of a core, {rounds} rounds")
            for line in said:
                print("    " + line)


# ---- a line of noise ----

def run_noise(args):
    """A poll on a pseudo-terminal that brings nothing but '~' bytes, paced at
    9600 baud and at the pseudo-terminal's own speed: the events it writes and
    its CPU share over args.seconds."""
    print(f"a line that brings only '~' for {args.seconds} s:")
    print(f"{'':24} {'error events':>12} {'left_out':>9} {'event bytes':>12} {'CPU':>7}")
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        for label, pace in (("9600 baud", BAUD_CHAR_S), ("pseudo-terminal speed", 0)):
            master, slave = pty.openpty()
            raw(slave)
            events = os.path.join(folder, "events-" + str(int(pace > 0)))
            c = Child([args.host, "poll", "--port", os.ttyname(slave), "--events", events], label)
            stop = threading.Event()

            def spew():
                chunk = b"~" * (96 if pace else 4096)
                os.set_blocking(master, False)
                while not stop.is_set():
                    if select.select([master], [], [], 0)[0]:
                        os.read(master, 4096)  # the poll's requests, discarded
                    try:
                        os.write(master, chunk)
                    except BlockingIOError:
                        select.select([], [master], [], 0.01)  # the poll reads less than comes
                    if pace:
                        time.sleep(pace * len(chunk))
            t = threading.Thread(target=spew)
            t.start()
            deadline = now() + 30
            while not (os.path.exists(events) and os.path.getsize(events)) and now() < deadline:
                time.sleep(0.05)  # until the port is open (its "link" event)
            before, start = cpu_s(c.p.pid), now()
            time.sleep(args.seconds)
            share = (cpu_s(c.p.pid) - before) / (now() - start) * 100
            c.stop()
            stop.set()
            t.join()
            os.close(master)
            os.close(slave)
            with open(events) as f:
                lines = f.readlines()
            errors = sum(1 for l in lines if l.startswith('{"event":"error"'))
            left = sum(json.loads(l)["count"] for l in lines if l.startswith('{"event":"left_out"'))
            size = os.path.getsize(events)
            print(f"{label:24} {errors:12d} {left:9d} {size:12d} {share:6.1f}%")


# ---- soak ----

def replug(s):
    s.plant.p.send_signal(signal.SIGUSR1)
    s.plant.wait_line("out", "unplugged ", nth=s.plant.count("out", "unplugged ") + 1)
    before = s.poll.complete_rounds()
    s.plant.p.send_signal(signal.SIGUSR2)
    s.plant.wait_line("out", "ready ", nth=s.plant.count("out", "ready ") + 1)
    s.poll.wait_complete_rounds(before + 1)


def run_soak(args):
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        history = os.path.join(folder, "h.db")
        s = Services(args.host, folder, "soak", services=True, relay=False, extra=["--history", history])
        per_cycle = args.requests // args.cycles
        http_state, unix_state = {}, {}
        failures = 0
        samples = [(0, 0) + rss_fds(s.pid())]
        for cycle in range(1, args.cycles + 1):
            replug(s)
            for i in range(per_cycle):
                if i % 2 == 0:
                    ok = ask(lambda: http.client.HTTPConnection("127.0.0.1", s.http_port, timeout=30), "/metrics",
                             http_state)
                else:
                    ok = ask(lambda: unix_http(s.socket), "/values" if i % 4 == 1 else "/values/out_v", unix_state)
                failures += ok != 200
            if cycle in (1, 10, 25, 50, 75, 100) or cycle == args.cycles:
                samples.append((cycle, cycle * per_cycle) + rss_fds(s.pid()))
        status = s.stop()
    print(f"poll with --listen, --http and --history; {args.cycles} unplug/replug cycles, "
          f"{per_cycle} requests after each ({failures} failed); exit status {status}")
    print(f"{'cycles':>7} {'requests':>9} {'VmRSS KB':>9} {'descriptors':>12}")
    for c, n, rss, fds in samples:
        print(f"{c:7d} {n:9d} {rss:9d} {fds:12d}")


# ---- shutdown ----

def slow_clients(s):
    held = []
    for i in range(40):
        c = socket.create_connection(("127.0.0.1", s.http_port)) if i % 2 else socket.socket(socket.AF_UNIX)
        if not i % 2:
            c.connect(s.socket)
        if i % 4 < 2:
            c.send(b"GET /metrics HTTP/1.1\r\nX-Slow: ")  # a request begun, never ended
        held.append(c)
    return held


def run_shutdown(args):
    times = []
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        for i in range(args.times):
            s = Services(args.host, folder, f"down{i}", services=True, relay=False)
            held = slow_clients(s)
            t = now()
            s.poll.p.send_signal(signal.SIGTERM)
            s.poll.p.wait(30)
            times.append((now() - t) * 1000)
            gone = not os.path.exists(s.socket)
            s.stop()
            for c in held:
                c.close()
            print(f"run {i + 1}: exit status {s.poll.p.returncode} after {times[-1]:.1f} ms; socket removed: {gone}")
    print(f"time to exit after SIGTERM with 40 slow or idle clients: median {statistics.median(times):.1f} ms, "
          f"max {max(times):.1f} ms")


# ---- idle ----

def scrape_latencies(port, n):
    out = []
    for _ in range(n):
        t = now()
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        c.request("GET", "/metrics")
        r = c.getresponse()
        r.read()
        c.close()
        out.append(((now() - t) * 1000, r.status))
    return out


def run_idle(args):
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        s = Services(args.host, folder, "idle", services=True, relay=False)
        base = scrape_latencies(s.http_port, args.scrapes)
        held = [socket.create_connection(("127.0.0.1", s.http_port)) for _ in range(args.held)]
        loaded = scrape_latencies(s.http_port, args.scrapes)
        for c in held:
            c.close()
        s.stop()
    print(f"scrape latency (ms, a new connection each), {args.scrapes} scrapes:")
    for label, lat in (("nothing held", base), (f"{args.held} idle connections held", loaded)):
        ms = [m for m, _ in lat]
        ok = sum(1 for _, st in lat if st == 200)
        print(f"{label:28} p50 {pct(ms, 50):7.3f}  p99 {pct(ms, 99):7.3f}  max {max(ms):7.3f}  ({ok} answered 200)")


# ---- crowd ----

def trickle(s, tcp, unix, every, stop, counts):
    """tcp + unix clients, each sending a byte of a request that never ends
    every `every` seconds, and connecting again at once when cut."""
    head = b"GET /metrics HTTP/1.1\r\nX-Slow: "

    def connect(is_tcp):
        try:
            if is_tcp:
                c = socket.create_connection(("127.0.0.1", s.http_port), timeout=5)
            else:
                c = socket.socket(socket.AF_UNIX)
                c.settimeout(5)
                c.connect(s.socket)
            c.setblocking(False)
            return c
        except OSError:
            counts["connect_failures"] += 1
            return None

    conns = [[connect(i < tcp), i < tcp, 0, now()] for i in range(tcp + unix)]
    while not stop.is_set():
        socks = [c[0] for c in conns if c[0] is not None]
        readable = set(select.select(socks, [], [], 0.01)[0]) if socks else set()
        t = now()
        for c in conns:
            if c[0] is not None and c[0] in readable:
                try:
                    cut = not c[0].recv(4096)
                except BlockingIOError:
                    cut = False
                except OSError:
                    cut = True
                if cut:
                    c[0].close()
                    c[0] = None
                    counts["cut"] += 1
            if c[0] is None:
                c[0], c[2], c[3] = connect(c[1]), 0, t
            elif t >= c[3]:
                try:
                    c[0].send(head[c[2]:c[2] + 1] if c[2] < len(head) else b"z")
                except OSError:
                    pass
                c[2] += 1
                c[3] = t + every
    for c in conns:
        if c[0] is not None:
            c[0].close()


def run_crowd(args):
    with tempfile.TemporaryDirectory(prefix="tzv58-bench-") as folder:
        bare = Services(args.host, folder, "bare", services=False)
        served = Services(args.host, folder, "served", services=True)
        for s in (bare, served):
            s.relay.p.send_signal(signal.SIGUSR1)  # from here on
        stop = threading.Event()
        counts = {"cut": 0, "connect_failures": 0}
        crowd = threading.Thread(target=trickle, args=(served, args.tcp, args.unix, args.every, stop, counts))
        scrapes, gets = [], []

        def scrape():
            t = now()
            try:
                c = http.client.HTTPConnection("127.0.0.1", served.http_port, timeout=10)
                c.request("GET", "/metrics")
                r = c.getresponse()
                r.read()
                c.close()
                status = r.status
            except (OSError, http.client.HTTPException):
                status = 0
            scrapes.append(((now() - t) * 1000, status))

        def get():
            t = now()
            r = subprocess.run([args.host, "get", "--socket", served.socket, "out_v"], capture_output=True, text=True,
                               timeout=30)
            gets.append(((now() - t) * 1000, r.returncode))

        cpu = cpu_s(served.pid())
        crowd.start()
        threads = [threading.Thread(target=paced, args=(1, args.seconds, fn, stop)) for fn in (scrape, get)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        crowd.join()
        cpu = cpu_s(served.pid()) - cpu
        print_gaps(args, bare, served, "with services, in a crowd")
    print(f"{args.tcp} TCP and {args.unix} socket clients, a byte every {args.every} s each, connecting again when "
          f"cut: cut {counts['cut']} times ({counts['cut'] / args.seconds:.0f}/s), {counts['connect_failures']} "
          f"connections failed; the serving poll used {cpu:.1f} s of CPU in {args.seconds} s")
    for label, done, ok in (("scrape (/metrics)", scrapes, 200), ("get out_v (socket)", gets, 0)):
        ms = [m for m, _ in done]
        good = sum(1 for _, st in done if st == ok)
        late = sum(1 for m in ms if m > 2000)
        print(f"{label:20} {good} of {len(done)} answered ({100 * good / max(1, len(done)):.1f}%), "
              f"p50 {pct(ms, 50):.1f} ms, max {max(ms):.1f} ms, {late} later than 2 s")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default=os.path.join(here, "..", "build", "tools", "tzv58-host"))
    sub = p.add_subparsers(dest="what", required=True)
    g = sub.add_parser("gap")
    g.add_argument("--seconds", type=int, default=300)
    g.add_argument("--load", choices=("clients", "page", "stalled-events"), default="clients")
    sp = sub.add_parser("spew")
    sp.add_argument("--seconds", type=int, default=30)
    nz = sub.add_parser("noise")
    nz.add_argument("--seconds", type=int, default=10)
    pg = sub.add_parser("page")
    pg.add_argument("--requests", type=int, default=1000)
    s = sub.add_parser("soak")
    s.add_argument("--cycles", type=int, default=100)
    s.add_argument("--requests", type=int, default=10000)
    d = sub.add_parser("shutdown")
    d.add_argument("--times", type=int, default=5)
    i = sub.add_parser("idle")
    i.add_argument("--held", type=int, default=200)
    i.add_argument("--scrapes", type=int, default=200)
    c = sub.add_parser("crowd")
    c.add_argument("--seconds", type=int, default=30)
    c.add_argument("--tcp", type=int, default=40)
    c.add_argument("--unix", type=int, default=24)
    c.add_argument("--every", type=float, default=0.5)
    r = sub.add_parser("relay")  # used by gap
    r.add_argument("plant_link")
    r.add_argument("host_link")
    r.add_argument("out")
    args = p.parse_args()
    {"relay": run_relay, "gap": run_gap, "page": run_page, "soak": run_soak, "shutdown": run_shutdown,
     "idle": run_idle, "crowd": run_crowd, "spew": run_spew, "noise": run_noise}[args.what](args)


if __name__ == "__main__":
    main()
