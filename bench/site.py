#!/usr/bin/env python3
"""What a site costs: one poll --site for 1, 8 and 64 simulated power systems.

    bench/site.py [--sizes 1,8,64] [--per-port 8] [--seconds 60] [--warm 10]

For each size, the power systems are put on ports of up to --per-port
addresses each (1: one port; 8: one port; 64: eight ports of eight). Each
port is a `tzv58-host plant --link ... --site` serving its addresses, reached
through the relay of bench/services.py, which paces the replies at 9600 baud
(a character every 1.04 ms), so that the rounds come at a real line's pace.
One `tzv58-host poll --site` polls them all. After --warm seconds, the
host's CPU time (user and system, from /proc) is counted over --seconds,
with its resident memory (VmRSS) at the end and its peak (VmHWM); the
plants and relays are other processes and count for nothing. Every child is
stopped by its pid.
"""

import argparse
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import services  # noqa: E402  (the bench's helpers: Child, the relay, cpu_s)


def status_kb(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def layout(n, per_port):
    ports = max(1, -(-n // per_port))
    base, extra = divmod(n, ports)
    return [base + (1 if p < extra else 0) for p in range(ports)]


def run_size(host, folder, n, per_port, warm, seconds):
    ports = layout(n, per_port)
    sim, site, children = [], [], []
    names = []
    try:
        for p, count in enumerate(ports):
            plant_link = os.path.join(folder, f"plant{p}")
            line = os.path.join(folder, f"line{p}")
            for a in range(1, count + 1):
                name = f"ps{len(names) + 1}"
                names.append(name)
                sim.append(f'{{"name": "{name}", "port": "{plant_link}", "address": {a}}}')
                site.append(f'{{"name": "{name}", "port": "{line}", "address": {a}}}')
        sim_file, site_file = os.path.join(folder, "sim.json"), os.path.join(folder, "site.json")
        with open(sim_file, "w") as f:
            f.write('{"power_systems": [' + ",\n".join(sim) + "]}\n")
        with open(site_file, "w") as f:
            f.write('{"power_systems": [' + ",\n".join(site) + "]}\n")
        for p in range(len(ports)):
            plant_link = os.path.join(folder, f"plant{p}")
            plant = services.Child([host, "plant", "--link", plant_link, "--site", sim_file], f"plant {p}")
            children.append(plant)
            plant.wait_line("out", "ready ")
            relay = services.Child([sys.executable, services.__file__, "relay", plant_link,
                                    os.path.join(folder, f"line{p}"), os.path.join(folder, f"gaps{p}")], f"relay {p}")
            children.append(relay)
            relay.wait_line("out", "ready")
        poll = services.Child([host, "poll", "--site", site_file, "--events", "/dev/null"], f"poll of {n}")
        children.append(poll)
        complete = re.compile(r"^(ps\d+): == round \d+: 2")
        time.sleep(warm)
        pid = poll.p.pid

        def rounds():
            with poll.cv:
                return sum(1 for l in poll.lines["out"] if complete.match(l))

        cpu0, r0, t0 = services.cpu_s(pid), rounds(), time.monotonic()
        time.sleep(seconds)
        cpu1, r1, t1 = services.cpu_s(pid), rounds(), time.monotonic()
        rss, hwm, task = status_kb(pid, "VmRSS"), status_kb(pid, "VmHWM"), threads(pid)
        wall = t1 - t0
        return {
            "n": n, "ports": len(ports), "threads": task,
            "cpu_pct": 100 * (cpu1 - cpu0) / wall, "rounds_per_min": (r1 - r0) / n / wall * 60,
            "rss_kb": rss, "hwm_kb": hwm,
        }
    finally:
        for c in reversed(children):
            c.stop()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default=os.path.join(os.path.dirname(__file__), "..", "build", "tools", "tzv58-host"))
    p.add_argument("--sizes", default="1,8,64")
    p.add_argument("--per-port", type=int, default=8)
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--warm", type=int, default=10)
    args = p.parse_args()
    host = os.path.abspath(args.host)
    rows = []
    for n in (int(s) for s in args.sizes.split(",")):
        folder = tempfile.mkdtemp(prefix="tzv58-site-")
        try:
            rows.append(run_size(host, folder, n, args.per_port, args.warm, args.seconds))
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        r = rows[-1]
        print(f"{r['n']} power systems on {r['ports']} port(s): {r['cpu_pct']:.2f} % of a core, "
              f"{r['rss_kb']} KB resident, {r['rounds_per_min']:.1f} rounds a minute each", flush=True)
    base = rows[0]
    print()
    print("| power systems | ports | threads | rounds a minute, each | CPU, % of a core | per power system "
          "| resident | per power system beyond the first | peak |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        beyond = (r["rss_kb"] - base["rss_kb"]) / (r["n"] - base["n"]) if r["n"] > base["n"] else float("nan")
        print(f"| {r['n']} | {r['ports']} | {r['threads']} | {r['rounds_per_min']:.1f} | {r['cpu_pct']:.2f} % "
              f"| {r['cpu_pct'] / r['n']:.3f} % | {r['rss_kb']:,} KB | "
              f"{'-' if beyond != beyond else f'{beyond:,.0f} KB'} | {r['hwm_kb']:,} KB |")


if __name__ == "__main__":
    main()
