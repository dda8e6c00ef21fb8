#!/usr/bin/env python3
"""Benchmarks against real peers, side by side in one run.

Starts a Release build of the server and an nginx (2 workers, access log off,
sendfile on, WebDAV PUT on /dav/) on loopback ports with temporary
directories, runs each measurement ROUNDS times alternating ours and the
peer, prints a Markdown table (median and min-max per side, ratio ours/peer)
and writes it to bench/results/latest.md. Everything started here is stopped
at the end; every run is bounded in time and talks to 127.0.0.1 only.

Usage: bench/run.py BUILD_DIR   (make bench builds BUILD_DIR and calls this)
"""
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
import urllib.request

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "5"))
SECONDS = float(os.environ.get("BENCH_SECONDS", "5"))
CHUNK = 8 * 1024 * 1024
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        if proc.poll() is not None:
            raise RuntimeError("process exited early: %s" % proc.args)
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("port %d never opened" % port)


class Run:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.server_bin = os.path.join(self.build, "kelvra-sync-server")
        self.loadgen = os.path.join(self.build, "bench", "loadgen")
        self.floor = os.path.join(self.build, "bench", "sql_floor")
        self.tmp = tempfile.mkdtemp(prefix="kelvra-bench-")
        self.procs = []

    # ---- processes ------------------------------------------------------
    def start_server(self, name):
        data = os.path.join(self.tmp, name)
        port = free_port()
        proc = subprocess.Popen([self.server_bin, data, str(port)], stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        wait_port(port, proc)
        return port, proc

    def stop(self, proc):
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def start_nginx(self):
        prefix = os.path.join(self.tmp, "nginx")
        www = os.path.join(prefix, "www")
        for d in ("www/dav", "body", "logs"):
            os.makedirs(os.path.join(prefix, d), exist_ok=True)
            os.chmod(os.path.join(prefix, d), 0o777)
        os.chmod(prefix, 0o755)
        with open(os.path.join(www, "status.json"), "w") as f:
            f.write('{"chunkBytes":0,"chunks":0,"files":0,"ok":true,"serverTime":1796994232162,'
                    '"users":0,"version":"1.0.0","pad":"xx"}'[:120].ljust(120))
        port = free_port()
        user = "user root;" if os.geteuid() == 0 else ""
        conf = os.path.join(prefix, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""{user}
worker_processes 2;
daemon off;
pid {prefix}/nginx.pid;
error_log {prefix}/logs/error.log warn;
events {{ worker_connections 4096; }}
http {{
  access_log off;
  sendfile on;
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/body;
  fastcgi_temp_path {prefix}/body;
  uwsgi_temp_path {prefix}/body;
  scgi_temp_path {prefix}/body;
  client_max_body_size 16m;
  server {{
    listen 127.0.0.1:{port};
    root {www};
    location /dav/ {{ dav_methods PUT; create_full_put_path on; }}
  }}
}}
""")
        proc = subprocess.Popen(["nginx", "-p", prefix, "-c", conf], stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        wait_port(port, proc)
        return port, proc, www

    def forget_uploads(self, directory, keep=()):
        """Deletes the files a PUT run stored, on both sides alike. Otherwise
        every run grows the page cache into memory a virtual machine's host
        has not backed yet, and the side that runs later pays more for it
        (seen here: the same write costing 2 ms or 20 ms per 8 MiB)."""
        for name in os.listdir(directory):
            if name not in keep:
                os.remove(os.path.join(directory, name))

    def cleanup(self):
        for p in self.procs:
            self.stop(p)
        shutil.rmtree(self.tmp, ignore_errors=True)

    # ---- clients --------------------------------------------------------
    def http(self, port, method, target, body=b"", token=""):
        req = urllib.request.Request(f"http://127.0.0.1:{port}{target}", data=body or None,
                                     method=method)
        if token:
            req.add_header("x-auth-token", token)
        with urllib.request.urlopen(req, timeout=60) as r:
            return r.read()

    def register(self, port, account):
        body = json.dumps({"account": account, "password": "bench-password",
                           "device": "bench"}).encode()
        return json.loads(self.http(port, "POST", "/api/register.php", body))["token"]

    def wrk(self, url, script=None):
        args = ["wrk", "-t2", "-c64", f"-d{int(SECONDS)}s", "--latency", "-H", "Connection: close"]
        if script:
            args += ["-s", script]
        done = subprocess.run(args + [url], capture_output=True, text=True, timeout=SECONDS + 30)
        out = done.stdout
        found = re.search(r"Requests/sec:\s+([\d.]+)", out)
        if not found:
            raise RuntimeError("wrk failed: " + out + done.stderr)
        rps = float(found.group(1))
        p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
        scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
        errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
        socket_errors = re.search(r"Socket errors: (.*)", out)
        if errors or socket_errors:
            print("  wrk reported:", (errors.group(0) if errors else ""),
                  (socket_errors.group(0) if socket_errors else ""), file=sys.stderr)
        return {"rps": rps, "p99_ms": float(p99.group(1)) * scale}

    def load(self, *args):
        out = subprocess.run([self.loadgen] + [str(a) for a in args], capture_output=True,
                             text=True, timeout=600)
        result = json.loads(out.stdout.strip().splitlines()[-1])
        if result.get("errors"):
            print("  loadgen errors:", result["errors"], file=sys.stderr)
        return result


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def summary(values):
    return statistics.median(values), min(values), max(values)


def cell(values, unit, digits=1):
    med, lo, hi = summary(values)
    return f"{med:.{digits}f} {unit} ({lo:.{digits}f}–{hi:.{digits}f})"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    run = Run(sys.argv[1])
    rows = []
    try:
        ours, _ = run.start_server("ours")
        peer, _, www = run.start_nginx()
        token = run.register(ours, "bench")
        chunk = os.urandom(CHUNK)
        import hashlib
        sha = hashlib.sha256(chunk).hexdigest()
        run.http(ours, "PUT", f"/api/chunk.php?sha256={sha}&size={CHUNK}", chunk, token)
        with open(os.path.join(www, "chunk.bin"), "wb") as f:
            f.write(chunk)
        beat = os.path.join(run.tmp, "heartbeat.lua")
        with open(beat, "w") as f:
            f.write('wrk.method = "POST"\nwrk.body = \'{"device":"bench","env":"wrk"}\'\n'
                    f'wrk.headers["x-auth-token"] = "{token}"\n')

        m = {k: ([], []) for k in ("status", "status_p99", "beat", "beat_p99", "get", "put")}
        for _ in range(ROUNDS):
            a = run.wrk(f"http://127.0.0.1:{ours}/api/status.php")
            b = run.wrk(f"http://127.0.0.1:{peer}/status.json")
            m["status"][0].append(a["rps"]); m["status"][1].append(b["rps"])
            m["status_p99"][0].append(a["p99_ms"]); m["status_p99"][1].append(b["p99_ms"])
            a = run.wrk(f"http://127.0.0.1:{ours}/api/heartbeat.php", beat)
            b = run.wrk(f"http://127.0.0.1:{peer}/status.json")
            m["beat"][0].append(a["rps"]); m["beat"][1].append(b["rps"])
            m["beat_p99"][0].append(a["p99_ms"]); m["beat_p99"][1].append(b["p99_ms"])
            a = run.load("--port", ours, "--threads", 4, "--seconds", SECONDS, "--token", token,
                         "--target", f"/api/chunk.php?sha256={sha}")
            b = run.load("--port", peer, "--threads", 4, "--seconds", SECONDS,
                         "--target", "/chunk.bin")
            m["get"][0].append(a["mbps"]); m["get"][1].append(b["mbps"])
            a = run.load("--port", ours, "--threads", 4, "--requests", 32, "--method", "PUT",
                         "--distinct-bodies", CHUNK, "--token", token, "--expect", '"ok":true',
                         "--target", "/api/chunk.php?sha256={sha}&size={size}")
            run.forget_uploads(os.path.join(run.tmp, "ours", "chunks"), keep=(sha + ".bin",))
            b = run.load("--port", peer, "--threads", 4, "--requests", 32, "--method", "PUT",
                         "--distinct-bodies", CHUNK, "--target", "/dav/{i}-{sha}.bin")
            run.forget_uploads(os.path.join(www, "dav"))
            m["put"][0].append(a["mbps"]); m["put"][1].append(b["mbps"])

        rows.append(("1", "GET /api/status.php, 64 connections, one request each", "nginx 120-byte file",
                     cell(m["status"][0], "req/s", 0), cell(m["status"][1], "req/s", 0),
                     statistics.median(m["status"][0]) / statistics.median(m["status"][1]), "≥ 1.0"))
        rows.append(("1", "… p99 latency", "", cell(m["status_p99"][0], "ms", 2),
                     cell(m["status_p99"][1], "ms", 2), None, ""))
        rows.append(("2", "POST /api/heartbeat.php with a token, 64 connections", "nginx 120-byte file",
                     cell(m["beat"][0], "req/s", 0), cell(m["beat"][1], "req/s", 0),
                     statistics.median(m["beat"][0]) / statistics.median(m["beat"][1]), "≥ 0.8"))
        rows.append(("2", "… p99 latency", "", cell(m["beat_p99"][0], "ms", 2),
                     cell(m["beat_p99"][1], "ms", 2), None, ""))
        rows.append(("3", "GET 8 MiB chunk, 4 connections", "nginx, same file",
                     cell(m["get"][0], "MB/s", 0), cell(m["get"][1], "MB/s", 0),
                     statistics.median(m["get"][0]) / statistics.median(m["get"][1]), "≥ 1.0"))
        rows.append(("4", "PUT distinct 8 MiB chunks (verified, flushed), 4 connections",
                     "nginx WebDAV PUT (not flushed)", cell(m["put"][0], "MB/s", 0),
                     cell(m["put"][1], "MB/s", 0),
                     statistics.median(m["put"][0]) / statistics.median(m["put"][1]), "≥ 1.0"))

        # 5: one push of 10,000 new single-chunk changes, then a 5,000-entry manifest.
        push_ms, manifest_ms, floor_push, floor_manifest = [], [], [], []
        for r in range(ROUNDS):
            account_token = run.register(ours, f"push{r}")
            changes = [{"path": f"bench/file{i}.bin", "size": 4096, "mtime": 1,
                        "sha256": "%064x" % (i + 1),
                        "chunks": [{"sha256": "%064x" % (10**9 + r * 10**6 + i), "size": 4096}]}
                       for i in range(10000)]
            body = os.path.join(run.tmp, "push.json")
            with open(body, "w") as f:
                json.dump({"device": "bench", "changes": changes}, f)
            a = run.load("--port", ours, "--threads", 1, "--requests", 1, "--method", "POST",
                         "--token", account_token, "--body-file", body,
                         "--target", "/api/push.php", "--expect", '"accepted":10000')
            push_ms.append(a["p50_ms"])
            a = run.load("--port", ours, "--threads", 1, "--requests", 20, "--token", account_token,
                         "--target", "/api/manifest.php?since=0", "--expect", '"ok":true')
            manifest_ms.append(a["p50_ms"])
            out = subprocess.run([run.floor, "push-manifest", os.path.join(run.tmp, f"floor{r}"),
                                  "10000"], capture_output=True, text=True, timeout=600).stdout
            f = json.loads(out)
            floor_push.append(f["push_ms"]); floor_manifest.append(f["manifest_ms"])
        rows.append(("5", "POST /api/push.php, 10,000 new single-chunk changes",
                     "same statements on SQLite", cell(push_ms, "ms", 0), cell(floor_push, "ms", 0),
                     statistics.median(push_ms) / statistics.median(floor_push), "≤ 2.0"))
        rows.append(("5", "GET /api/manifest.php, 5,000 entries (p50 of 20)", "same statements on SQLite",
                     cell(manifest_ms, "ms", 1), cell(floor_manifest, "ms", 1),
                     statistics.median(manifest_ms) / statistics.median(floor_manifest), "≤ 2.0"))

        # 6: status document over a large database.
        big = os.path.join(run.tmp, "big")
        subprocess.run([run.floor, "populate", big, "1000000", "1000000"], check=True, timeout=600)
        big_port, big_proc = run.start_server("big")
        p50 = []
        for _ in range(ROUNDS):
            p50.append(run.load("--port", big_port, "--threads", 1, "--requests", 500,
                                "--target", "/api/status.php")["p50_ms"])
        run.stop(big_proc)
        rows.append(("6", "GET /api/status.php, 1,000,000 files and chunks, p50", "—",
                     cell(p50, "ms", 3), "—", None, "≤ 2 ms"))

        # 7: resident memory of a fresh server.
        mem_port, mem_proc = run.start_server("memory")
        mem_token = run.register(mem_port, "memory")
        time.sleep(0.5)
        idle = rss_kib(mem_proc.pid)
        holder = subprocess.Popen([run.loadgen, "--port", str(mem_port), "--idle", "256",
                                   "--hold-seconds", "3"], stdout=subprocess.PIPE, text=True)
        holder.stdout.readline()
        time.sleep(0.5)
        with_idle = rss_kib(mem_proc.pid)
        holder.wait(10)
        run.load("--port", mem_port, "--threads", 16, "--requests", 16, "--method", "PUT",
                 "--distinct-bodies", CHUNK, "--token", mem_token, "--expect", '"ok":true',
                 "--target", "/api/chunk.php?sha256={sha}&size={size}")
        peak = rss_kib(mem_proc.pid, "VmHWM")
        run.stop(mem_proc)
        rows.append(("7", "resident memory: idle / 256 idle connections / peak with 16 "
                     "concurrent 8 MiB uploads", "—",
                     f"{idle / 1024:.1f} / {with_idle / 1024:.1f} / {peak / 1024:.1f} MiB", "—",
                     None, "report"))
    finally:
        run.cleanup()

    lines = ["| # | measurement | peer | ours: median (min–max) | peer: median (min–max) | "
             "ours/peer | goal |", "|---|---|---|---|---|---|---|"]
    for n, what, peer_name, a, b, ratio, goal in rows:
        lines.append(f"| {n} | {what} | {peer_name} | {a} | {b} | "
                     f"{'' if ratio is None else f'{ratio:.2f}'} | {goal} |")
    info = (f"{ROUNDS} rounds, {SECONDS:g} s per load run, {os.cpu_count()} cores, "
            f"{platform.platform()}, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    text = "\n".join(lines) + f"\n\n{info}. Command: `make bench`.\n"
    print(text)
    os.makedirs(os.path.join(ROOT, "bench", "results"), exist_ok=True)
    with open(os.path.join(ROOT, "bench", "results", "latest.md"), "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
