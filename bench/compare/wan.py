#!/usr/bin/env python3
"""talvane-get, aria2c and curl over emulated wide-area links: three nginx
nodes, each in a network namespace of its own behind a link of its own rate,
delay and loss (talvane-link-emulator, bench/wan/), and the client in a
fourth namespace with talvane-cdn as the manifest host on its loopback.

Quick check of one engine build (root, no report written; prints the time and
the bytes each node sent):

    python3 bench/compare/wan.py --cases three-nodes --tools talvane-get --reps 1 \\
        --talvane-get /path/to/talvane-get [--talvane-args "--log-level 0"]

The full run with docs/benchmarks-wan.md and its charts: bash bench/compare/run-wan.sh
(installs, builds, tests the harness, then runs this with --report).

Cases: three-nodes (node list A, B, C), fast-last (C, B, A), fast-degrades
(A, B, C; A falls to 8 Mbit/s once half the dataset's bytes have reached the
client). Links: A 200 Mbit/s 20 ms, B 40 Mbit/s 60 ms, C 8 Mbit/s 150 ms with
1 % loss each way (round-trip times). Options: --help.
"""

import argparse
import datetime
import fcntl
import hashlib
import json
import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402
import dataset as ds  # noqa: E402
import measure  # noqa: E402
import servers  # noqa: E402
import tools  # noqa: E402
import wan_report  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = "wan-1m"
NODE_PORT = 80
CLIENT_ADDRESS = "10.77.0.1"
DEVICE = "wan0"
NAMESPACE_PREFIX = "tvw"
CHUNK = ds.MIB
TOOL_NAMES = ["talvane-get", "aria2c", "curl"]

# aria2c's settings over the three mirrors: one connection per node or more,
# and its two ways of choosing among mirrors. The report keeps the best median.
ARIA2_SETTINGS = [
    ("j5-x1-s3 feedback", ["-j5", "-x1", "-s3", "--uri-selector=feedback"]),
    ("j5-x1-s3 adaptive", ["-j5", "-x1", "-s3", "--uri-selector=adaptive"]),
    ("j5-x2-s6 feedback", ["-j5", "-x2", "-s6", "--uri-selector=feedback"]),
    ("j5-x2-s6 adaptive", ["-j5", "-x2", "-s6", "--uri-selector=adaptive"]),
    ("j8-x4-s12 adaptive", ["-j8", "-x4", "-s12", "--uri-selector=adaptive"]),
]
CURL_PARALLEL = tools.CURL_PARALLEL_MAX


def log(message):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), message), flush=True)


def wan_dataset(seed):
    """One large file and fifty of 64 KiB to 2 MiB, about 228 MiB: the large
    file shows how a tool shares one transfer among nodes, the small ones how
    it keeps slow nodes busy without waiting on them."""
    sizes = ds.spread_sizes(50, 64 * ds.KIB, 2 * ds.MIB, seed + 1)
    files = [("big.bin", 200 * ds.MIB)] + [("small/f%02d.bin" % i, size) for i, size in enumerate(sizes)]
    return ds.Dataset("wan", sorted(files), seed)


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, **kwargs)


def netns_names():
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return [line.split()[0] for line in listing.splitlines() if line.strip()]


def remove_namespace(name):
    """Stops whatever still runs in the namespace, then removes it."""
    pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    subprocess.run(["ip", "netns", "del", name], capture_output=True)


def remove_stale_namespaces():
    """Namespaces left by a harness that was killed outright (SIGKILL gives no
    chance to clean up); only those whose harness process is gone."""
    pattern = re.compile(r"^%s(\d+)-" % NAMESPACE_PREFIX)
    for name in netns_names():
        found = pattern.match(name)
        if found and not os.path.exists("/proc/%s" % found.group(1)):
            log("removing namespace %s left by an earlier run" % name)
            remove_namespace(name)


class Network:
    """The namespaces, the emulator between them, nginx on every node and
    talvane-cdn on the client's loopback; stop() removes all of it, including
    what a failed start left."""

    def __init__(self, emulator, logs, seed, links=None):
        self.emulator_binary = emulator
        self.logs = logs
        self.seed = seed
        self.links = links or wan_report.LINKS
        self.prefix = "%s%d-" % (NAMESPACE_PREFIX, os.getpid())
        self.client_ns = self.prefix + "client"
        self.node_ns = {name: self.prefix + name.lower() for name in self.links}
        self.namespaces = []
        self.emulator = None
        self.emulator_err = None
        self.nginx = []
        self.cdn = None

    @staticmethod
    def ns_prefix(name):
        return ["ip", "netns", "exec", name]

    def start_links(self):
        remove_stale_namespaces()
        for name in [self.client_ns] + list(self.node_ns.values()):
            run(["ip", "netns", "add", name])
            self.namespaces.append(name)
            run(["ip", "-n", name, "link", "set", "lo", "up"])
            # Router solicitations and the like would only be dropped.
            run(self.ns_prefix(name) + ["sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1"])
        # Ahead of the tools for the CPU: the links are the fixed part of the
        # test, and a busy downloader must not lengthen its own round trips.
        argv = ["nice", "-n", "-10", self.emulator_binary, "--client", "ns=%s,dev=%s" % (self.client_ns, DEVICE),
                "--control", "--seed", str(self.seed)]
        for name, link in self.links.items():
            argv += ["--link", "name=%s,ns=%s,dev=%s,addr=%s,mbit=%g,rtt_ms=%g,loss=%g" % (
                name, self.node_ns[name], DEVICE, link["addr"], link["mbit"], link["rtt_ms"], link["loss"])]
        os.makedirs(self.logs, exist_ok=True)
        self.emulator_err = open(os.path.join(self.logs, "emulator.err"), "w")
        self.emulator = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=self.emulator_err, text=True, bufsize=1, start_new_session=True)
        if self.read_emulator(20) != "ready":
            raise RuntimeError("the link emulator did not start; see %s" % self.emulator_err.name)
        self.configure(self.client_ns, CLIENT_ADDRESS, "10.77.1.0/24")
        for name, link in self.links.items():
            self.configure(self.node_ns[name], link["addr"], CLIENT_ADDRESS + "/32")

    def start_nodes(self, content, work):
        for name, link in self.links.items():
            folder = os.path.join(work, "nginx-" + name.lower())
            self.nginx.append(servers.Nginx(folder, content, [NODE_PORT], host=link["addr"],
                                            prefix=self.ns_prefix(self.node_ns[name]),
                                            wait=lambda port, process, ns=self.node_ns[name], a=link["addr"]:
                                            self.wait_http(ns, a, port, process)))
        # Through the emulator: the first request to every node also proves
        # the path the tools will take.
        for link in self.links.values():
            self.wait_http(self.client_ns, link["addr"], NODE_PORT, None)

    def start_cdn(self, binary, content):
        self.cdn = servers.TalvaneCdn(binary, content, os.path.join(self.logs, "talvane-cdn.err"),
                                      prefix=self.ns_prefix(self.client_ns))

    def configure(self, ns, address, peer):
        run(["ip", "-n", ns, "addr", "add", address + "/32", "dev", DEVICE])
        run(["ip", "-n", ns, "link", "set", DEVICE, "mtu", "1500", "up"])
        run(["ip", "-n", ns, "route", "add", peer, "dev", DEVICE])

    def wait_http(self, ns, address, port, process, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if process is not None and process.poll() is not None:
                raise RuntimeError("nginx in %s exited with status %s" % (ns, process.returncode))
            probe = subprocess.run(self.ns_prefix(ns) + ["curl", "-s", "-o", "/dev/null", "--max-time", "2",
                                                         "http://%s:%d/" % (address, port)], capture_output=True)
            if probe.returncode == 0:
                return
            time.sleep(0.2)
        raise RuntimeError("no answer from http://%s:%d/ in %s after %d s" % (address, port, ns, timeout))

    def read_emulator(self, timeout):
        """One line from the emulator, or None when it does not answer in time."""
        selector = selectors.DefaultSelector()
        selector.register(self.emulator.stdout, selectors.EVENT_READ)
        try:
            if not selector.select(timeout):
                return None
        finally:
            selector.close()
        line = self.emulator.stdout.readline()
        return line.strip() if line else None

    def command(self, text, timeout=10):
        if self.emulator.poll() is not None:
            raise RuntimeError("the link emulator has exited (status %s)" % self.emulator.returncode)
        self.emulator.stdin.write(text + "\n")
        self.emulator.stdin.flush()
        answer = self.read_emulator(timeout)
        if answer is None or answer.startswith("error"):
            raise RuntimeError("the link emulator answered %r to %r" % (answer, text))
        return answer

    def client_curl(self, url, max_time, extra=()):
        """curl in the client's namespace: its -w figures, and whether it ended
        cleanly (28, the end of --max-time, counts as clean)."""
        argv = self.ns_prefix(self.client_ns) + [
            "curl", "-s", "-o", "/dev/null", "--max-time", str(max_time), "-w",
            "%{time_connect} %{size_download} %{time_total}"] + list(extra) + [url]
        done = subprocess.run(argv, capture_output=True, text=True, timeout=max_time + 30)
        connect, size, total = done.stdout.split()
        return {"exit": done.returncode, "connect_s": float(connect), "bytes": int(size), "total_s": float(total)}

    def check_links(self, path, seconds=4, connects=5):
        """What the links do, measured through them: the TCP connect time
        (one round trip), one TCP stream's rate over a few seconds, and the
        share of packets lost, from the emulator's counters."""
        out = {}
        for name, link in self.links.items():
            url = "http://%s:%d/%s" % (link["addr"], NODE_PORT, path)
            times = [self.client_curl(url, 10, ["-r", "0-0"])["connect_s"] for _ in range(connects)]
            self.command("start /dev/null")
            stream = self.client_curl(url, seconds)
            counters = json.loads(self.command("finish"))
            packets = counters["packets"][name]
            out[name] = {
                "connect_ms": [round(t * 1000, 2) for t in times],
                "stream_mbit": round(stream["bytes"] * 8 / stream["total_s"] / 1e6, 2),
                "stream_s": stream["total_s"],
                "packets": packets,
                "lost": counters["lost"][name],
                "loss": (counters["lost"][name] / packets) if packets else None,
            }
        return out

    def stop(self):
        if self.cdn is not None:
            self.cdn.stop()
        for nginx in self.nginx:
            nginx.stop()
        if self.emulator is not None:
            servers.stop_process(self.emulator, signal.SIGTERM)
            for stream in (self.emulator.stdin, self.emulator.stdout):
                try:
                    stream.close()
                except OSError:  # the emulator is gone: what it did not read is lost
                    pass
        if self.emulator_err is not None:
            self.emulator_err.close()
        for name in self.namespaces:
            remove_namespace(name)


class WanBench:
    def __init__(self, options):
        self.o = options
        self.dataset = wan_dataset(options.seed)
        self.content = os.path.join(options.work, "content")
        self.reference = os.path.join(self.content, "packages/bench", PACKAGE, "1")
        self.dest = os.path.join(options.work, "dest")
        self.runs = []
        self.counter = 0
        self.extra_get_args = options.talvane_args.split() if options.talvane_args else []
        self.link_check = None

    def pack(self, source, package, nodes=None):
        argv = [self.o.pack, "--input", source, "--output", self.content, "--partner", "bench", "--package",
                package, "--package-version", "1", "--name", package, "--chunk-size", str(CHUNK), "--current"]
        if nodes:
            argv += ["--nodes", ",".join(nodes)]
        run(argv, stdout=subprocess.DEVNULL)

    def ensure_content(self):
        stamp_path = os.path.join(self.content, "stamp.json")
        stamp = {"dataset": self.dataset.describe(), "chunk": CHUNK}
        if not compare.renew_content(self.content, stamp):
            return
        source = os.path.join(self.o.work, "source")
        shutil.rmtree(source, ignore_errors=True)
        log("writing %d files, %s" % (len(self.dataset.files), wan_report.fmt_mib(self.dataset.total_bytes)))
        ds.write_dataset(self.dataset, source)
        self.pack(source, PACKAGE)
        shutil.rmtree(source)
        with open(stamp_path, "w") as out:
            json.dump(stamp, out)

    def set_node_order(self, order):
        """The partner's node list in the case's order, written by packing a
        one-file package with --nodes; the big package shares the list."""
        source = os.path.join(self.o.work, "nodes-source")
        shutil.rmtree(source, ignore_errors=True)
        ds.write_dataset(ds.Dataset("nodes", [("n.bin", 1000)], self.o.seed), source)
        self.pack(source, "wan-nodes", ["%s:%d" % (wan_report.LINKS[n]["addr"], NODE_PORT) for n in order])
        shutil.rmtree(source)

    def write_metalink(self, order):
        pieces = ds.load_or_compute_pieces(os.path.join(self.content, "pieces.json"), self.reference,
                                           self.dataset.files, CHUNK)
        bases = [tools.node_url_base(NODE_PORT, PACKAGE, host=wan_report.LINKS[n]["addr"]) for n in order]
        path = os.path.join(self.o.work, "wan-%s.meta4" % "".join(order))
        with open(path, "w") as out:
            out.write(ds.metalink_xml(self.dataset.files, pieces, CHUNK, bases))
        return path

    def subjects(self, order):
        metalink = self.write_metalink(order)
        out = []
        if "talvane-get" in self.o.tools:
            out.append(("talvane-get", "default", lambda dest: tools.talvane_get_argv(
                os.path.join(self.o.work, "bin", "talvane-get"), self.network.cdn.endpoints, PACKAGE, dest,
                self.extra_get_args)))
        if "aria2c" in self.o.tools:
            for name, args in ARIA2_SETTINGS:
                out.append(("aria2c", name, lambda dest, a=args: tools.aria2_argv(metalink, dest, a, CHUNK)))
        if "curl" in self.o.tools:
            out.append(("curl", "parallel %d, node A" % CURL_PARALLEL, self.curl_argv))
        return out

    def curl_argv(self, dest):
        base = tools.node_url_base(NODE_PORT, PACKAGE, host=wan_report.LINKS["A"]["addr"])
        config = os.path.join(self.o.work, "curl.config")
        with open(config, "w") as out:
            out.write(tools.curl_config([(base + f, os.path.join(dest, f)) for f, _ in self.dataset.files]))
        return tools.curl_many_argv(config, parallel=True)

    def execute(self, case, tool, variant, argv_of, rep):
        self.counter += 1
        run_id = "%03d-%s-%s-%s" % (self.counter, case, tool, re.sub(r"[^A-Za-z0-9]+", "_", variant))
        measure.clear_folder(self.dest)
        measure.drop_caches()
        measure.warm_files([os.path.join(self.reference, f) for f, _ in self.dataset.files])
        env = dict(os.environ)
        data_folder = os.path.join(self.o.work, "data", run_id)
        if tool == "talvane-get":
            os.makedirs(data_folder)
            env["TMPDIR"] = data_folder
        timeline_path = os.path.join(self.o.logs, run_id + ".csv")
        change = wan_report.change_spec(case, self.dataset.total_bytes)
        self.network.command("start %s%s" % (timeline_path, (" " + change) if change else ""))
        argv = self.network.ns_prefix(self.network.client_ns) + argv_of(self.dest)
        result = measure.timed_run(argv, os.path.join(self.o.logs, run_id), self.o.timeout, env=env)
        counters = json.loads(self.network.command("finish"))
        problems = []
        if result["timed_out"]:
            problems.append("timed out after %d s" % self.o.timeout)
        if result["exit"] != 0:
            problems.append("exit status %s" % result["exit"])
        problems += measure.compare_tree(self.dest, self.reference, self.dataset.files)
        if not problems and not self.o.keep_data:
            shutil.rmtree(data_folder, ignore_errors=True)
        with open(timeline_path) as source:
            timeline = wan_report.parse_timeline(source.read())
        record = {
            "run": run_id, "rep": rep, "case": case, "tool": tool, "variant": variant, "ok": not problems,
            "problems": problems[:5], "bytes": counters["bytes"], "lost": counters["lost"],
            "queue_drops": counters["queue_drops"], "changed_ms": counters["changed_ms"],
            "emulator_cpu_s": None, "emulator_user_s": None, "timeline": timeline,
        }
        record.update(result)
        if self.last_emulator_cpu is not None:
            record["emulator_cpu_s"] = round(counters["cpu_s"] - self.last_emulator_cpu[0], 3)
            record["emulator_user_s"] = round(counters["user_s"] - self.last_emulator_cpu[1], 3)
        self.last_emulator_cpu = (counters["cpu_s"], counters["user_s"])
        self.runs.append(record)
        with open(os.path.join(self.o.results, "runs.jsonl"), "a") as out:
            out.write(json.dumps(record) + "\n")
        log(wan_report.run_line(record))
        # Connections the tool left behind close before the next run starts.
        time.sleep(1)

    def run(self):
        os.makedirs(self.o.results, exist_ok=True)
        shutil.rmtree(self.o.logs, ignore_errors=True)
        shutil.rmtree(os.path.join(self.o.work, "data"), ignore_errors=True)
        os.makedirs(self.o.logs)
        raw = os.path.join(self.o.results, "runs.jsonl")
        if os.path.exists(raw):
            os.remove(raw)
        started = datetime.datetime.now(datetime.timezone.utc)
        load_before = compare.read_loadavg()
        revision = compare.git_revision(ROOT)
        # A copy, so that a rebuild of the engine while this runs does not
        # mix two builds in one set of figures.
        measured = os.path.join(self.o.work, "bin", "talvane-get")
        os.makedirs(os.path.dirname(measured), exist_ok=True)
        shutil.copy2(self.o.get, measured)
        with open(measured, "rb") as binary:
            digest = hashlib.sha256(binary.read()).hexdigest()
        self.ensure_content()
        self.network = Network(self.o.emulator, self.o.logs, self.o.seed)
        self.last_emulator_cpu = None
        try:
            self.network.start_links()
            self.network.start_nodes(self.content, self.o.work)
            self.network.start_cdn(self.o.cdn, self.content)
            if self.o.check_links:
                log("checking the links")
                self.link_check = self.network.check_links("packages/bench/%s/1/big.bin" % PACKAGE)
                for name, figures in self.link_check.items():
                    log("link %s: %s" % (name, wan_report.link_check_line(name, figures)))
            # The emulator reports its CPU time since it started at the end of
            # every run; an empty run first leaves setting up out of the first.
            self.network.command("start /dev/null")
            counters = json.loads(self.network.command("finish"))
            self.last_emulator_cpu = (counters["cpu_s"], counters["user_s"])
            for rep in range(1, self.o.reps + 1):
                for case in self.o.cases:
                    order = wan_report.CASES[case]["order"]
                    self.set_node_order(order)
                    specs = self.subjects(order)
                    for tool, variant, argv_of in compare.run_order(specs, self.o.seed, rep, case, "wan"):
                        self.execute(case, tool, variant, argv_of, rep)
        finally:
            self.network.stop()
            shutil.rmtree(self.dest, ignore_errors=True)
        finished = datetime.datetime.now(datetime.timezone.utc)
        meta = {
            "command": self.o.command,
            "started": started.isoformat(timespec="seconds"),
            "finished": finished.isoformat(timespec="seconds"),
            "loadavg_before": load_before,
            "loadavg_after": compare.read_loadavg(),
            "machine": compare.machine_info(self.o.work, "/dev/shm"),
            "revision": revision,
            "reps": self.o.reps,
            "seed": self.o.seed,
            "talvane_get": self.o.get,
            "talvane_get_sha256": digest,
            "talvane_get_extra_args": self.extra_get_args,
            "dataset": {"files": len(self.dataset.files), "bytes": self.dataset.total_bytes,
                        "largest": max(s for _, s in self.dataset.files),
                        "second_largest": sorted(s for _, s in self.dataset.files)[-2],
                        "smallest": min(s for _, s in self.dataset.files), "chunk": CHUNK},
            "links": wan_report.LINKS,
            "cases": {c: wan_report.CASES[c] for c in self.o.cases},
            "aria2c_settings": [[n, " ".join(a)] for n, a in ARIA2_SETTINGS],
            "curl_parallel": CURL_PARALLEL,
            "link_check": self.link_check,
        }
        self.write(meta)
        if os.path.exists(raw):
            os.remove(raw)

    def write(self, meta):
        summary = wan_report.summarize(self.runs, meta["dataset"]["bytes"])
        print(wan_report.console_table(summary), flush=True)
        with open(os.path.join(self.o.results, "results.json"), "w") as out:
            json.dump({"meta": meta, "summary": summary,
                       "runs": [dict(r, timeline=None) for r in self.runs],
                       "charted": wan_report.charted_runs(self.runs, summary)}, out, indent=1)
        if not self.o.report:
            log("results in %s (no report written without --report)" % self.o.results)
            return
        charts = {}
        for case in self.o.cases:
            path = os.path.join(os.path.dirname(self.o.doc), "images", "benchmarks-wan-%s.svg" % case)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as out:
                out.write(wan_report.timeline_svg(case, wan_report.charted_runs(self.runs, summary).get(case, []),
                                                  meta))
            charts[case] = path
        with open(self.o.doc, "w") as out:
            out.write(wan_report.render(meta, summary, self.runs, self.o.doc, charts, self.o.results))
        log("wrote %s, %s and %s" % (self.o.results, self.o.doc, ", ".join(charts.values())))


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    build = os.environ.get("BENCH_BUILD", os.path.join(ROOT, "build-release"))
    parser.add_argument("--build", default=build, help="Release build folder with the tools and the emulator")
    parser.add_argument("--talvane-get", dest="get", help="talvane-get to measure (default: from --build)")
    parser.add_argument("--talvane-pack", dest="pack")
    parser.add_argument("--talvane-cdn", dest="cdn")
    parser.add_argument("--emulator")
    parser.add_argument("--talvane-args", default=os.environ.get("BENCH_TALVANE_ARGS", ""),
                        help="extra talvane-get arguments")
    parser.add_argument("--cases", nargs="+", choices=list(wan_report.CASES), default=list(wan_report.CASES))
    parser.add_argument("--tools", nargs="+", choices=TOOL_NAMES, default=TOOL_NAMES)
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_WAN_REPS", "3")))
    parser.add_argument("--seed", type=int, default=int(os.environ.get("BENCH_SEED", "1021")))
    parser.add_argument("--timeout", type=int, default=int(os.environ.get("BENCH_TIMEOUT", "600")))
    parser.add_argument("--work", default=os.environ.get("BENCH_WAN_WORK"),
                        help="content, destination and logs (default: BUILD/bench-wan); on a disk")
    parser.add_argument("--check-links", action="store_true",
                        help="measure round trip, stream rate and loss of every link first (on with --report)")
    parser.add_argument("--wait-lock", type=int, default=0,
                        help="seconds to wait for another run using the same work folder (default: none)")
    parser.add_argument("--report", action="store_true",
                        help="write bench/compare/results/wan/, docs/benchmarks-wan.md and its charts")
    parser.add_argument("--results")
    parser.add_argument("--keep-data", action="store_true",
                        help="keep talvane-get's data folder (work log, stored transfers) after a correct run too")
    parser.add_argument("--doc", default=os.path.join(ROOT, "docs/benchmarks-wan.md"),
                        help="the report; its charts go to images/ beside it")
    parser.add_argument("--command", default=os.environ.get("BENCH_COMMAND"))
    options = parser.parse_args(argv)
    if options.reps < 1:
        parser.error("--reps must be at least 1")
    options.check_links = options.check_links or options.report
    options.get = os.path.abspath(options.get or os.path.join(options.build, "tools/talvane-get/talvane-get"))
    # talvane-pack and talvane-cdn from the tree talvane-get was built in,
    # when it has them: a quick check needs only --talvane-get.
    tools_folder = os.path.dirname(os.path.dirname(options.get))
    for attribute, name in (("pack", "talvane-pack"), ("cdn", "talvane-cdn")):
        if getattr(options, attribute) is None:
            sibling = os.path.join(tools_folder, name, name)
            setattr(options, attribute, sibling if os.access(sibling, os.X_OK) else
                    os.path.join(options.build, "tools", name, name))
        setattr(options, attribute, os.path.abspath(getattr(options, attribute)))
    options.emulator = os.path.abspath(options.emulator or os.path.join(
        options.build, "bench/wan/talvane-link-emulator"))
    options.work = os.path.abspath(options.work or os.path.join(options.build, "bench-wan"))
    options.doc = os.path.abspath(options.doc)
    options.logs = os.path.join(options.work, "logs")
    # Only a report run replaces the committed results; a quick check keeps
    # its own next to its logs.
    options.results = options.results or (os.path.join(ROOT, "bench/compare/results/wan") if options.report
                                          else os.path.join(options.work, "results"))
    options.command = options.command or "python3 bench/compare/wan.py " + " ".join(argv)
    for path in (options.get, options.pack, options.cdn, options.emulator):
        if not os.access(path, os.X_OK):
            parser.error("not an executable: %s (build it, or name it with the options above)" % path)
    return options


def lock_work(work, wait_seconds):
    """One run at a time per work folder: two would share the destination, and
    on a two-core machine measure each other. Returns the open lock file,
    held until the process ends."""
    lock = open(os.path.join(work, "lock"), "a+")
    deadline = time.monotonic() + wait_seconds
    announced = False
    while True:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            break
        except BlockingIOError:
            lock.seek(0)
            holder = lock.read().strip() or "unknown"
            if time.monotonic() >= deadline:
                sys.exit("another wan.py run (pid %s) is using %s; wait for it, or give --work another folder "
                         "(or --wait-lock SECONDS)" % (holder, work))
            if not announced:
                log("waiting for the wan.py run of pid %s to end" % holder)
                announced = True
            time.sleep(5)
    lock.seek(0)
    lock.truncate()
    lock.write("%d\n" % os.getpid())
    lock.flush()
    return lock


def main(argv):
    options = parse_options(argv)
    if os.geteuid() != 0:
        sys.exit("wan.py creates network namespaces and TUN devices: run it as root")
    signal.signal(signal.SIGTERM, compare.stop_on_terminate)
    os.makedirs(options.work, exist_ok=True)
    lock = lock_work(options.work, options.wait_lock)
    try:
        WanBench(options).run()
    finally:
        lock.close()


if __name__ == "__main__":
    main(sys.argv[1:])
