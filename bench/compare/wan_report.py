"""The wide-area scenario's links and cases, and everything computed from its
runs: the limit the links set, medians, shares of bytes per node, ratios, the
tables, the charts and docs/benchmarks-wan.md. Pure functions of the run
records, so that they can be checked without namespaces or root.
"""

import os
import statistics
from xml.sax.saxutils import escape

import report

NODES = ["A", "B", "C"]
# Round-trip times; the emulator delays each direction by half. Loss applies
# to each direction on its own.
LINKS = {
    "A": {"addr": "10.77.1.1", "mbit": 200.0, "rtt_ms": 20.0, "loss": 0.0},
    "B": {"addr": "10.77.1.2", "mbit": 40.0, "rtt_ms": 60.0, "loss": 0.0},
    "C": {"addr": "10.77.1.3", "mbit": 8.0, "rtt_ms": 150.0, "loss": 0.01},
}
CASES = {
    "three-nodes": {"order": ["A", "B", "C"], "change": None,
                    "title": "three unequal nodes, the fastest listed first"},
    "fast-last": {"order": ["C", "B", "A"], "change": None,
                  "title": "the same nodes, the fastest listed last"},
    "fast-degrades": {"order": ["A", "B", "C"], "change": {"link": "A", "fraction": 0.5, "mbit": 8.0},
                      "title": "A falls to 8 Mbit/s once half the bytes have arrived"},
}
LOOPBACK_DOC = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                            "docs/benchmarks.md")
NODE_COLOURS = {"A": "#2a6fb0", "B": "#e08a1e", "C": "#3a9a4a"}
MIB = 1 << 20


def change_threshold(case, total_bytes):
    change = CASES[case]["change"]
    return None if change is None else int(total_bytes * change["fraction"])


def change_spec(case, total_bytes):
    """The emulator's description of the case's change ("" for none)."""
    change = CASES[case]["change"]
    if change is None:
        return ""
    return "link=%s,after=%d,mbit=%g" % (change["link"], change_threshold(case, total_bytes), change["mbit"])


def link_limit_seconds(case, total_bytes, links=None):
    """The shortest time the links allow for total_bytes: all of them busy
    from the first byte to the last at their configured rates, as if every
    bit on the wires were payload (headers, round trips and losses only add
    to it). With a change, the bytes before the trigger go at the first rates
    and the rest at the changed ones."""
    links = links or LINKS
    rates = {name: link["mbit"] * 1e6 / 8.0 for name, link in links.items()}
    change = CASES[case]["change"]
    if change is None:
        return total_bytes / sum(rates.values())
    threshold = min(change_threshold(case, total_bytes), total_bytes)
    before = threshold / sum(rates.values())
    rates[change["link"]] = change["mbit"] * 1e6 / 8.0
    return before + (total_bytes - threshold) / sum(rates.values())


def parse_timeline(text):
    """The emulator's counter file: a header `ms,A,B,...` and rows of the
    elapsed milliseconds and the payload bytes each link has delivered so far.
    A row cut short (the emulator stopped while writing) is left out."""
    lines = [line for line in text.splitlines() if line.strip()]
    if not lines or not lines[0].startswith("ms,"):
        raise ValueError("not a counter file: %r" % text[:40])
    names = lines[0].split(",")[1:]
    rows = []
    for line in lines[1:]:
        fields = line.split(",")
        if len(fields) != len(names) + 1:
            continue
        try:
            rows.append([int(f) for f in fields])
        except ValueError:
            continue
    return {"names": names, "rows": rows}


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def _ratio(a, b):
    return None if a is None or not b else a / b


def summarize(runs, total_bytes):
    """Per (case, tool, setting): medians of the runs whose output was
    correct, the count of the others, and each node's share of the bytes the
    correct runs received. Per case: the rows of the report (talvane-get,
    aria2c's best setting, curl) with their ratios to aria2c's best and to
    the limit the links set."""
    groups = {}
    for run in runs:
        groups.setdefault((run["case"], run["tool"], run["variant"]), []).append(run)
    entries = []
    for (case, tool, variant), group in sorted(groups.items()):
        good = [r for r in group if r["ok"] and r.get("wall") is not None]
        node_bytes = {n: sum(r["bytes"].get(n, 0) for r in good) for n in NODES}
        all_bytes = sum(node_bytes.values())
        entries.append({
            "case": case, "tool": tool, "variant": variant, "runs": len(group), "failed": len(group) - len(good),
            "wall": _median([r["wall"] for r in good]),
            "wall_min": min((r["wall"] for r in good), default=None),
            "wall_max": max((r["wall"] for r in good), default=None),
            "cpu": _median([r.get("cpu") for r in good]),
            "emulator_cpu_s": _median([r.get("emulator_cpu_s") for r in good]),
            "bytes": {n: _median([r["bytes"].get(n, 0) for r in good]) for n in NODES},
            "share": {n: (node_bytes[n] / all_bytes if all_bytes else None) for n in NODES},
            "received": _median([sum(r["bytes"].values()) for r in good]),
        })
    cases = {}
    for case in CASES:
        mine = [e for e in entries if e["case"] == case]
        if not mine:
            continue
        limit = link_limit_seconds(case, total_bytes)
        aria2 = best([e for e in mine if e["tool"] == "aria2c"])
        rows = []
        for tool in ("talvane-get", "aria2c", "curl"):
            candidates = [e for e in mine if e["tool"] == tool]
            entry = aria2 if tool == "aria2c" else (best(candidates) or (candidates[0] if candidates else None))
            if entry is None:
                continue
            usable = entry["wall"] if entry["failed"] == 0 else None
            rows.append({"tool": tool, "variant": entry["variant"], "entry": entry,
                         "vs_aria2c": _ratio(usable, aria2 and aria2["wall"]),
                         "vs_limit": _ratio(usable, limit)})
        cases[case] = {"limit_s": limit, "rows": rows}
    return {"entries": entries, "cases": cases}


def best(entries):
    """The lowest median among the settings none of whose runs failed."""
    usable = [e for e in entries if e["failed"] == 0 and e["wall"] is not None]
    return min(usable, key=lambda e: e["wall"]) if usable else None


def charted_runs(runs, summary):
    """For every case and report row, the correct run nearest the row's
    median, with its counters over time: the run the chart shows."""
    out = {}
    for case, data in summary["cases"].items():
        for row in data["rows"]:
            median = row["entry"]["wall"]
            candidates = [r for r in runs if r["case"] == case and r["tool"] == row["tool"] and
                          r["variant"] == row["variant"] and r["ok"] and r.get("timeline")]
            if median is None or not candidates:
                continue
            chosen = min(candidates, key=lambda r: (abs(r["wall"] - median), r["run"]))
            out.setdefault(case, []).append({
                "tool": row["tool"], "variant": row["variant"], "run": chosen["run"], "wall": chosen["wall"],
                "changed_ms": chosen.get("changed_ms"), "timeline": chosen["timeline"]})
    return out


# ---------------------------------------------------------------- text


def fmt_mib(count):
    return "—" if count is None else "%.1f MiB" % (count / float(MIB))


def fmt_s(value):
    return "—" if value is None else "%.2f" % value


def fmt_ratio(value):
    return "—" if value is None else "%.2f×" % value


def fmt_share(entry, node):
    share = entry["share"][node]
    return "—" if share is None else "%.0f %%" % (100 * share)


def run_line(record):
    total = sum(record["bytes"].values()) or 1
    nodes = "  ".join("%s %6.1f MiB %3.0f%%" % (n, record["bytes"].get(n, 0) / float(MIB),
                                                100.0 * record["bytes"].get(n, 0) / total) for n in NODES)
    status = "ok" if record["ok"] else "FAILED: " + "; ".join(record["problems"][:3])
    return "%-46s wall %7s s  %s  emulator cpu %s s  %s" % (
        record["run"], record.get("wall"), nodes, record.get("emulator_cpu_s"), status)


def console_table(summary):
    lines = ["%-14s %-12s %-24s %8s %15s %6s %6s %6s %9s %9s" % (
        "case", "tool", "setting", "median s", "min–max s", "A", "B", "C", "÷ aria2c", "÷ limit")]
    for case, data in summary["cases"].items():
        for row in data["rows"]:
            e = row["entry"]
            lines.append("%-14s %-12s %-24s %8s %15s %6s %6s %6s %9s %9s" % (
                case, row["tool"], row["variant"], fmt_s(e["wall"]),
                "%s–%s" % (fmt_s(e["wall_min"]), fmt_s(e["wall_max"])),
                fmt_share(e, "A"), fmt_share(e, "B"), fmt_share(e, "C"), fmt_ratio(row["vs_aria2c"]),
                fmt_ratio(row["vs_limit"])))
        lines.append("%-14s link limit %.2f s" % (case, data["limit_s"]))
    return "\n".join(lines)


def case_table(data):
    out = ["| Tool | Setting | Median s | Min–max s | From A | From B | From C | ÷ aria2c best | ÷ link limit "
           "| Runs failed |",
           "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in data["rows"]:
        e = row["entry"]
        out.append("| %s | %s | %s | %s–%s | %s | %s | %s | %s | %s | %d of %d |" % (
            row["tool"], row["variant"], fmt_s(e["wall"]), fmt_s(e["wall_min"]), fmt_s(e["wall_max"]),
            fmt_share(e, "A"), fmt_share(e, "B"), fmt_share(e, "C"), fmt_ratio(row["vs_aria2c"]),
            fmt_ratio(row["vs_limit"]), e["failed"], e["runs"]))
    return "\n".join(out)


def settings_table(summary):
    out = ["| Case | Tool | Setting | Median s | Min–max s | CPU s | From A / B / C | Received MiB "
           "| Emulator CPU s | Runs | Failed |",
           "|---|---|---|---:|---:|---:|---|---:|---:|---:|---:|"]
    order = {c: i for i, c in enumerate(CASES)}
    for e in sorted(summary["entries"], key=lambda e: (order.get(e["case"], 99), e["tool"], e["variant"])):
        out.append("| %s | %s | %s | %s | %s–%s | %s | %s | %s | %s | %d | %d |" % (
            e["case"], e["tool"], e["variant"], fmt_s(e["wall"]), fmt_s(e["wall_min"]), fmt_s(e["wall_max"]),
            fmt_s(e["cpu"]), " / ".join(fmt_share(e, n) for n in NODES),
            "—" if e["received"] is None else "%.1f" % (e["received"] / float(MIB)),
            fmt_s(e["emulator_cpu_s"]), e["runs"], e["failed"]))
    return "\n".join(out)


def emulator_load(runs):
    """The emulator's CPU time as a share of the wall time, over the correct
    runs: the cost the emulation adds to the machine the tools share."""
    usable = [r for r in runs if r["ok"] and r.get("emulator_cpu_s") is not None and r.get("wall")]
    if not usable:
        return None
    shares = [r["emulator_cpu_s"] / r["wall"] for r in usable]
    user = [r["emulator_user_s"] / r["emulator_cpu_s"] for r in usable
            if r.get("emulator_user_s") is not None and r["emulator_cpu_s"]]
    return {"median": statistics.median(shares), "max": max(shares), "runs": len(shares),
            "user_share": statistics.median(user) if user else None}


def link_check_line(name, figures, links=None):
    link = (links or LINKS)[name]
    loss = figures["loss"]
    return "connect median %.1f ms (round trip %g ms); one stream %.1f Mbit/s over %.1f s (rate %g); " \
           "lost %d of %d packets (%s, configured %g %% each way)" % (
               statistics.median(figures["connect_ms"]), link["rtt_ms"], figures["stream_mbit"],
               figures["stream_s"], link["mbit"], figures["lost"], figures["packets"],
               "—" if loss is None else "%.2f %%" % (100 * loss), 100 * link["loss"])


def link_check_table(check, links):
    out = ["| Node | Round trip set | TCP connect, median (min–max) | Rate set | One TCP stream | Loss set "
           "| Packets lost |",
           "|---|---:|---:|---:|---:|---:|---:|"]
    for name in NODES:
        if name not in check:
            continue
        f, link = check[name], links[name]
        out.append("| %s | %g ms | %.1f ms (%.1f–%.1f) | %g Mbit/s | %.1f Mbit/s over %.1f s | %g %% "
                   "| %d of %d (%s) |" % (
                       name, link["rtt_ms"], statistics.median(f["connect_ms"]), min(f["connect_ms"]),
                       max(f["connect_ms"]), link["mbit"], f["stream_mbit"], f["stream_s"], 100 * link["loss"],
                       f["lost"], f["packets"], "—" if f["loss"] is None else "%.2f %%" % (100 * f["loss"])))
    return "\n".join(out)


# ---------------------------------------------------------------- chart


def _duration(chart):
    rows = chart["timeline"]["rows"]
    return max([1.0, chart["wall"]] + ([rows[-1][0] / 1000.0] if rows else []))


def timeline_svg(case, charted, meta):
    """One panel per tool: the bytes each node has delivered, over time, with
    the moment of the case's change marked. The panels share their time axis
    unless one run took more than twice as long as another, which would
    flatten the faster ones into a corner."""
    panel_w, panel_h, left, top, gap = 300, 190, 60, 92, 30
    width = left + len(charted or [None]) * (panel_w + gap) + 10
    height = top + panel_h + 50
    durations = [_duration(c) for c in charted] or [1.0]
    shared = max(durations) <= 2 * min(durations)
    top_bytes = max([MIB] + [max(row[1:]) for c in charted for row in c["timeline"]["rows"]])
    step_mib = _nice_step(top_bytes / float(MIB))
    y_max = step_mib * (int(top_bytes / float(MIB) / step_mib) + 1)
    parts = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
        'font-family="sans-serif" font-size="11">' % (width, height, width, height),
        '<rect width="100%" height="100%" fill="white"/>',
        '<text x="10" y="20" font-size="14" font-weight="bold">%s</text>' % escape(
            "%s: bytes received from each node over time" % case),
        '<text x="10" y="38">%s</text>' % escape(CASES[case]["title"] + "; node list " +
                                                 ", ".join(CASES[case]["order"]) +
                                                 ("" if shared else "; each panel on its own time scale")),
    ]
    for i, node in enumerate(NODES):
        link = meta["links"][node]
        lx = 10 + i * 230
        parts.append('<rect x="%d" y="52" width="12" height="4" fill="%s"/>' % (lx, NODE_COLOURS[node]))
        parts.append('<text x="%d" y="58">%s</text>' % (lx + 16, escape("%s: %g Mbit/s, %g ms, %g %% loss" % (
            node, link["mbit"], link["rtt_ms"], 100 * link["loss"]))))
    for index, chart in enumerate(charted):
        x0 = left + index * (panel_w + gap)
        longest = max(durations) if shared else _duration(chart)
        step_s = _nice_step(longest)
        x_max = step_s * (int(longest / step_s) + 1)

        def px(ms, x_max=x_max):
            return x0 + ms / 1000.0 / x_max * panel_w

        def py(count):
            return top + panel_h - count / float(MIB) / y_max * panel_h

        parts.append('<text x="%d" y="%d" font-weight="bold">%s</text>' % (
            x0, top - 8, escape("%s (%s), %.1f s" % (chart["tool"], chart["variant"], chart["wall"]))))
        parts.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#999"/>' % (
            x0, top, panel_w, panel_h))
        t = 0.0
        while t <= x_max + 1e-9:
            x = px(t * 1000)
            parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#eee"/>' % (x, top, x, top + panel_h))
            parts.append('<text x="%.1f" y="%d" text-anchor="middle">%g</text>' % (x, top + panel_h + 14, t))
            t += step_s
        m = 0.0
        while m <= y_max + 1e-9:
            y = py(m * MIB)
            parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#eee"/>' % (x0, y, x0 + panel_w, y))
            if index == 0:
                parts.append('<text x="%d" y="%.1f" text-anchor="end">%g</text>' % (x0 - 4, y + 4, m))
            m += step_mib
        if chart.get("changed_ms") is not None:
            x = px(chart["changed_ms"])
            parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#c00" stroke-dasharray="4 3"/>' % (
                x, top, x, top + panel_h))
            parts.append('<text x="%.1f" y="%d" fill="#c00" font-size="9">A slows</text>' % (x + 3, top + 10))
        names = chart["timeline"]["names"]
        for column, node in enumerate(names, start=1):
            points = " ".join("%.1f,%.1f" % (px(row[0]), py(row[column])) for row in chart["timeline"]["rows"])
            parts.append('<polyline fill="none" stroke="%s" stroke-width="1.5" points="%s"/>' % (
                NODE_COLOURS.get(node, "#666"), points))
    parts.append('<text x="%d" y="%d" text-anchor="middle">seconds since the start</text>' % (
        width // 2, top + panel_h + 34))
    parts.append('<text x="12" y="%d" transform="rotate(-90 12 %d)" text-anchor="middle">MiB received</text>' % (
        top + panel_h // 2, top + panel_h // 2))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def _nice_step(span):
    """A round axis step giving four to ten marks over span."""
    for step in (0.5, 1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000):
        if span / step <= 8:
            return step
    return 10 ** len(str(int(span)))


# ---------------------------------------------------------------- document


def render(meta, summary, runs, doc_path, charts, results_dir):
    machine = meta["machine"]
    doc_dir = os.path.dirname(os.path.abspath(doc_path))
    results_link = os.path.relpath(os.path.abspath(results_dir), doc_dir)
    d = meta["dataset"]
    load = emulator_load(runs)
    out = [
        "# Benchmarks over emulated wide-area links",
        "",
        "Generated by `bench/compare/run-wan.sh`; do not edit by hand, run it again. All figures below come "
        "from one run of the script. The loopback comparison is in [benchmarks.md](%s)." % os.path.relpath(
            LOOPBACK_DOC, doc_dir),
        "",
        "## Run",
        "",
        "- Command: `%s`" % meta["command"],
        "- Started %s, finished %s (UTC)" % (meta["started"], meta["finished"]),
        "- Engine revision: %s%s" % (meta["revision"], (", talvane-get arguments added: `%s`" % " ".join(
            meta["talvane_get_extra_args"])) if meta["talvane_get_extra_args"] else ""),
        "- Repetitions: %d per tool, setting and case, in a new seeded order every repetition; medians shown"
        % meta["reps"],
        "- Machine: %s cores (`nproc`), %s, kernel %s, %s memory; destination on %s" % (
            machine["nproc"], machine["cpu"], machine["kernel"], machine["memory"], machine["destination_fs"]),
        "- Load average before: `%s`, after: `%s`" % (meta["loadavg_before"], meta["loadavg_after"]),
        "- Tools: %s; %s; %s" % (machine["aria2c"], machine["curl"].split(" (")[0], machine["nginx"]),
    ]
    if load:
        out.append("- Link emulator CPU time: median %.0f %% of one core over a run's wall time, at most "
                   "%.0f %% (%d runs)%s" % (
                       100 * load["median"], 100 * load["max"], load["runs"],
                       "" if load["user_share"] is None else
                       "; %.0f %% of it in user space, the rest the kernel's, which processes the packets "
                       "the emulator writes to a device within its write call" % (100 * load["user_share"])))
    out += [
        "",
        "## Setup",
        "",
        "- Content: %d files, %s in all: one of %s and %d of %s to %s (random bytes from a fixed seed, sizes "
        "spread on a log scale), packed by `talvane-pack` with chunks of %s." % (
            d["files"], report.fmt_bytes(d["bytes"]), report.fmt_bytes(d["largest"]), d["files"] - 1,
            report.fmt_bytes(d["smallest"]), report.fmt_bytes(d["second_largest"]), report.fmt_bytes(d["chunk"])),
        "- Network: one network namespace per download node and one for the client. `talvane-link-emulator` "
        "(bench/wan/) holds a TUN device in each and forwards IPv4 packets between the client's and each "
        "node's, applying per link and direction a drop-tail queue (one bandwidth-delay product of the round "
        "trip, at least 64 KiB), the link's rate, half its round-trip time as delay, and its loss, drawn from a "
        "seeded generator restarted at every run. It runs at nice -10, ahead of the tools, so that a busy "
        "downloader does not lengthen its own round trips. Its counters of payload bytes (above TCP) delivered to the "
        "client, written every 100 ms, give the bytes per node below; they include retransmitted bytes and "
        "HTTP headers.",
        "- Nodes: nginx (one worker, `sendfile on`) in each node's namespace on port %d; talvane-cdn, the "
        "manifest host, on the client namespace's loopback, outside the emulated links." % 80,
        "",
        "| Node | Address | Rate | Round trip | Loss (each way) |",
        "|---|---|---:|---:|---:|",
    ]
    for node in NODES:
        link = meta["links"][node]
        out.append("| %s | %s | %g Mbit/s | %g ms | %g %% |" % (node, link["addr"], link["mbit"], link["rtt_ms"],
                                                               100 * link["loss"]))
    out += [
        "",
        "Tools:",
        "",
        "- **talvane-get** with its defaults; the node list from `talvane-pack --nodes` names the three "
        "nodes in the case's order.",
        "- **aria2c** with a Metalink naming the three nodes, in the case's order, as mirrors of every file, "
        "with Adler-32 checksums of every 1 MiB piece, `--check-integrity=true --file-allocation=falloc "
        "--min-split-size=1048576`; every setting below was measured and the best median is the reference: %s."
        % "; ".join("`%s`" % a for _, a in meta["aria2c_settings"]),
        "- **curl** from node A alone, `--parallel --parallel-max %d` over a config listing every file: what "
        "a downloader that knows the fastest node, and only it, can do." % meta["curl_parallel"],
        "",
        "After every run the destination is compared byte for byte with the served files; a run with any "
        "difference is a failure, kept out of the medians and counted. The link limit is the dataset's size "
        "divided by the sum of the three links' rates (for fast-degrades, the first half at the first rates "
        "and the second with A at 8 Mbit/s), as if every bit on the wires were payload: no tool can reach it, "
        "and its ratio says how far each stays from it.",
        "",
    ]
    if meta.get("link_check"):
        out += [
            "## Link check",
            "",
            "Measured through the emulator before the runs: the TCP connect time of five connections (one "
            "round trip each), one curl stream of the large file for a few seconds (slow start included, "
            "payload only), and the packets lost on the wire in both directions during that stream, from the "
            "emulator's counters.",
            "",
            link_check_table(meta["link_check"], meta["links"]),
            "",
        ]
    out += [
        "## Results",
        "",
    ]
    for case, data in summary["cases"].items():
        info = meta["cases"][case]
        out += ["### %s" % case, "",
                "%s. Node list %s. Link limit %.2f s." % (CASES[case]["title"][0].upper() + CASES[case]["title"][1:],
                                                         ", ".join(info["order"]), data["limit_s"]), ""]
        out += [case_table(data), ""]
        if case in charts:
            out += ["![%s: bytes per node over time](%s)" % (
                case, os.path.relpath(os.path.abspath(charts[case]), doc_dir)), ""]
    out += [
        "The charts show, for each tool, the run whose time is nearest the median.",
        "",
        "### Every tool and setting",
        "",
        "Shares are of the bytes the correct runs received; Received is the median of all payload bytes a "
        "run received, retransmissions and headers included; Emulator CPU is the emulator's CPU time during "
        "the run.",
        "",
        settings_table(summary),
        "",
        "Every run, with its counters and any problem found in its output: `%s/results.json`." % results_link,
        "",
    ]
    return "\n".join(out)
