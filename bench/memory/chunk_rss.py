#!/usr/bin/env python3
"""Peak memory (maxrss) and wall time of one talvane-get transfer by chunk size.

Four files of 256 MiB are packed with chunks of 1, 4, 64 and 256 MiB, and one
file of 1000 MiB as a single chunk; a last case is a small package whose
manifests a hostile server has grown to 16 MiB of elements nothing reads.
nginx serves the chunks and talvane-cdn the manifests, as in bench/compare. Every talvane-get given with --subject
downloads every case with its default settings into a fresh folder on tmpfs;
the subjects take turns within each repetition, so they see the same
conditions. Started by run.sh, which builds the tools first.

    chunk_rss.py --subject base=/path/to/talvane-get --subject new=/path/to/talvane-get [--reps 3]
"""

import argparse
import datetime
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench/compare"))

import compare  # noqa: E402
import dataset as ds  # noqa: E402
import measure  # noqa: E402
import servers  # noqa: E402
import tools  # noqa: E402

FILES = ds.Dataset("files", [("f%d.bin" % i, 256 * ds.MIB) for i in range(4)], 4201)
SINGLE = ds.Dataset("single", [("single.bin", 1000 * ds.MIB)], 4202)
# (case, dataset, chunk size in bytes)
CASES = [("4x256MiB chunk %dMiB" % mib, FILES, mib * ds.MIB) for mib in (1, 4, 64, 256)]
CASES.append(("1000MiB one chunk", SINGLE, SINGLE.total_bytes))
TINY_ELEMENTS = ds.Dataset("tiny-elements", [("small.bin", 3 * ds.MIB)], 4203)
CASES.append(("16MiB manifest of tiny elements", TINY_ELEMENTS, ds.MIB))
# The largest package manifest talvane-get accepts.
HOSTILE_MANIFEST_BYTES = 16 * ds.MIB
log = compare.log


def package_id(data, chunk):
    return "%s-%dm" % (data.name, chunk // ds.MIB)


def grow_manifest(text, size):
    """The manifest with empty elements before its file list, `size` bytes in
    all: what nothing reads still has to be parsed."""
    at = text.index("<files>")
    filler = size - len(text)
    if filler < 0:
        raise ValueError("manifest already longer than %d bytes" % size)
    inner = "<x/>" * (filler // 4)
    return text[:at] + inner + " " * (filler - len(inner)) + text[at:]


def summarize(runs, cases, labels):
    """One row per case and subject: medians over the runs that succeeded, and
    the ratios to the first subject's medians of the same case."""
    rows = []
    for case in cases:
        first = None
        for label in labels:
            mine = [r for r in runs if r["case"] == case and r["subject"] == label]
            ok = [r for r in mine if r["ok"]]
            row = {"case": case, "subject": label, "runs": len(mine), "ok": len(ok), "wall_s": None,
                   "rss_mib": None, "wall_ratio": None, "rss_ratio": None}
            if ok:
                row["wall_s"] = statistics.median(r["wall"] for r in ok)
                row["rss_mib"] = statistics.median(r["maxrss_kb"] for r in ok) / 1024.0
            if first is None:
                first = row
            elif first["wall_s"] and row["wall_s"] is not None:
                row["wall_ratio"] = row["wall_s"] / first["wall_s"]
                row["rss_ratio"] = row["rss_mib"] / first["rss_mib"]
            rows.append(row)
    return rows


def markdown(rows, labels):
    def number(value, digits):
        return "-" if value is None else "%.*f" % (digits, value)

    base = labels[0]
    lines = ["| case | subject | ok runs | median wall s | median peak RSS MiB | wall / %s | RSS / %s |" % (base, base),
             "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append("| %s | %s | %d/%d | %s | %s | %s | %s |" % (
            r["case"], r["subject"], r["ok"], r["runs"], number(r["wall_s"], 2), number(r["rss_mib"], 1),
            number(r["wall_ratio"], 2), number(r["rss_ratio"], 2)))
    return "\n".join(lines) + "\n"


def subject_revision(binary):
    top = subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(binary)), "rev-parse", "--show-toplevel"],
                         capture_output=True, text=True).stdout.strip()
    return compare.git_revision(top) if top else "unknown"


class Bench:
    def __init__(self, o):
        self.o = o
        self.pack = os.path.join(o.build, "tools/talvane-pack/talvane-pack")
        self.cdn_binary = os.path.join(o.build, "tools/talvane-cdn/talvane-cdn")
        self.content = os.path.join(o.work, "content")
        self.logs = os.path.join(o.work, "logs")
        self.runs = []

    def reference(self, package):
        return os.path.join(self.content, "packages/bench", package, "1")

    def run_pack(self, source, package, chunk, nodes=None):
        argv = [self.pack, "--input", source, "--output", self.content, "--partner", "bench", "--package", package,
                "--package-version", "1", "--name", package, "--chunk-size", str(chunk), "--current"]
        if nodes:
            argv += ["--nodes", ",".join(nodes)]
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)

    def ensure_content(self):
        """Generated and packed once, then reused while the cases stay the same."""
        stamp = {"datasets": [FILES.describe(), SINGLE.describe(), TINY_ELEMENTS.describe()],
                 "hostile_manifest_bytes": HOSTILE_MANIFEST_BYTES,
                 "packages": [package_id(d, chunk) for _, d, chunk in CASES]}
        if not compare.renew_content(self.content, stamp):
            return
        for data in (FILES, SINGLE, TINY_ELEMENTS):
            source = os.path.join(self.o.work, "source", data.name)
            shutil.rmtree(source, ignore_errors=True)
            log("writing %s: %d files, %d MiB" % (data.name, len(data.files), data.total_bytes // ds.MIB))
            ds.write_dataset(data, source)
            for _, d, chunk in CASES:
                if d is data:
                    log("packing %s" % package_id(d, chunk))
                    self.run_pack(source, package_id(d, chunk), chunk)
            shutil.rmtree(source)
        folder = os.path.join(self.content, "manifests", package_id(TINY_ELEMENTS, ds.MIB))
        for name in sorted(os.listdir(folder)):
            if name.endswith(".xml"):
                path = os.path.join(folder, name)
                with open(path) as source_file:
                    text = source_file.read()
                with open(path, "w") as out:
                    out.write(grow_manifest(text, HOSTILE_MANIFEST_BYTES))
        with open(os.path.join(self.content, "stamp.json"), "w") as out:
            json.dump(stamp, out)

    def pack_nodes(self, ports):
        """A small package packed on every run with the nginx ports: it writes
        the partner's node list that the measured packages share."""
        source = os.path.join(self.o.work, "source", "nodes")
        shutil.rmtree(source, ignore_errors=True)
        ds.write_dataset(ds.Dataset("nodes", [("nodes.bin", 4096)], 1), source)
        self.run_pack(source, "nodes", ds.MIB, ["127.0.0.1:%d" % p for p in ports])
        shutil.rmtree(source)

    def execute(self, rep, case, data, chunk, label, binary):
        run_id = "%d-%s-%s" % (rep, package_id(data, chunk), label)
        dest = os.path.join(self.o.shm, "dest")
        state = os.path.join(self.o.shm, "state")  # talvane-get's own files, outside the destination
        measure.clear_folder(dest)
        measure.clear_folder(state)
        env = dict(os.environ, TMPDIR=state)
        argv = tools.talvane_get_argv(binary, self.cdn.endpoints, package_id(data, chunk), dest)
        try:
            result = measure.timed_run(argv, os.path.join(self.logs, run_id), self.o.timeout, env=env)
            problems = ["timed out after %d s" % self.o.timeout] if result["timed_out"] else []
            if result["exit"] != 0:
                problems.append("exit status %s" % result["exit"])
            problems += measure.compare_tree(dest, self.reference(package_id(data, chunk)), data.files)
        finally:
            shutil.rmtree(dest, ignore_errors=True)
            shutil.rmtree(state, ignore_errors=True)
        record = {"run": run_id, "rep": rep, "case": case, "chunk": chunk, "subject": label, "binary": binary,
                  "ok": not problems, "problems": problems[:5]}
        record.update(result)
        self.runs.append(record)
        log("%-32s wall %7s s  maxrss %8s KiB  %s" % (run_id, result["wall"], result["maxrss_kb"],
                                                        "ok" if not problems else "FAILED: " + "; ".join(problems[:3])))

    def run(self):
        shutil.rmtree(self.logs, ignore_errors=True)
        os.makedirs(self.logs)
        started = datetime.datetime.now(datetime.timezone.utc)
        load_before = compare.read_loadavg()
        self.ensure_content()
        ports = servers.pick_free_ports(3)
        self.pack_nodes(ports)
        nginx = cdn = None
        try:
            nginx = servers.Nginx(os.path.join(self.o.work, "nginx"), self.content, ports)
            self.cdn = cdn = servers.TalvaneCdn(self.cdn_binary, self.content,
                                                os.path.join(self.logs, "talvane-cdn.err"))
            for rep in range(1, self.o.reps + 1):
                for case, data, chunk in CASES:
                    measure.warm_files([os.path.join(self.reference(package_id(data, chunk)), f)
                                        for f, _ in data.files])
                    # Each repetition starts with another subject.
                    shift = (rep - 1) % len(self.o.subjects)
                    for label, binary in self.o.subjects[shift:] + self.o.subjects[:shift]:
                        self.execute(rep, case, data, chunk, label, binary)
        finally:
            if cdn:
                cdn.stop()
            if nginx:
                nginx.stop()
            shutil.rmtree(self.o.shm, ignore_errors=True)
        labels = [label for label, _ in self.o.subjects]
        rows = summarize(self.runs, [c for c, _, _ in CASES], labels)
        table = markdown(rows, labels)
        meta = {
            "started": started.isoformat(timespec="seconds"),
            "loadavg_before": load_before,
            "loadavg_after": compare.read_loadavg(),
            "nproc": os.cpu_count(),
            "reps": self.o.reps,
            "timeout_s": self.o.timeout,
            "subjects": [{"label": label, "binary": binary, "revision": subject_revision(binary)}
                         for label, binary in self.o.subjects],
            "pack_and_cdn": self.o.build,
            "cases": [{"case": c, "files": len(d.files), "bytes": d.total_bytes, "chunk": chunk}
                      for c, d, chunk in CASES],
        }
        os.makedirs(self.o.results, exist_ok=True)
        name = os.path.join(self.o.results, "chunk-rss-" + started.strftime("%Y%m%d-%H%M%S"))
        with open(name + ".json", "w") as out:
            json.dump({"meta": meta, "summary": rows, "runs": self.runs}, out, indent=1)
        with open(name + ".md", "w") as out:
            out.write(table)
        print(table)
        log("wrote %s.json and %s.md" % (name, name))


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--subject", action="append", required=True, metavar="LABEL=PATH",
                        help="a talvane-get to measure; repeatable, ratios are to the first one")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-release"),
                        help="Release build folder whose talvane-pack and talvane-cdn serve the content")
    parser.add_argument("--work", help="content and logs, on disk (default: BUILD/bench-memory)")
    parser.add_argument("--shm", default="/dev/shm/talvane-memory-%d" % os.getpid())
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--timeout", type=int, default=600, help="seconds before a run is killed")
    parser.add_argument("--results", default=os.path.join(HERE, "results"))
    o = parser.parse_args(argv)
    o.work = o.work or os.path.join(o.build, "bench-memory")
    subjects = []
    for text in o.subject:
        label, _, path = text.partition("=")
        if not label or not path:
            parser.error("--subject takes LABEL=PATH: %s" % text)
        if not os.access(path, os.X_OK):
            parser.error("%s is not an executable" % path)
        if label in [s[0] for s in subjects]:
            parser.error("label %s given twice" % label)
        subjects.append((label, os.path.abspath(path)))
    o.subjects = subjects
    if o.reps < 1:
        parser.error("--reps must be at least 1")
    return o


def main(argv):
    o = parse_options(argv)
    signal.signal(signal.SIGTERM, compare.stop_on_terminate)
    os.makedirs(o.work, exist_ok=True)
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", o.work], capture_output=True, text=True).stdout
    if fs.strip() == "tmpfs":
        sys.exit("the work folder %s is on tmpfs; give --work a folder on disk" % o.work)
    try:
        Bench(o).run()
    except KeyboardInterrupt:
        sys.exit("interrupted; servers stopped and %s removed" % o.shm)


if __name__ == "__main__":
    main(sys.argv[1:])
