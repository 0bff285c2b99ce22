#!/usr/bin/env python3
"""Load test of `talvane-analytics serve` on loopback.

N concurrent clients, each on one keep-alive connection, post recorded engine
documents (the completion, error and start documents the engine writes, each
tagged with a unique pid or tid) as fast as the collector answers, for a fixed
time. Prints the records per second the collector acknowledged (answered 2xx,
which means committed) and the latency percentiles, for SQLite and for a
PostgreSQL server started in a temporary folder.

--kill-test: during the load, the collector is killed with SIGKILL and
restarted (ten times by default). Clients never resend a document whose answer
they did not get. At the end every acknowledged document must be in the
database exactly once with all its records, and no document at all may be
there twice.

    bench/analytics/load.py [--binary PATH] [--clients 16] [--seconds 10]
                            [--store sqlite|postgres|both] [--kill-test]
"""

import argparse
import asyncio
import glob
import multiprocessing
import os
import pwd
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

NODE_FIGURES = ('"bytes":"1451452","successBytes":"1451452","firstByteTime":"0.004","requestTime":"0.005",'
                '"successTime":"0.005","numRequests":"4","numErrors":"0","numConnectFailures":"0",'
                '"numHttpServerErrors":"0","numConnectionsReset":"0","numDataMismatches":"0",'
                '"numRequestTimeouts":"0"')


def element(tag, metrics, dimensions="{}"):
    return ('{"pid":"%s","pkgid":"tool","vid":"1.0.0","metrics":{%s},"dimensions":%s}'
            % (tag, metrics, dimensions))


# (endpoint, records, body maker): what the engine posts around one download,
# in the proportions it posts them.
DOCUMENTS = [
    ("transfers", 1, lambda tag: '{"pid":"acme","pkgid":"tool","vid":"1.0.0","tid":"%s","status":"active",'
                                 '"transferBytes":"0","duration":"0"}\n' % tag),
    ("events", 1, lambda tag: element(tag, '"numStarts":"1"') + "\n"),
    ("transfers", 1, lambda tag: '{"pid":"acme","pkgid":"tool","vid":"1.0.0","tid":"%s","status":"completed",'
                                 '"transferBytes":"2500028","duration":"3.25"}\n' % tag),
    ("events", 3, lambda tag: "[" + ",".join([
        element(tag, '"numCompletes":"1"'),
        element(tag, NODE_FIGURES, '{"cdn":"127.0.0.1:47810"}'),
        element(tag, NODE_FIGURES, '{"cdn":"127.0.0.1:47811"}')]) + "]\n"),
    ("events", 3, lambda tag: "[" + ",".join([
        element(tag, '"numRetryableErrors":"1"', '{"error":"error|2|6|libcurl error 7 (HTTP 0)"}'),
        element(tag, NODE_FIGURES, '{"cdn":"127.0.0.1:47810"}'),
        element(tag, NODE_FIGURES, '{"cdn":"127.0.0.1:47811"}')]) + "]\n"),
]


def find_binary():
    for candidate in ["build/tools/talvane-analytics/talvane-analytics"] + sorted(
            glob.glob("build*/tools/talvane-analytics/talvane-analytics")):
        path = os.path.join(ROOT, candidate)
        if os.access(path, os.X_OK):
            return path
    sys.exit("load.py: no talvane-analytics binary found; build it or give --binary")


# --- the collector -----------------------------------------------------------

class Collector:
    """One `serve` process; restartable on the same ports."""

    def __init__(self, binary, store_args, events_port=0, transfers_port=0):
        self.binary = binary
        self.store_args = store_args
        self.events_port = events_port
        self.transfers_port = transfers_port
        self.process = None

    def start(self):
        self.process = subprocess.Popen(
            [self.binary, "serve", "--events-listen", "127.0.0.1:%d" % self.events_port,
             "--transfers-listen", "127.0.0.1:%d" % self.transfers_port] + self.store_args,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        deadline = time.time() + 30
        urls = {}
        while time.time() < deadline:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("the collector ended before it was ready")
            name, _, value = line.strip().partition(" ")
            if name == "ready":
                break
            urls[name] = value
        else:
            raise RuntimeError("the collector was not ready within 30 s")
        self.events_port = int(urls["events"].rsplit(":", 1)[1])
        self.transfers_port = int(urls["transfers"].rsplit(":", 1)[1])

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=30)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.kill()
            return -1


class Postgres:
    """A cluster in a temporary folder on a Unix socket, as the collector's test starts one."""

    def __init__(self):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not bins:
            raise RuntimeError("PostgreSQL server binaries not installed (package postgresql)")
        self.bin = os.path.dirname(bins[-1])
        self.folder = tempfile.mkdtemp(prefix="talvane-pg-", dir="/tmp")
        self.user = None
        if os.geteuid() == 0:
            self.user = "postgres"
            entry = pwd.getpwnam("postgres")
            os.chown(self.folder, entry.pw_uid, entry.pw_gid)
        subprocess.run([self.bin + "/initdb", "-D", self.folder + "/data", "-A", "trust", "-U", "postgres",
                        "-E", "UTF8", "--locale", "C"], user=self.user, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.process = subprocess.Popen(
            [self.bin + "/postgres", "-D", self.folder + "/data", "-k", self.folder, "-p", "5432",
             "-c", "listen_addresses="], user=self.user, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.conninfo = "host=%s port=5432 user=postgres dbname=postgres" % self.folder
        for _ in range(300):
            if subprocess.run(["pg_isready", "-q", "-h", self.folder, "-p", "5432"]).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("PostgreSQL did not come up")

    def query(self, sql):
        out = subprocess.run(["psql", "-At", "-h", self.folder, "-p", "5432", "-U", "postgres", "-c", sql],
                             check=True, capture_output=True, text=True).stdout
        return [line.split("|") for line in out.splitlines() if line]

    def close(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=30)
        shutil.rmtree(self.folder, ignore_errors=True)


# --- the clients -------------------------------------------------------------

async def client(index, ports, stop_at, results):
    """Posts documents in turn on one kept-alive connection until stop_at."""
    reader = writer = None
    sequence = 0
    while time.time() < stop_at:
        kind, records, make = DOCUMENTS[sequence % len(DOCUMENTS)]
        tag = "c%d-%d" % (index, sequence)
        sequence += 1
        body = make(tag).encode()
        request = (b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                   b"User-Agent: Brennic Talvane Delivery TransferService 1.2.1\r\n"
                   b"Content-Length: %d\r\n\r\n" % len(body)) + body
        port = ports[kind]
        try:
            if writer is None or writer.port != port:
                if writer is not None:
                    writer.close()
                reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), 5)
                writer.port = port
            started = time.perf_counter()
            writer.write(request)
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
            status = int(head.split(b" ", 2)[1])
            length = 0
            close = False
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
                elif name.strip().lower() == b"connection" and value.strip().lower() == b"close":
                    close = True
            if length:
                await asyncio.wait_for(reader.readexactly(length), 30)
            latency = time.perf_counter() - started
            if 200 <= status < 300:
                results["acked"].append((kind, tag, records))
                results["latencies"].append(latency)
            else:
                results["refused"] += 1
            if close:
                writer.close()
                writer = None
        except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError, asyncio.LimitOverrunError, ValueError):
            # No answer: the document may or may not be stored, and is not sent again.
            results["unanswered"].append((kind, tag, records))
            if writer is not None:
                writer.close()
            writer = None
            await asyncio.sleep(0.02)
    if writer is not None:
        writer.close()


def worker(first, count, ports, stop_at, queue):
    results = {"acked": [], "latencies": [], "unanswered": [], "refused": 0}

    async def run():
        await asyncio.gather(*(client(first + i, ports, stop_at, results) for i in range(count)))

    asyncio.run(run())
    queue.put(results)


def run_load(ports, clients, seconds, processes, during=None):
    """Runs the clients in `processes` processes; `during` runs in this one meanwhile."""
    stop_at = time.time() + seconds
    queue = multiprocessing.Queue()
    workers = []
    share = [clients // processes + (1 if i < clients % processes else 0) for i in range(processes)]
    first = 0
    for count in share:
        process = multiprocessing.Process(target=worker, args=(first, count, ports, stop_at, queue))
        process.start()
        workers.append(process)
        first += count
    started = time.time()
    if during:
        during(stop_at)
    merged = {"acked": [], "latencies": [], "unanswered": [], "refused": 0}
    for _ in workers:
        part = queue.get(timeout=seconds + 120)
        for key in ("acked", "latencies", "unanswered"):
            merged[key].extend(part[key])
        merged["refused"] += part["refused"]
    for process in workers:
        process.join(timeout=30)
    merged["elapsed"] = max(time.time() - started, 1e-9)
    return merged


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def summary(name, results):
    records = sum(r for _, _, r in results["acked"])
    lat = results["latencies"]
    print("%-9s %8d posts %9d records acknowledged in %.1f s: %7.0f records/s, %6.0f posts/s; latency p50 %.1f ms, "
          "p99 %.1f ms, max %.1f ms; %d refused, %d unanswered"
          % (name, len(results["acked"]), records, results["elapsed"], records / results["elapsed"],
             len(results["acked"]) / results["elapsed"], 1000 * percentile(lat, 0.5), 1000 * percentile(lat, 0.99),
             1000 * max(lat or [float("nan")]), results["refused"], len(results["unanswered"])))
    return records / results["elapsed"]


# --- checking the database after the kill test -------------------------------

def stored_counts(query):
    """{(kind, tag): rows} of every document in the database."""
    counts = {}
    for tag, rows in query("SELECT tid, count(*) FROM transfer_records GROUP BY tid"):
        counts[("transfers", tag)] = int(rows)
    for tag, rows in query("SELECT pid, count(*) FROM event_records GROUP BY pid"):
        counts[("events", tag)] = int(rows)
    return counts


def check_exactly_once(results, query):
    counts = stored_counts(query)
    missing = [(k, t) for k, t, r in results["acked"] if counts.get((k, t), 0) != r]
    twice = [(k, t) for k, t, r in results["acked"] + results["unanswered"] if counts.get((k, t), 0) > r]
    unanswered_stored = sum(1 for k, t, r in results["unanswered"] if counts.get((k, t), 0) == r)
    print("check: %d acknowledged documents, %d of them not stored exactly once; %d stored more than once; "
          "%d of %d unanswered documents were committed before the kill"
          % (len(results["acked"]), len(missing), len(twice), unanswered_stored, len(results["unanswered"])))
    for kind, tag in (missing + twice)[:10]:
        print("  %s %s: %d rows" % (kind, tag, counts.get((kind, tag), 0)))
    return not missing and not twice


# --- main ----------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", default=None)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--processes", type=int, default=2, help="client processes (default 2)")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--store", choices=["sqlite", "postgres", "both"], default="both")
    parser.add_argument("--sqlite-sync", choices=["full", "normal"], default="full")
    parser.add_argument("--kill-test", action="store_true")
    parser.add_argument("--kills", type=int, default=10)
    args = parser.parse_args()
    binary = args.binary or find_binary()
    stores = ["sqlite", "postgres"] if args.store == "both" else [args.store]
    print("talvane-analytics load test: %d clients in %d processes, %.0f s, %d cores, binary %s"
          % (args.clients, args.processes, args.seconds, os.cpu_count(), os.path.relpath(binary, ROOT)))
    ok = True
    for store in stores:
        folder = tempfile.mkdtemp(prefix="talvane-load-")
        postgres = None
        try:
            if store == "sqlite":
                database = os.path.join(folder, "analytics.sqlite")
                store_args = ["--database", database, "--sqlite-sync", args.sqlite_sync]

                def query(sql, database=database):
                    with sqlite3.connect(database) as db:
                        return [[str(v) for v in row] for row in db.execute(sql)]
            else:
                postgres = Postgres()
                store_args = ["--postgres", postgres.conninfo]
                query = postgres.query
            collector = Collector(binary, store_args)
            collector.start()
            ports = {"events": collector.events_port, "transfers": collector.transfers_port}
            if not args.kill_test:
                results = run_load(ports, args.clients, args.seconds, args.processes)
                status = collector.stop()
                summary(store, results)
                rows = sum(int(query("SELECT count(*) FROM %s" % t)[0][0])
                           for t in ("event_records", "transfer_records"))
                acked = sum(r for _, _, r in results["acked"])
                print("          %d records in the database, %d acknowledged; collector exit status %d"
                      % (rows, acked, status))
                ok = ok and rows == acked and status == 0
                continue

            kills = []

            def killer(stop_at):
                interval = (stop_at - time.time()) / (args.kills + 1)
                for _ in range(args.kills):
                    time.sleep(interval * 0.8)
                    collector.kill()
                    down = time.time()
                    collector.start()
                    kills.append(time.time() - down)

            results = run_load(ports, args.clients, args.seconds, args.processes, during=killer)
            collector.stop()
            summary(store + "+kill", results)
            print("          %d SIGKILLs, restarted each in %.0f ms on average"
                  % (len(kills), 1000 * sum(kills) / max(1, len(kills))))
            ok = check_exactly_once(results, query) and len(kills) == args.kills and ok
        finally:
            if postgres:
                postgres.close()
            shutil.rmtree(folder, ignore_errors=True)
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
