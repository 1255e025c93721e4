"""Measures httpd, nginx and lighttpd side by side on loopback with ab.

Started by bench/run.sh, which installs the packages and builds the binary.
Only the standard library is used. Every process this script starts is
stopped by its pid before it ends, also after a failure or Ctrl-C.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

CASES = {
    # name: (URL path, requests per run at scale 1)
    "small": ("/small.html", 6000),
    "mid": ("/mid.gif", 4000),
    "big": ("/big.gif", 1500),
    "cgi": ("/bench.cgi", 1500),
}
CONCURRENCY = (1, 8, 32)
SERVERS = ("httpd", "nginx", "lighttpd")

CGI_SOURCE = r"""
#include <stdio.h>
int main(void) {
    fputs("Content-type: text/html\r\n\r\n", stdout);
    fputs("<html><body><p>A small dynamic page from the benchmark's CGI "
          "program.</p></body></html>\n", stdout);
    return 0;
}
"""


def run_text(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        return (done.stdout + done.stderr).strip()
    except OSError as error:
        return str(error)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Fixture:
    """The site, the configurations and the logs, in one temporary directory on disk."""

    def __init__(self, keep):
        # On the disk rather than a tmpfs: the cost of a flushed log is part
        # of what is measured.
        self.root = tempfile.mkdtemp(prefix="httpd-bench-", dir="/var/tmp")
        self.keep = keep
        os.chmod(self.root, 0o755)
        self.site = self.path("site")
        self.logs = self.path("logs")
        os.makedirs(self.site)
        os.makedirs(self.logs)
        # The peers drop to www-data when started as root; they must read the
        # site and write their logs.
        os.chmod(self.site, 0o755)
        os.chmod(self.logs, 0o777)
        self.write_file("site/small.html", b"<html>" + b"s" * (1024 - 14) + b"</html>\n")
        pattern = bytes(range(256))
        self.write_file("site/mid.gif", b"GIF89a" + pattern * 256)
        self.write_file("site/big.gif", b"GIF89a" + pattern * 4096)
        self.build_cgi()

    def path(self, name):
        return os.path.join(self.root, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as file:
            file.write(data)
        os.chmod(self.path(name), 0o644)

    def build_cgi(self):
        source = self.path("bench_cgi.c")
        with open(source, "w") as file:
            file.write(CGI_SOURCE)
        program = self.path("bench_cgi")
        subprocess.run(["cc", "-O2", "-o", program, source], check=True)
        # httpd runs /bench.cgi as WEBCGI/bench.exe; lighttpd runs the same
        # program as a .cgi file of its document root.
        os.makedirs(self.path("httpd/cgi-bin"))
        shutil.copy(program, self.path("httpd/cgi-bin/bench.exe"))
        shutil.copy(program, self.path("site/bench.cgi"))
        for name in ("httpd/cgi-bin/bench.exe", "site/bench.cgi"):
            os.chmod(self.path(name), 0o755)

    def remove(self):
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)


class Server:
    def __init__(self, name, command, cwd, port):
        self.name = name
        self.command = command
        self.cwd = cwd
        self.port = port
        self.process = None

    def start(self):
        self.process = subprocess.Popen(
            self.command, cwd=self.cwd, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} ended at start: "
                                   f"{self.process.stderr.read().decode(errors='replace')}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"{self.name} does not answer on port {self.port}")

    def pids(self):
        """The server's own process and its direct children (nginx workers, CGI programs)."""
        pid = self.process.pid
        found = [pid]
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as file:
                found += [int(child) for child in file.read().split()]
        except OSError:
            pass
        return found

    def cpu_ticks(self):
        """utime+stime of the server and its children, reaped children included."""
        total = 0
        for pid in self.pids():
            try:
                with open(f"/proc/{pid}/stat") as file:
                    fields = file.read().rsplit(")", 1)[1].split()
            except OSError:
                continue  # a CGI program that ended between the two reads
            # Fields 14 to 17: utime, stime, cutime, cstime; the split drops the
            # first two, so they are at 11 to 14.
            total += sum(int(value) for value in fields[11:15])
        return total

    def peak_rss_kib(self):
        total = 0
        for pid in self.pids():
            try:
                with open(f"/proc/{pid}/status") as file:
                    for line in file:
                        if line.startswith("VmHWM:"):
                            total += int(line.split()[1])
            except OSError:
                continue
        return total

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        # nginx's master stops its workers on SIGQUIT/SIGTERM; httpd and lighttpd
        # end on SIGTERM. Only this process id is signalled.
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def make_httpd(fixture, binary):
    port = free_port()
    directory = fixture.path("httpd")
    with open(os.path.join(directory, "vostrel.ini"), "w") as file:
        file.write(f"""[WWW]
WEBROOT={fixture.site}
WEBCGI={directory}/cgi-bin
[SECURITY]
CGINAME=--
CGIDIR=OPEN
ACCEPTIP_INNER=127.0.0.1
ACCEPTIP_OUTER=127.0.0.1
[SERVER]
HTTPPORT={port}
CGITIMEOUT=10
MAXTHREAD=0
LOGNAME={fixture.logs}/httpd.log
LOGSWITCH=4000
""")
    return Server("httpd", [binary], directory, port)


def make_nginx(fixture):
    port = free_port()
    prefix = fixture.path("nginx")
    os.makedirs(prefix)
    user = "user www-data;" if os.geteuid() == 0 else ""
    config = os.path.join(prefix, "nginx.conf")
    with open(config, "w") as file:
        file.write(f"""{user}
daemon off;
master_process on;
worker_processes auto;
pid {prefix}/nginx.pid;
error_log {fixture.logs}/nginx-error.log;
events {{ worker_connections 1024; }}
http {{
    types {{ text/html html; image/gif gif; }}
    default_type application/octet-stream;
    access_log {fixture.logs}/nginx-access.log;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {fixture.site};
    }}
}}
""")
    command = ["nginx", "-p", prefix, "-c", config, "-e", f"{fixture.logs}/nginx-error.log"]
    return Server("nginx", command, prefix, port)


def make_lighttpd(fixture):
    port = free_port()
    directory = fixture.path("lighttpd")
    os.makedirs(directory)
    user = ('server.username = "www-data"\nserver.groupname = "www-data"'
            if os.geteuid() == 0 else "")
    config = os.path.join(directory, "lighttpd.conf")
    with open(config, "w") as file:
        file.write(f"""server.document-root = "{fixture.site}"
server.bind = "127.0.0.1"
server.port = {port}
server.modules = ("mod_accesslog", "mod_cgi")
server.errorlog = "{fixture.logs}/lighttpd-error.log"
accesslog.filename = "{fixture.logs}/lighttpd-access.log"
cgi.assign = (".cgi" => "")
mimetype.assign = (".html" => "text/html", ".gif" => "image/gif")
{user}
""")
    return Server("lighttpd", ["lighttpd", "-D", "-f", config], directory, port)


def run_ab(port, path, concurrency, requests):
    command = ["ab", "-r", "-s", "30", "-c", str(concurrency), "-n", str(requests),
               f"http://127.0.0.1:{port}{path}"]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    text = done.stdout

    def number(pattern, default=None):
        match = re.search(pattern, text, re.MULTILINE)
        return float(match.group(1)) if match else default

    return {
        "rps": number(r"^Requests per second:\s+([\d.]+)", 0.0),
        "complete": int(number(r"^Complete requests:\s+(\d+)", 0)),
        "failed": int(number(r"^Failed requests:\s+(\d+)", requests)),
        "seconds": number(r"^Time taken for tests:\s+([\d.]+)", 0.0),
        "p99_ms": number(r"^\s+99%\s+(\d+)", 0.0),
        "max_ms": number(r"^\s+100%\s+(\d+)", 0.0),
        "exit": done.returncode,
    }


def listen_counters():
    """TcpExt ListenOverflows and ListenDrops of the whole machine."""
    with open("/proc/net/netstat") as file:
        lines = [line.split() for line in file if line.startswith("TcpExt:")]
    values = dict(zip(lines[0][1:], (int(value) for value in lines[1][1:])))
    return values.get("ListenOverflows", 0), values.get("ListenDrops", 0)


def measure(server, path, concurrency, requests):
    ticks_before = server.cpu_ticks()
    result = run_ab(server.port, path, concurrency, requests)
    ticks = server.cpu_ticks() - ticks_before
    result["cpu_us"] = ticks * 1e6 / CLOCK_TICKS / max(result["complete"], 1)
    return result


def median(values):
    return statistics.median(values) if values else 0.0


def bench(servers, cases, concurrencies, reps, scale, progress):
    runs = []  # one row per ab run
    peaks = {}  # (server, concurrency) -> VmHWM sum in KiB after that level
    for name, (path, count) in cases.items():  # warm every cache once
        for server in servers:
            if name == "cgi" and server.name == "nginx":
                continue
            run_ab(server.port, path, 4, max(50, int(count * scale / 10)))
    for concurrency in concurrencies:
        for rep in range(reps):
            for case_index, (name, (path, count)) in enumerate(cases.items()):
                # Alternate the order so that no server always runs first.
                shift = (rep + case_index) % len(servers)
                order = servers[shift:] + servers[:shift]
                requests = max(100, int(count * scale))
                for server in order:
                    if name == "cgi" and server.name == "nginx":
                        continue  # nginx has no CGI of its own
                    result = measure(server, path, concurrency, requests)
                    result.update(server=server.name, case=name, c=concurrency, rep=rep,
                                  n=requests)
                    runs.append(result)
                    progress(f"c={concurrency:<3} rep {rep} {name:<6} {server.name:<9}"
                             f" {result['rps']:9.1f} req/s  p99 {result['p99_ms']:5.0f} ms"
                             f"  cpu {result['cpu_us']:7.1f} us  failed {result['failed']}")
        for server in servers:
            peaks[f"{server.name} c={concurrency}"] = server.peak_rss_kib()
    return runs, peaks


def tail_check(servers, reps, progress):
    rows = []
    for rep in range(reps):
        shift = rep % len(servers)
        for server in servers[shift:] + servers[:shift]:
            overflows, drops = listen_counters()
            result = run_ab(server.port, "/small.html", 128, 10000)
            after_overflows, after_drops = listen_counters()
            result.update(server=server.name, rep=rep,
                          listen_overflows=after_overflows - overflows,
                          listen_drops=after_drops - drops)
            rows.append(result)
            progress(f"tail rep {rep} {server.name:<9} {result['complete']} complete in "
                     f"{result['seconds']:.2f} s, max {result['max_ms']:.0f} ms, "
                     f"drops {result['listen_drops']}")
    return rows


def summarize(runs):
    """Medians per (case, c, server), with each run's ratio to the best of its repetition."""
    best = {}
    for run in runs:
        key = (run["case"], run["c"], run["rep"])
        best[key] = max(best.get(key, 0.0), run["rps"])
    table = {}
    for run in runs:
        ratio = run["rps"] / best[(run["case"], run["c"], run["rep"])] if run["rps"] else 0.0
        row = table.setdefault((run["case"], run["c"], run["server"]),
                               {"rps": [], "p99": [], "cpu": [], "ratio": [], "failed": 0})
        row["rps"].append(run["rps"])
        row["p99"].append(run["p99_ms"])
        row["cpu"].append(run["cpu_us"])
        row["ratio"].append(ratio)
        row["failed"] += run["failed"] + run["n"] - run["complete"]
    return {key: {"rps": median(row["rps"]), "p99": median(row["p99"]),
                  "cpu": median(row["cpu"]), "ratio": median(row["ratio"]),
                  "failed": row["failed"], "reps": len(row["rps"])}
            for key, row in table.items()}


def targets(summary, peaks, tail):
    def get(case, c, server, field):
        row = summary.get((case, c, server))
        return row[field] if row else None

    def ratio(case, c, peer):
        ours, theirs = get(case, c, "httpd", "rps"), get(case, c, peer, "rps")
        return ours / theirs if ours is not None and theirs else None

    checks = []

    def check(label, value, ok, detail):
        checks.append((label, "met" if ok else ("not met" if value is not None else "not run"),
                       detail))

    for c in (8, 32):
        for peer in ("lighttpd", "nginx"):
            r = ratio("small", c, peer)
            check(f"small.html c={c}: req/s >= 0.95 x {peer}", r, r is not None and r >= 0.95,
                  f"ratio {r:.3f}" if r is not None else "")
        ours, theirs = get("small", c, "httpd", "cpu"), get("small", c, "lighttpd", "cpu")
        ok = ours is not None and theirs is not None and ours <= theirs
        check(f"small.html c={c}: CPU/request <= lighttpd", ours, ok,
              f"{ours:.1f} us vs {theirs:.1f} us" if ours is not None and theirs else "")
    r = ratio("big", 8, "nginx")
    check("big.gif c=8: req/s >= 0.95 x nginx", r, r is not None and r >= 0.95,
          f"ratio {r:.3f}" if r is not None else "")
    r = ratio("cgi", 8, "lighttpd")
    check("CGI c=8: req/s >= 0.95 x lighttpd mod_cgi", r, r is not None and r >= 0.95,
          f"ratio {r:.3f}" if r is not None else "")
    ours, theirs = peaks.get("httpd c=32"), peaks.get("nginx c=32")
    check("peak RSS at c=32 <= nginx (master + workers)", ours,
          ours is not None and theirs is not None and ours <= theirs,
          f"{ours} KiB vs {theirs} KiB" if ours is not None and theirs else "")
    if tail:
        def tail_median(server, field):
            values = [row[field] for row in tail if row["server"] == server]
            return median(values) if values else None
        ours, theirs = tail_median("httpd", "seconds"), tail_median("lighttpd", "seconds")
        complete = all(row["complete"] == 10000 and row["failed"] == 0
                       for row in tail if row["server"] == "httpd")
        ok = ours is not None and theirs is not None and complete and ours <= theirs / 0.95
        check("tail: 10,000 requests at c=128 all complete, no slower than lighttpd", ours, ok,
              f"{ours:.2f} s vs {theirs:.2f} s, all complete: {complete}"
              if ours is not None and theirs else "")
    return checks


SERVER_COLOURS = {"httpd": "#d62728", "nginx": "#2ca02c", "lighttpd": "#1f77b4"}


def write_svg(path, summary, cases, concurrencies, servers):
    """Two rows of small panels: requests/s and server CPU per request, per case."""
    panel_w, panel_h, margin_l, margin_t, gap = 230, 170, 60, 40, 30
    width = margin_l + len(cases) * (panel_w + gap)
    height = margin_t + 2 * (panel_h + 60) + 30
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="11">',
           f'<rect width="{width}" height="{height}" fill="white"/>']
    metrics = (("rps", "requests/s (median)"), ("cpu", "server CPU per request, us"))
    for row_index, (field, label) in enumerate(metrics):
        top = margin_t + row_index * (panel_h + 60)
        out.append(f'<text x="10" y="{top - 12}" font-size="13" font-weight="bold">'
                   f'{label}</text>')
        for case_index, case in enumerate(cases):
            left = margin_l + case_index * (panel_w + gap)
            values = [summary.get((case, c, s), {}).get(field, 0.0)
                      for c in concurrencies for s in servers]
            top_value = max(values + [1e-9]) * 1.1
            out.append(f'<rect x="{left}" y="{top}" width="{panel_w}" height="{panel_h}" '
                       f'fill="none" stroke="#999"/>')
            out.append(f'<text x="{left + panel_w / 2}" y="{top + 14}" text-anchor="middle">'
                       f'{case}</text>')
            out.append(f'<text x="{left - 4}" y="{top + 10}" text-anchor="end">'
                       f'{top_value:.0f}</text>')
            out.append(f'<text x="{left - 4}" y="{top + panel_h}" text-anchor="end">0</text>')
            group_w = panel_w / len(concurrencies)
            bar_w = (group_w - 12) / len(servers)
            for c_index, c in enumerate(concurrencies):
                group_left = left + c_index * group_w + 6
                out.append(f'<text x="{group_left + (group_w - 12) / 2}" '
                           f'y="{top + panel_h + 14}" text-anchor="middle">c={c}</text>')
                for s_index, server in enumerate(servers):
                    value = summary.get((case, c, server), {}).get(field)
                    if value is None:
                        continue
                    bar_h = (panel_h - 20) * value / top_value
                    out.append(f'<rect x="{group_left + s_index * bar_w:.1f}" '
                               f'y="{top + panel_h - bar_h:.1f}" width="{bar_w - 1:.1f}" '
                               f'height="{bar_h:.1f}" fill="{SERVER_COLOURS[server]}">'
                               f'<title>{server} {case} c={c}: {value:.1f}</title></rect>')
    legend_y = height - 14
    for index, server in enumerate(servers):
        x = margin_l + index * 110
        out.append(f'<rect x="{x}" y="{legend_y - 9}" width="10" height="10" '
                   f'fill="{SERVER_COLOURS[server]}"/>')
        out.append(f'<text x="{x + 14}" y="{legend_y}">{server}</text>')
    out.append("</svg>")
    with open(path, "w") as file:
        file.write("\n".join(out) + "\n")


REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def versions(httpd):
    revision = run_text(["git", "-C", os.path.dirname(os.path.abspath(__file__)),
                         "describe", "--always", "--dirty"])
    cpu = ""
    with open("/proc/cpuinfo") as file:
        for line in file:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return {
        # Named relative to the checkout, so the results hold no path of the
        # machine they were made on.
        "httpd": f"{os.path.relpath(httpd, REPO_ROOT)} (git {revision})",
        "nginx": run_text(["nginx", "-v"]),
        "lighttpd": run_text(["lighttpd", "-v"]),
        "ab": run_text(["ab", "-V"]).splitlines()[0],
        "kernel": platform.release(),
        "cpu": f"{cpu}, {os.cpu_count()} cores",
    }


def write_results(out_dir, args, info, summary, peaks, tail, checks, cases, concurrencies,
                  servers):
    lines = [
        "# Benchmark results",
        "",
        f"Run on {info['date']} by `sh bench/run.sh {' '.join(args.passed)}`".rstrip() + ".",
        "",
        "| | version |", "|---|---|",
    ]
    for key in ("httpd", "nginx", "lighttpd", "ab", "kernel", "cpu"):
        lines.append(f"| {key} | {info[key]} |")
    lines += [
        "",
        f"Load: `ab -r -s 30 -c C -n N http://127.0.0.1:PORT/FILE`, no keep-alive, "
        f"{args.reps} alternated repetitions per cell, medians. N per run: "
        + ", ".join(f"{name} {max(100, int(count * args.scale))}"
                    for name, (_, count) in cases.items()) + ".",
        "httpd runs with MAXTHREAD 0, LOGSWITCH 4000 (no rotation during the run), "
        "standard output to /dev/null; every access record is on disk before its handler "
        "ends (the records of a few milliseconds share one flush). nginx "
        "(worker_processes auto) and lighttpd (mod_cgi for /bench.cgi) write their access "
        "logs without flushing. Client and servers share the two cores.",
        "",
        "CPU is utime+stime of the server and its children (nginx workers, CGI programs) "
        "from /proc, before and after each run, divided by the completed requests "
        f"(resolution {1000 // CLOCK_TICKS} ms per run). Ratio: each run's requests/s "
        "over the best server of the same repetition, median.",
        "",
        "![requests/s and CPU per request](results.svg)",
        "",
        "| case | c | server | req/s | ratio to best | p99 ms | CPU us/req | failed |",
        "|---|---:|---|---:|---:|---:|---:|---:|",
    ]
    for case in cases:
        for c in concurrencies:
            for server in servers:
                row = summary.get((case, c, server))
                if not row:
                    continue
                lines.append(f"| {case} | {c} | {server} | {row['rps']:.0f} | "
                             f"{row['ratio']:.3f} | {row['p99']:.0f} | {row['cpu']:.1f} | "
                             f"{row['failed']} |")
    lines += ["", "Peak RSS (VmHWM, master and workers summed) after each concurrency level:",
              "", "| server | " + " | ".join(f"c={c}" for c in concurrencies) + " |",
              "|---|" + "---:|" * len(concurrencies)]
    for server in servers:
        lines.append(f"| {server} | " + " | ".join(
            f"{peaks.get(f'{server} c={c}', 0)} KiB" for c in concurrencies) + " |")
    if tail:
        lines += ["", "Tail check: `ab -r -c 128 -n 10000` of small.html; listen drops are the "
                  "machine's TcpExt ListenDrops/ListenOverflows during the run.", "",
                  "| server | rep | complete | failed | seconds | p99 ms | max ms | "
                  "ListenOverflows | ListenDrops |", "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for row in tail:
            lines.append(f"| {row['server']} | {row['rep']} | {row['complete']} | "
                         f"{row['failed']} | {row['seconds']:.2f} | {row['p99_ms']:.0f} | "
                         f"{row['max_ms']:.0f} | {row['listen_overflows']} | "
                         f"{row['listen_drops']} |")
    lines += ["", "Targets (ratios of medians; 0.95 or more counts as a tie):", "",
              "| target | result | figures |", "|---|---|---|"]
    for label, result, detail in checks:
        lines.append(f"| {label} | {result} | {detail} |")
    with open(os.path.join(out_dir, "RESULTS.md"), "w") as file:
        file.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--httpd", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", "5")))
    parser.add_argument("--scale", type=float,
                        default=float(os.environ.get("BENCH_SCALE", "1")))
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--concurrency", default=",".join(map(str, CONCURRENCY)))
    parser.add_argument("--servers", default=",".join(SERVERS))
    parser.add_argument("--tail-reps", type=int, default=3)
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    parser.add_argument("--no-write", action="store_true",
                        help="print only; leave RESULTS.md and the plot alone")
    args = parser.parse_args()
    args.passed = [arg for arg in sys.argv[1:]
                   if not arg.startswith("--httpd") and not arg.startswith("--out")
                   and arg not in (args.httpd, args.out)]
    cases = {name: CASES[name] for name in args.cases.split(",")}
    concurrencies = tuple(int(c) for c in args.concurrency.split(","))
    wanted = args.servers.split(",")

    def progress(text):
        print(text, flush=True)

    fixture = Fixture(args.keep)
    makers = {"httpd": lambda: make_httpd(fixture, args.httpd),
              "nginx": lambda: make_nginx(fixture),
              "lighttpd": lambda: make_lighttpd(fixture)}
    servers = [makers[name]() for name in SERVERS if name in wanted]

    def on_signal(number, _frame):
        raise KeyboardInterrupt(f"signal {number}")

    signal.signal(signal.SIGTERM, on_signal)
    info = versions(args.httpd)
    info["date"] = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    try:
        for server in servers:
            server.start()
            progress(f"{server.name} pid {server.process.pid} on port {server.port}")
        runs, peaks = bench(servers, cases, concurrencies, args.reps, args.scale, progress)
        tail_servers = [s for s in servers if s.name in ("httpd", "lighttpd", "nginx")]
        tail = tail_check(tail_servers, args.tail_reps, progress) if args.tail_reps else []
    finally:
        for server in servers:
            server.stop()
        fixture.remove()
    summary = summarize(runs)
    server_names = [s.name for s in servers]
    checks = targets(summary, peaks, tail)
    for label, result, detail in checks:
        progress(f"{result:>8}  {label}  {detail}")
    if args.no_write:
        return
    with open(os.path.join(args.out, "results.json"), "w") as file:
        json.dump({"info": info, "runs": runs, "peaks": peaks, "tail": tail}, file, indent=1)
    write_svg(os.path.join(args.out, "results.svg"), summary, list(cases), concurrencies,
              server_names)
    write_results(args.out, args, info, summary, peaks, tail, checks, cases, concurrencies,
                  server_names)
    progress(f"wrote {args.out}/RESULTS.md and {args.out}/results.svg")


if __name__ == "__main__":
    main()
