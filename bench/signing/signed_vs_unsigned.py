#!/usr/bin/env python3
"""What a publisher's signature costs the user: the same package, packed once
unsigned and once signed, downloaded by talvane-get from the same nginx nodes
in alternating runs, then checked in place with the page cache warm (every
chunk read back and compared, nothing to fetch). Reports medians and the
signed/unsigned ratios measured in the same run.

  bench/signing/signed_vs_unsigned.py --build build --work /var/tmp/sign-bench [--gib 1] [--reps 3]

The destination lives on tmpfs (/dev/shm) by default so that the disk does not
hide the CPU cost of the digests; --dest-root puts it elsewhere. On loopback
the download itself is bound by the CPU, so every cycle the digests take shows
in the time. --link-mbit N serves the nodes from a network namespace of their
own behind a link of N Mbit/s each way instead (a veth pair shaped by the
kernel's token bucket filter, which this machine has where netem is missing;
needs root), where the client's cores also wait for the network.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "compare"))
import servers  # noqa: E402


def log(message):
    print("[sign-bench] " + message, file=sys.stderr, flush=True)


def write_source(folder, total_bytes, files):
    """Incompressible content in a few big files: the chunk checks, not the
    file count, are what is measured."""
    if os.path.isdir(folder) and sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder)) == total_bytes:
        return
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    each = total_bytes // files
    for i in range(files):
        size = each if i < files - 1 else total_bytes - each * (files - 1)
        with open(os.path.join(folder, "part-%d.bin" % i), "wb") as out:
            left = size
            while left:
                piece = min(left, 8 << 20)
                out.write(os.urandom(piece))
                left -= piece


NAMESPACE = "tvl-sign-bench"
HOST_ADDRESS, NODE_ADDRESS = "10.77.0.1", "10.77.0.2"


def sh(*argv):
    subprocess.run(list(argv), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def remove_link():
    subprocess.run(["ip", "netns", "del", NAMESPACE], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["ip", "link", "del", "tvlsb0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_link(mbit):
    """A veth pair into a namespace of its own, rate-limited both ways."""
    remove_link()
    sh("ip", "netns", "add", NAMESPACE)
    sh("ip", "link", "add", "tvlsb0", "type", "veth", "peer", "name", "tvlsb1")
    sh("ip", "link", "set", "tvlsb1", "netns", NAMESPACE)
    sh("ip", "addr", "add", HOST_ADDRESS + "/24", "dev", "tvlsb0")
    sh("ip", "link", "set", "tvlsb0", "up")
    inside = ["ip", "netns", "exec", NAMESPACE]
    sh(*inside, "ip", "addr", "add", NODE_ADDRESS + "/24", "dev", "tvlsb1")
    sh(*inside, "ip", "link", "set", "tvlsb1", "up")
    sh(*inside, "ip", "link", "set", "lo", "up")
    shape = ["root", "tbf", "rate", "%dmbit" % mbit, "burst", "256kb", "latency", "50ms"]
    sh("tc", "qdisc", "add", "dev", "tvlsb0", *shape)
    sh(*inside, "tc", "qdisc", "add", "dev", "tvlsb1", *shape)
    return inside


def wait_for_address(address, port, process, timeout=20):
    import socket
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("server exited before listening on %s:%d" % (address, port))
        try:
            with socket.create_connection((address, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("nothing listens on %s:%d" % (address, port))


def run(argv, env=None):
    started = time.monotonic()
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    elapsed = time.monotonic() - started
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (argv[0], result.returncode, result.stderr[-2000:]))
    return elapsed


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--dest-root", default="/dev/shm")
    parser.add_argument("--gib", type=float, default=1.0)
    parser.add_argument("--files", type=int, default=4)
    parser.add_argument("--chunk", type=int, default=1 << 20)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--link-mbit", type=int, default=0, help="emulated link rate to the nodes (root)")
    parser.add_argument("--json", help="write the figures here too")
    options = parser.parse_args(argv)

    build = os.path.abspath(options.build)
    pack = os.path.join(build, "tools/talvane-pack/talvane-pack")
    get = os.path.join(build, "tools/talvane-get/talvane-get")
    cdn_binary = os.path.join(build, "tools/talvane-cdn/talvane-cdn")
    work = os.path.abspath(options.work)
    os.makedirs(work, exist_ok=True)
    total = int(options.gib * (1 << 30))
    source = os.path.join(work, "source")
    root = os.path.join(work, "root")
    log("writing %d bytes of source" % total)
    write_source(source, total, options.files)

    shutil.rmtree(root, ignore_errors=True)
    key = os.path.join(work, "publisher.key")
    for path in (key, key + ".pub"):
        if os.path.exists(path):
            os.remove(path)
    subprocess.run([pack, "keygen", "--out", key], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    ports = servers.pick_free_ports(2)
    node_host = NODE_ADDRESS if options.link_mbit else "127.0.0.1"
    nodes = ",".join("%s:%d" % (node_host, p) for p in ports)
    timings = {}
    for name, extra in (("unsigned", []), ("signed", ["--sign-key", key])):
        started = time.monotonic()
        subprocess.run([pack, "--input", source, "--output", root, "--partner", "p-" + name, "--package", name,
                        "--package-version", "1", "--name", name, "--current", "--chunk-size", str(options.chunk),
                        "--nodes", nodes] + extra, check=True, stdout=subprocess.DEVNULL)
        timings["pack-" + name] = time.monotonic() - started

    if options.link_mbit:
        inside = make_link(options.link_mbit)
        nginx = servers.Nginx(os.path.join(work, "nginx"), root, ports, host=NODE_ADDRESS, prefix=inside,
                              wait=lambda port, process: wait_for_address(NODE_ADDRESS, port, process))
    else:
        nginx = servers.Nginx(os.path.join(work, "nginx"), root, ports)
    cdn = servers.TalvaneCdn(cdn_binary, root, os.path.join(work, "cdn.log"))
    figures = {"unsigned": {"download": [], "verify": []}, "signed": {"download": [], "verify": []}}
    try:
        endpoints = cdn.endpoints
        for rep in range(options.reps):
            # Alternating order, so that drift over the run hits both alike.
            order = ("unsigned", "signed") if rep % 2 == 0 else ("signed", "unsigned")
            for name in order:
                dest = os.path.join(options.dest_root, "sign-bench-" + name)
                data = os.path.join(work, "data-%s-%d" % (name, rep))
                shutil.rmtree(dest, ignore_errors=True)
                shutil.rmtree(data, ignore_errors=True)
                os.makedirs(data)
                env = dict(os.environ, TMPDIR=data)
                argv = [get, "--manifest-host", "%s:%d" % (node_host, ports[0]), "--partner", "p-" + name,
                        "--package", name, "--dest", dest, "--quiet",
                        "--geolocation-url", endpoints["geolocation"], "--events-url", endpoints["events"],
                        "--transfers-url", endpoints["transfers"]]
                if name == "signed":
                    argv += ["--publisher-key", key + ".pub"]
                figures[name]["download"].append(run(argv, env))
                # The files are complete and in the page cache: the second run
                # only reads every chunk back and checks it.
                figures[name]["verify"].append(run(argv, env))
                log("rep %d %s: download %.2f s, verify %.2f s" % (rep + 1, name, figures[name]["download"][-1],
                                                                 figures[name]["verify"][-1]))
                shutil.rmtree(dest, ignore_errors=True)
                shutil.rmtree(data, ignore_errors=True)
    finally:
        cdn.stop()
        nginx.stop()
        if options.link_mbit:
            remove_link()

    summary = {"bytes": total, "chunk": options.chunk, "reps": options.reps, "pack_seconds": timings,
               "link_mbit": options.link_mbit}
    for name in figures:
        for case in ("download", "verify"):
            median = statistics.median(figures[name][case])
            summary["%s_%s_median_s" % (name, case)] = median
            summary["%s_%s_runs_s" % (name, case)] = figures[name][case]
            summary["%s_%s_gb_per_s" % (name, case)] = total / median / 1e9
    summary["download_ratio_signed_over_unsigned"] = (summary["signed_download_median_s"] /
                                                      summary["unsigned_download_median_s"])
    summary["verify_ratio_signed_over_unsigned"] = (summary["signed_verify_median_s"] /
                                                    summary["unsigned_verify_median_s"])
    print(json.dumps(summary, indent=2))
    if options.json:
        with open(options.json, "w") as out:
            json.dump(summary, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
