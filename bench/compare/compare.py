#!/usr/bin/env python3
"""Measures talvane-get against aria2c and curl on the same nginx download nodes
and writes the raw runs, the summary and the report. Started by run.sh, which
installs the tools and builds the binaries first; see docs/benchmarks.md.
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dataset as ds  # noqa: E402
import document  # noqa: E402
import measure  # noqa: E402
import report  # noqa: E402
import servers  # noqa: E402
import tools  # noqa: E402

CHUNKS = [("1 MiB", ds.MIB), ("4 MiB", 4 * ds.MIB)]
SANITY_SIZE = 3 * ds.MIB + 12345
SANITY_OFFSET = ds.MIB + 512 * ds.KIB + 7  # inside the second 1 MiB piece
ANSI_ESCAPE = re.compile(r"\x1b\[[0-9;]*m")


def package_id(dataset_name, chunk_bytes):
    return "%s-%dm" % (dataset_name, chunk_bytes // ds.MIB)


def log(message):
    print("[%s] %s" % (time.strftime("%H:%M:%S"), message), flush=True)


def renew_content(content, stamp):
    """False when content already holds what stamp describes; otherwise
    empties it for new content and returns True. The caller writes
    content/stamp.json once the new content is complete."""
    stamp_path = os.path.join(content, "stamp.json")
    if os.path.exists(stamp_path):
        with open(stamp_path) as source:
            if json.load(source) == stamp:
                log("content present in %s" % content)
                return False
    shutil.rmtree(content, ignore_errors=True)
    os.makedirs(content)
    return True


def read_loadavg():
    with open("/proc/loadavg") as source:
        return source.read().strip()


def machine_info(work, shm):
    model = "unknown"
    with open("/proc/cpuinfo") as source:
        for line in source:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = "unknown"
    with open("/proc/meminfo") as source:
        for line in source:
            if line.startswith("MemTotal"):
                memory = "%.1f GiB" % (int(line.split()[1]) / 1024.0 / 1024.0)

    def fs_type(path):
        while not os.path.exists(path):
            path = os.path.dirname(path)
        found = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", path], capture_output=True, text=True)
        return (found.stdout.split() or ["unknown"])[0]

    def first_line(argv):
        try:
            result = subprocess.run(argv, capture_output=True, text=True)
        except OSError:
            return "unavailable"
        return ((result.stdout or result.stderr).strip().splitlines() or ["unknown"])[0]

    return {
        "nproc": os.cpu_count(),
        "cpu": model,
        "kernel": platform.release(),
        "memory": memory,
        "destination_fs": fs_type(work),
        "tmpfs_fs": fs_type(shm),
        "aria2c": first_line(["aria2c", "--version"]),
        "curl": first_line(["curl", "--version"]),
        "nginx": first_line(["nginx", "-v"]),
    }


def git_revision(root):
    result = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no", "--", "engine",
                            "tools"], capture_output=True, text=True)
    revision = result.stdout.strip() or "unknown"
    return revision + (" (engine or tools modified)" if dirty.stdout.strip() else "")


class Bench:
    def __init__(self, options):
        self.o = options
        self.root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.build = options.build
        self.pack = os.path.join(self.build, "tools/talvane-pack/talvane-pack")
        self.get = os.path.join(self.build, "tools/talvane-get/talvane-get")
        self.cdn_binary = os.path.join(self.build, "tools/talvane-cdn/talvane-cdn")
        mode = "quick" if options.quick else "full"
        self.work = options.work
        self.content = os.path.join(self.work, "content-" + mode)
        self.logs = os.path.join(self.work, "logs")
        self.datasets = ds.standard_datasets(options.quick, options.seed)
        self.dests = {"disk": os.path.join(self.work, "dest"), "tmpfs": os.path.join(options.shm, "dest")}
        self.runs = []
        self.cache_modes = set()
        self.run_counter = 0
        self.extra_get_args = options.talvane_args.split() if options.talvane_args else []

    # ------------------------------------------------------------ content

    def reference(self, package):
        return os.path.join(self.content, "packages/bench", package, "1")

    def ensure_content(self):
        stamp_path = os.path.join(self.content, "stamp.json")
        stamp = {"datasets": [d.describe() for d in self.datasets], "chunks": [c for _, c in CHUNKS]}
        if not renew_content(self.content, stamp):
            return
        for d in self.datasets:
            source = os.path.join(self.work, "source", d.name)
            shutil.rmtree(source, ignore_errors=True)
            log("writing %s: %d files, %s" % (d.name, len(d.files), report.fmt_bytes(d.total_bytes)))
            ds.write_dataset(d, source)
            for _, chunk in CHUNKS:
                self.run_pack(source, package_id(d.name, chunk), chunk, nodes=None)
            shutil.rmtree(source)
        with open(stamp_path, "w") as out:
            json.dump(stamp, out)

    def run_pack(self, source, package, chunk, nodes):
        argv = [self.pack, "--input", source, "--output", self.content, "--partner", "bench", "--package", package,
                "--package-version", "1", "--name", package, "--chunk-size", str(chunk), "--current"]
        if nodes:
            argv += ["--nodes", ",".join(nodes)]
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)

    def pack_sanity_and_nodes(self, ports):
        """The small sanity package, packed on every run: packing it with the
        nginx ports writes the partner's node list that the big packages share."""
        source = os.path.join(self.work, "source", "sanity")
        shutil.rmtree(source, ignore_errors=True)
        ds.write_dataset(ds.Dataset("sanity", [("sanity.bin", SANITY_SIZE)], self.o.seed + 7), source)
        self.run_pack(source, "sanity", ds.MIB, ["127.0.0.1:%d" % p for p in ports])
        shutil.rmtree(source)

    def write_metalinks(self, ports):
        folder = os.path.join(self.work, "metalinks")
        os.makedirs(folder, exist_ok=True)
        self.metalinks = {}
        packages = [(d, chunk) for d in self.datasets for _, chunk in CHUNKS]
        packages.append((ds.Dataset("sanity", [("sanity.bin", SANITY_SIZE)], 0), ds.MIB))
        for d, chunk in packages:
            package = package_id(d.name, chunk) if d.name != "sanity" else "sanity"
            pieces = ds.load_or_compute_pieces(os.path.join(self.content, "pieces-%s.json" % package),
                                               self.reference(package), d.files, chunk)
            bases = [tools.node_url_base(p, package) for p in ports]
            path = os.path.join(folder, package + ".meta4")
            with open(path, "w") as out:
                out.write(ds.metalink_xml(d.files, pieces, chunk, bases))
            self.metalinks[package] = path

    # ------------------------------------------------------------ one run

    def prepare_caches(self, location, dest, warm, keep_warm=False):
        """Before every run: the page cache dropped when allowed (otherwise at
        least the destination's pages), then the served files read back in.
        keep_warm drops nothing and reads the destination in as well."""
        if keep_warm:
            measure.warm_files([os.path.join(parent, name) for parent, _, names in os.walk(dest) for name in names])
            mode = "kept warm"
        elif measure.drop_caches():
            mode = "dropped"
        elif location == "disk":
            measure.evict_files(dest)
            mode = "destination evicted"
        else:
            mode = "none"
        measure.warm_files(warm)
        self.cache_modes.add(mode)
        return mode

    def execute(self, spec, location, case, dest, rep):
        """Runs one tool once, checks its output, and records the run."""
        self.run_counter += 1
        run_id = "%04d-%s-%s-%s" % (self.run_counter, spec["tool"], spec["variant"], case)
        reference = self.reference(spec["package"])
        files = spec["dataset"].files
        caches = self.prepare_caches(location, dest, [os.path.join(reference, f) for f, _ in files],
                                     keep_warm=(case == "warm"))
        env = dict(os.environ)
        data_folder = None
        if spec["tool"] == "talvane-get":
            data_folder = os.path.join(self.work, "data", run_id)
            os.makedirs(data_folder)
            env["TMPDIR"] = data_folder
        argv = spec["argv"](dest, case)
        result = measure.timed_run(argv, os.path.join(self.logs, run_id), self.o.timeout, env=env)
        flush = measure.sync_seconds() if location == "disk" else None
        problems = []
        if result["timed_out"]:
            problems.append("timed out after %d s" % self.o.timeout)
        if result["exit"] != 0:
            problems.append("exit status %s" % result["exit"])
        problems += measure.compare_tree(dest, reference, files)
        downloaded = None
        if spec["tool"] == "talvane-get":
            try:
                with open(os.path.join(self.logs, run_id + ".out")) as out:
                    downloaded = int(json.loads(out.read())["bytesDownloaded"])
            except (OSError, ValueError, KeyError):
                pass
            if not problems:
                shutil.rmtree(data_folder, ignore_errors=True)
        record = {
            "run": run_id, "rep": rep, "dataset": spec["dataset"].name, "case": "%s-%s" % (case, location),
            "chunk": spec["chunk"], "tool": spec["tool"], "variant": spec["variant"], "ok": not problems,
            "flush_s": flush, "downloaded": downloaded, "caches": caches, "problems": problems[:5],
        }
        record.update(result)
        self.runs.append(record)
        with open(os.path.join(self.o.results, "runs.jsonl"), "a") as out:
            out.write(json.dumps(record) + "\n")
        status = "ok" if record["ok"] else "FAILED: " + "; ".join(problems[:3])
        log("%-44s %-12s wall %6s s  cpu %6s s  rss %6s KiB  %s" % (
            run_id, record["case"], result["wall"], result["cpu"], result["maxrss_kb"], status))
        return record["ok"]

    # ------------------------------------------------------------ subjects

    def subjects(self, d, ports):
        """Every (tool, setting) measured for a dataset, with the cases it takes
        part in and how its command line is built."""
        out = []
        endpoints = self.cdn.endpoints
        for chunk_name, chunk in CHUNKS:
            package = package_id(d.name, chunk)
            out.append({
                "tool": "talvane-get", "variant": "default", "chunk": chunk_name, "package": package, "dataset": d,
                "cases": ["cold", "resume", "verify", "warm"], "single_state": "zero-tail",
                "argv": lambda dest, case, p=package: tools.talvane_get_argv(self.get, endpoints, p, dest,
                                                                            self.extra_get_args),
            })
            if d.name == "big" and chunk == ds.MIB:
                out.append({
                    "tool": "talvane-get", "variant": "half-length file", "chunk": chunk_name, "package": package,
                    "dataset": d, "cases": ["resume"], "single_state": "truncate", "disk_only": True,
                    "argv": lambda dest, case, p=package: tools.talvane_get_argv(self.get, endpoints, p, dest,
                                                                                self.extra_get_args),
                })
            for name, args in tools.ARIA2_SETTINGS[d.name]:
                out.append({
                    "tool": "aria2c", "variant": name, "chunk": chunk_name, "package": package, "dataset": d,
                    "cases": ["cold", "resume", "verify", "warm"], "single_state": "zero-tail",
                    "argv": lambda dest, case, p=package, a=args, c=chunk: tools.aria2_argv(
                        self.metalinks[p], dest, a, c),
                })
        curl_package = package_id(d.name, CHUNKS[0][1])
        if d.name == "big":
            relative = d.files[0][0]
            url = tools.node_url_base(ports[0], curl_package) + relative
            out.append({
                "tool": "curl", "variant": "one stream", "chunk": "-", "package": curl_package, "dataset": d,
                "cases": ["cold", "resume"], "single_state": "truncate",
                "argv": lambda dest, case: tools.curl_single_argv(url, os.path.join(dest, relative),
                                                                  resume=(case == "resume")),
            })
        else:
            for variant, parallel in (("keep-alive", False), ("parallel %d" % tools.CURL_PARALLEL_MAX, True)):
                out.append({
                    "tool": "curl", "variant": variant, "chunk": "-", "package": curl_package, "dataset": d,
                    "cases": ["cold", "resume"], "single_state": None,
                    "argv": lambda dest, case, par=parallel: self.curl_many(ports[0], curl_package, d, dest, par),
                })
        return out

    def curl_many(self, port, package, d, dest, parallel):
        """curl is told exactly which files are missing: it has no way to find
        out by itself which present files are correct."""
        wanted = [f for f, _ in d.files if not os.path.exists(os.path.join(dest, f))]
        config = os.path.join(self.work, "curl.config")
        with open(config, "w") as out:
            out.write(tools.curl_config(tools.curl_entries(port, package, dest, wanted)))
        return tools.curl_many_argv(config, parallel)

    # ------------------------------------------------------------ cases

    def measure_subject(self, spec, location, rep):
        dest = self.dests[location]
        reference = self.reference(spec["package"])
        files = spec["dataset"].files
        cases = spec["cases"] if location == "disk" else [c for c in spec["cases"] if c == "cold"]
        if spec.get("disk_only") and location != "disk":
            return
        complete = False
        for case in cases:
            if self.o.cases and "%s-%s" % (case, location) not in self.o.cases:
                continue
            if case == "cold":
                measure.clear_folder(dest)
            else:
                if not complete:
                    measure.copy_reference(dest, reference, files)
                if case == "resume":
                    measure.make_half_present(dest, files, spec["single_state"] or "truncate")
            complete = self.execute(spec, location, case, dest, rep)

    def sanity(self, ports):
        """One served byte corrupted: aria2c must refuse the piece (otherwise its
        figures would be those of a downloader that does not check), talvane-get
        must fail the chunk, and curl, which cannot know, must be caught by the
        harness's own comparison. The byte is put back before anything else."""
        log("sanity check: one corrupted byte at offset %d of the served sanity.bin" % SANITY_OFFSET)
        served = os.path.join(self.reference("sanity"), "sanity.bin")
        files = [("sanity.bin", SANITY_SIZE)]
        pristine = os.path.join(self.work, "sanity.orig")
        shutil.copyfile(served, pristine)
        outcome = {"offset": SANITY_OFFSET, "piece": SANITY_OFFSET // ds.MIB}
        endpoints = self.cdn.endpoints
        commands = {
            "aria2c": lambda dest: tools.aria2_argv(self.metalinks["sanity"], dest, ["-x1", "-s3"], ds.MIB),
            "talvane-get": lambda dest: tools.talvane_get_argv(self.get, endpoints, "sanity", dest),
            "curl": lambda dest: tools.curl_single_argv(tools.node_url_base(ports[0], "sanity") + "sanity.bin",
                                                        os.path.join(dest, "sanity.bin"), resume=False),
        }
        try:
            with open(served, "r+b") as out:
                out.seek(SANITY_OFFSET)
                byte = out.read(1)
                out.seek(SANITY_OFFSET)
                out.write(bytes([byte[0] ^ 0xFF]))
            for tool, argv in commands.items():
                outcome[tool] = self.sanity_run(tool, argv, pristine, files, "corrupted")
        finally:
            shutil.copyfile(pristine, served)
        if not measure.files_equal(served, pristine):
            raise RuntimeError("the served sanity file could not be restored")
        outcome["aria2c_after_restore"] = self.sanity_run("aria2c", commands["aria2c"], pristine, files, "restored")
        outcome["aria2c_verifies"] = (outcome["aria2c"]["exit"] != 0 and outcome["aria2c"]["checksum_message"]
                                      and outcome["aria2c_after_restore"]["identical"])
        outcome["talvane_get_detects"] = outcome["talvane-get"]["exit"] != 0
        outcome["harness_detects_curl"] = not outcome["curl"]["identical"]
        log("sanity: aria2c verifies pieces: %s; talvane-get fails the transfer: %s; harness catches curl's "
            "silent corruption: %s" % (outcome["aria2c_verifies"], outcome["talvane_get_detects"],
                                       outcome["harness_detects_curl"]))
        return outcome

    def sanity_run(self, tool, argv, pristine, files, label):
        dest = os.path.join(self.work, "sanity-dest")
        measure.clear_folder(dest)
        env = dict(os.environ)
        data = os.path.join(self.work, "data", "sanity-%s-%s" % (tool, label))
        shutil.rmtree(data, ignore_errors=True)
        os.makedirs(data)
        env["TMPDIR"] = data
        prefix = os.path.join(self.logs, "sanity-%s-%s" % (tool, label))
        result = measure.timed_run(argv(dest), prefix, 180, env=env)
        messages = ""
        for stream in (".out", ".err"):  # aria2c reports errors on standard output
            with open(prefix + stream, errors="replace") as text:
                messages += text.read()
        checksum_lines = [ANSI_ESCAPE.sub("", line).strip() for line in messages.splitlines()
                          if "invalid checksum" in line.lower()]
        target = os.path.join(dest, "sanity.bin")
        identical = os.path.isfile(target) and measure.files_equal(target, pristine)
        return {"exit": result["exit"], "wall": result["wall"], "identical": identical,
                "checksum_message": checksum_lines[0] if checksum_lines else "",
                "timed_out": result["timed_out"]}

    # ------------------------------------------------------------ main

    def run(self):
        os.makedirs(self.o.results, exist_ok=True)
        shutil.rmtree(self.logs, ignore_errors=True)
        shutil.rmtree(os.path.join(self.work, "data"), ignore_errors=True)
        os.makedirs(self.logs)
        raw = os.path.join(self.o.results, "runs.jsonl")
        if os.path.exists(raw):
            os.remove(raw)
        started = datetime.datetime.now(datetime.timezone.utc)
        load_before = read_loadavg()
        # Taken now: others may commit while the run goes on, but the binaries
        # measured are the ones just built.
        revision = git_revision(self.root)
        self.ensure_content()
        ports = servers.pick_free_ports(3)
        self.pack_sanity_and_nodes(ports)
        self.write_metalinks(ports)
        log("nginx nodes on 127.0.0.1:%s" % ",".join(str(p) for p in ports))
        nginx = servers.Nginx(os.path.join(self.work, "nginx"), self.content, ports)
        try:
            self.cdn = servers.TalvaneCdn(self.cdn_binary, self.content, os.path.join(self.logs, "talvane-cdn.err"))
            try:
                sanity = self.sanity(ports)
                for rep in range(1, self.o.reps + 1):
                    for d in self.datasets:
                        if self.o.datasets and d.name not in self.o.datasets:
                            continue
                        specs = self.subjects(d, ports)
                        for location in ("disk", "tmpfs"):
                            for spec in run_order(specs, self.o.seed, rep, d.name, location):
                                if self.o.tools and spec["tool"] not in self.o.tools:
                                    continue
                                self.measure_subject(spec, location, rep)
            finally:
                self.cdn.stop()
        finally:
            nginx.stop()
            for dest in self.dests.values():
                shutil.rmtree(dest, ignore_errors=True)
            shutil.rmtree(self.o.shm, ignore_errors=True)
        finished = datetime.datetime.now(datetime.timezone.utc)
        meta = {
            "command": self.o.command,
            "started": started.isoformat(timespec="seconds"),
            "finished": finished.isoformat(timespec="seconds"),
            "loadavg_before": load_before,
            "loadavg_after": read_loadavg(),
            "machine": machine_info(self.work, self.o.shm),
            "revision": revision,
            "reps": self.o.reps,
            "quick": self.o.quick,
            "caches": sorted(self.cache_modes),
            "talvane_get_extra_args": self.extra_get_args,
            "datasets": [{"name": d.name, "files": len(d.files), "bytes": d.total_bytes,
                          "smallest": min(s for _, s in d.files), "largest": max(s for _, s in d.files)}
                         for d in self.datasets],
            "aria2c_settings": {k: [[n, " ".join(a)] for n, a in v] for k, v in tools.ARIA2_SETTINGS.items()},
            "ports": ports,
            "sanity": sanity,
        }
        write_outputs(self.o, meta, self.runs, [d.name for d in self.datasets])
        # Written as the runs went, for a run that does not reach the end;
        # results.json now holds the same records. A selection that matched
        # nothing wrote none.
        if os.path.exists(raw):
            os.remove(raw)


def run_order(specs, seed, rep, dataset_name, location):
    """The tools and settings in a new order for every repetition. What a run
    costs on a shared disk depends on what the run before it left behind (a
    gigabyte just deleted costs the next writer seconds of system time on some
    repetitions and none on others), so a fixed order would give one tool that
    cost every time; shuffled, it falls on each in turn."""
    order = list(specs)
    random.Random("%d:%d:%s:%s" % (seed, rep, dataset_name, location)).shuffle(order)
    return order


def wan_document():
    """The wide-area report, when wan.py has written one, so that this report
    links to it; the two are written by different runs and neither rewrites
    the other."""
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "docs/benchmarks-wan.md")
    return path if os.path.exists(path) else None


def write_outputs(options, meta, runs, dataset_names):
    summary = report.summarize(runs)
    rows = report.comparisons(summary, dataset_names, [name for name, _ in CHUNKS])
    report.write_runs_csv(os.path.join(options.results, "runs.csv"), runs)
    with open(os.path.join(options.results, "results.json"), "w") as out:
        json.dump({"meta": meta, "summary": list(summary.values()), "runs": runs}, out, indent=1)
    os.makedirs(os.path.dirname(options.svg), exist_ok=True)
    with open(options.svg, "w") as out:
        out.write(report.chart_svg(rows, "talvane-get against aria2c and curl: median ratios"))
    os.makedirs(os.path.dirname(options.doc), exist_ok=True)
    with open(options.doc, "w") as out:
        out.write(document.render(meta, summary, rows, options.doc, options.svg, options.results,
                                  wan_doc=wan_document()))
    log("wrote %s, %s and %s" % (options.results, options.doc, options.svg))


def parse_options(argv):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    quick = os.environ.get("BENCH_QUICK", "0") not in ("", "0")
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.environ.get("BENCH_BUILD", os.path.join(root, "build-release")))
    parser.add_argument("--work", default=os.environ.get("BENCH_WORK"))
    parser.add_argument("--shm", default=os.environ.get("BENCH_SHM", "/dev/shm/talvane-bench-%d" % os.getpid()))
    parser.add_argument("--reps", type=int, default=int(os.environ.get("BENCH_REPS", "5")))
    parser.add_argument("--quick", action="store_true", default=quick)
    parser.add_argument("--seed", type=int, default=int(os.environ.get("BENCH_SEED", "1021")))
    parser.add_argument("--timeout", type=int, default=int(os.environ.get("BENCH_TIMEOUT", "900")))
    parser.add_argument("--talvane-args", default=os.environ.get("BENCH_TALVANE_ARGS", ""))
    parser.add_argument("--results")
    parser.add_argument("--doc")
    parser.add_argument("--svg")
    parser.add_argument("--only-datasets", dest="datasets", nargs="*", default=None)
    parser.add_argument("--only-tools", dest="tools", nargs="*", default=None)
    parser.add_argument("--only-cases", dest="cases", nargs="*", default=None)
    parser.add_argument("--command", default=os.environ.get("BENCH_COMMAND", "bash bench/compare/run.sh"))
    options = parser.parse_args(argv)
    options.work = options.work or os.path.join(options.build, "bench-compare")
    here = os.path.join(root, "bench/compare/results")
    # A quick run is a check of the harness, not a result: it stays out of the
    # committed report.
    if options.quick:
        options.results = options.results or os.path.join(here, "quick")
        options.doc = options.doc or os.path.join(options.results, "benchmarks.md")
        options.svg = options.svg or os.path.join(options.results, "benchmarks.svg")
    else:
        options.results = options.results or here
        options.doc = options.doc or os.path.join(root, "docs/benchmarks.md")
        options.svg = options.svg or os.path.join(root, "docs/images/benchmarks.svg")
    if options.reps < 1:
        parser.error("--reps must be at least 1")
    return options


def stop_on_terminate(signum, frame):
    # The servers run in sessions of their own: only the finally blocks that
    # unwind from here stop them when the harness itself is told to stop.
    raise SystemExit("terminated by signal %d" % signum)


def main(argv):
    options = parse_options(argv)
    signal.signal(signal.SIGTERM, stop_on_terminate)
    on_tmpfs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", options.work], capture_output=True,
                              text=True).stdout.strip()
    if on_tmpfs == "tmpfs":
        sys.exit("the work folder %s is on tmpfs; give BENCH_WORK a folder on disk" % options.work)
    os.makedirs(options.work, exist_ok=True)
    Bench(options).run()


if __name__ == "__main__":
    main(sys.argv[1:])
