"""Command lines of the three downloaders. Every tool gets the same nginx nodes:
talvane-get finds them in the node list, aria2c in the Metalink's mirrors and
curl, which has no notion of mirrors, is pointed at the first one.
"""

import os

# aria2c's settings tried for each transfer; the table keeps the best median.
# Few connections per node and few files at once suit a two-core machine, many
# suit a fast one: the set spans both so that aria2c is not handicapped by a
# choice made here.
ARIA2_SETTINGS = {
    "big": [
        ("x1-s3", ["-x1", "-s3"]),
        ("x2-s6", ["-x2", "-s6"]),
        ("x4-s12", ["-x4", "-s12"]),
    ],
    "many": [
        ("j5-x1", ["-j5", "-x1", "-s1"]),
        ("j16-x1", ["-j16", "-x1", "-s1"]),
        ("j4-x3-s3", ["-j4", "-x3", "-s3"]),
    ],
}

CURL_PARALLEL_MAX = 8


def talvane_get_argv(binary, endpoints, package, dest, extra=()):
    return [
        binary,
        "--manifest-host", endpoints["manifest"],
        "--partner", "bench",
        "--package", package,
        "--package-version", "1",
        "--dest", dest,
        "--geolocation-url", endpoints["geolocation"],
        "--events-url", endpoints["events"],
        "--transfers-url", endpoints["transfers"],
        "--json", "--quiet",
    ] + list(extra)


def aria2_argv(metalink, dest, setting_args, piece_length):
    """--check-integrity makes aria2c check existing files against the piece
    checksums, so a half-present or complete destination is verified rather
    than trusted or downloaded again. --auto-save-interval=0 spares aria2c the
    periodic fsync of its control files, which on a shared disk cost it seconds
    over many small files: the comparison is with aria2c at its best."""
    return [
        "aria2c",
        "--metalink-file=" + metalink,
        "--dir=" + dest,
        "--check-integrity=true",
        "--file-allocation=falloc",
        "--min-split-size=%d" % piece_length,
        "--auto-file-renaming=false",
        "--allow-overwrite=false",
        "--console-log-level=warn",
        "--show-console-readout=false",
        "--summary-interval=0",
        "--download-result=hide",
        "--auto-save-interval=0",
        "--max-tries=3",
        "--retry-wait=1",
    ] + list(setting_args)


def curl_config(entries):
    """A curl config listing (url, output path) pairs: one process transfers
    them all, one after another over one kept-alive connection."""
    lines = []
    for url, output in entries:
        lines.append('url = "%s"' % url)
        lines.append('output = "%s"' % output)
    return "\n".join(lines) + "\n"


def curl_many_argv(config_path, parallel):
    argv = ["curl", "--silent", "--show-error", "--fail", "--create-dirs", "--config", config_path]
    if parallel:
        argv += ["--parallel", "--parallel-max", str(CURL_PARALLEL_MAX)]
    return argv


def curl_single_argv(url, output, resume):
    argv = ["curl", "--silent", "--show-error", "--fail", "--create-dirs", "--output", output]
    if resume:
        argv += ["--continue-at", "-"]
    return argv + [url]


def node_url_base(port, package, host="127.0.0.1", partner="bench"):
    return "http://%s:%d/packages/%s/%s/1/" % (host, port, partner, package)


def curl_entries(port, package, dest, relatives):
    base = node_url_base(port, package)
    return [(base + relative, os.path.join(dest, relative)) for relative in relatives]
