"""From the raw runs to figures: medians per tool and setting, the best aria2c
setting and the best curl variant of each case, ratios, and the written report
with its chart. Pure functions of the run records, so they can be checked
without running anything.
"""

import csv
import math
import statistics
from xml.sax.saxutils import escape

CASES = ["cold-disk", "cold-tmpfs", "resume-disk", "verify-disk", "warm-disk"]
CASE_TITLES = {
    "cold-disk": "cold, to disk",
    "cold-tmpfs": "cold, to tmpfs",
    "resume-disk": "resume, half present",
    "verify-disk": "verify, complete",
    "warm-disk": "verify, page cache warm",
}
RUN_FIELDS = [
    "run", "rep", "dataset", "case", "chunk", "tool", "variant", "ok", "exit", "timed_out",
    "wall", "user", "sys", "cpu", "maxrss_kb", "flush_s", "downloaded", "caches", "problems",
]


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def summarize(runs):
    """Medians of the successful runs of each (dataset, case, chunk, tool,
    variant), with the count of runs that failed. A failed run's figures never
    enter a median."""
    groups = {}
    for run in runs:
        key = (run["dataset"], run["case"], run["chunk"], run["tool"], run["variant"])
        groups.setdefault(key, []).append(run)
    summary = {}
    for key, group in groups.items():
        good = [r for r in group if r["ok"]]
        summary[key] = {
            "dataset": key[0], "case": key[1], "chunk": key[2], "tool": key[3], "variant": key[4],
            "runs": len(group),
            "failed": len(group) - len(good),
            "wall": median_or_none([r["wall"] for r in good]),
            "wall_min": min([r["wall"] for r in good if r["wall"] is not None], default=None),
            "wall_max": max([r["wall"] for r in good if r["wall"] is not None], default=None),
            "cpu": median_or_none([r["cpu"] for r in good]),
            "maxrss_kb": median_or_none([r["maxrss_kb"] for r in good]),
            "downloaded": median_or_none([r.get("downloaded") for r in good]),
        }
    return summary


def best(summary, dataset, case, tool, chunks):
    """The fastest variant of a tool (lowest median wall time) among those with
    no failed run; None when every variant failed or none ran."""
    candidates = [
        s for s in summary.values()
        if s["dataset"] == dataset and s["case"] == case and s["tool"] == tool and s["chunk"] in chunks
        and s["failed"] == 0 and s["wall"] is not None
    ]
    return min(candidates, key=lambda s: s["wall"]) if candidates else None


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def comparisons(summary, datasets, chunks, subject_variant="default"):
    """One row per dataset, case and chunk size: talvane-get against the best
    aria2c setting of the same chunk size and the best curl variant (curl does
    not depend on the chunk size). Ratios above 1 mean talvane-get took more."""
    rows = []
    for dataset in datasets:
        for case in CASES:
            for chunk in chunks:
                subject = summary.get((dataset, case, chunk, "talvane-get", subject_variant))
                if subject is None:
                    continue
                aria2 = best(summary, dataset, case, "aria2c", [chunk])
                curl = best(summary, dataset, case, "curl", ["-"])
                row = {"dataset": dataset, "case": case, "chunk": chunk, "talvane": subject, "aria2c": aria2,
                       "curl": curl}
                for measure in ("wall", "cpu", "maxrss_kb"):
                    usable = subject if subject["failed"] == 0 else None
                    row[measure + "_vs_aria2c"] = ratio(usable and usable[measure], aria2 and aria2[measure])
                    row[measure + "_vs_curl"] = ratio(usable and usable[measure], curl and curl[measure])
                rows.append(row)
    return rows


def write_runs_csv(path, runs):
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=RUN_FIELDS, extrasaction="ignore")
        writer.writeheader()
        for run in runs:
            row = dict(run)
            row["problems"] = "; ".join(run.get("problems") or [])
            writer.writerow(row)


# ---------------------------------------------------------------- formatting


def fmt_seconds(value):
    if value is None:
        return "—"
    return "%.2f" % value if value < 100 else "%.0f" % value


def fmt_mib(kb):
    return "—" if kb is None else "%.0f" % (kb / 1024.0)


def fmt_ratio(value):
    return "—" if value is None else "%.2f×" % value


def fmt_bytes(count):
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return "%.1f %s" % (count / size, unit) if count % size else "%d %s" % (count // size, unit)
    return "%d B" % count


def fmt_failed(entry):
    if entry is None:
        return ""
    return " (%d of %d failed)" % (entry["failed"], entry["runs"]) if entry["failed"] else ""


def _label(entry):
    return "—" if entry is None else entry["variant"]


def results_tables(rows, dataset):
    """Markdown: absolute medians, then the ratios, of one dataset."""
    mine = [r for r in rows if r["dataset"] == dataset]
    out = [
        "| Case | Chunk | talvane-get wall s | CPU s | RSS MiB | aria2c best | wall s | CPU s | RSS MiB "
        "| curl best | wall s | CPU s | RSS MiB |",
        "|---|---|---:|---:|---:|---|---:|---:|---:|---|---:|---:|---:|",
    ]
    for r in mine:
        t, a, c = r["talvane"], r["aria2c"], r["curl"]
        out.append("| %s | %s | %s%s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            CASE_TITLES[r["case"]], r["chunk"], fmt_seconds(t["wall"]), fmt_failed(t), fmt_seconds(t["cpu"]),
            fmt_mib(t["maxrss_kb"]), _label(a), fmt_seconds(a and a["wall"]), fmt_seconds(a and a["cpu"]),
            fmt_mib(a and a["maxrss_kb"]), _label(c), fmt_seconds(c and c["wall"]), fmt_seconds(c and c["cpu"]),
            fmt_mib(c and c["maxrss_kb"])))
    out += [
        "",
        "| Case | Chunk | wall ÷ aria2c | wall ÷ curl | CPU ÷ aria2c | CPU ÷ curl | RSS ÷ aria2c | RSS ÷ curl |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in mine:
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            CASE_TITLES[r["case"]], r["chunk"], fmt_ratio(r["wall_vs_aria2c"]), fmt_ratio(r["wall_vs_curl"]),
            fmt_ratio(r["cpu_vs_aria2c"]), fmt_ratio(r["cpu_vs_curl"]), fmt_ratio(r["maxrss_kb_vs_aria2c"]),
            fmt_ratio(r["maxrss_kb_vs_curl"])))
    return "\n".join(out)


def variants_table(summary):
    """Every tool and setting, so the choice of the best one can be checked."""
    order = {case: i for i, case in enumerate(CASES)}
    entries = sorted(summary.values(), key=lambda s: (s["dataset"], order.get(s["case"], 99), s["chunk"], s["tool"],
                                                       s["variant"]))
    out = ["| Dataset | Case | Chunk | Tool | Variant | wall s | wall min–max s | CPU s | RSS MiB | downloaded MiB "
           "| runs | failed |",
           "|---|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for s in entries:
        downloaded = "—" if s.get("downloaded") is None else "%.0f" % (s["downloaded"] / float(1 << 20))
        spread = "—" if s["wall_min"] is None else "%s–%s" % (fmt_seconds(s["wall_min"]), fmt_seconds(s["wall_max"]))
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %d | %d |" % (
            s["dataset"], CASE_TITLES.get(s["case"], s["case"]), s["chunk"], s["tool"], s["variant"],
            fmt_seconds(s["wall"]), spread, fmt_seconds(s["cpu"]), fmt_mib(s["maxrss_kb"]), downloaded, s["runs"],
            s["failed"]))
    return "\n".join(out)


# ---------------------------------------------------------------- chart

_SERIES = [("wall_vs_aria2c", "wall ÷ aria2c", "#2a6fb0"), ("wall_vs_curl", "wall ÷ curl", "#e08a1e"),
           ("cpu_vs_aria2c", "CPU ÷ aria2c", "#7fb0de"), ("cpu_vs_curl", "CPU ÷ curl", "#f2c28a")]


def chart_svg(rows, title):
    """Horizontal bars of talvane-get's ratios on a logarithmic axis centred on
    1 (as fast as the other tool): left of the line talvane-get needs less,
    right of it more. Missing ratios leave a gap rather than a zero bar."""
    values = [r[key] for r in rows for key, _, _ in _SERIES if r[key]]
    low = min([0.5] + values)
    high = max([2.0] + values)
    lo_exp = math.floor(math.log2(low))
    hi_exp = math.ceil(math.log2(high))
    label_w, plot_w, right = 250, 560, 70
    bar_h, gap = 9, 10
    group_h = len(_SERIES) * bar_h + gap
    top = 70
    height = top + max(1, len(rows)) * group_h + 60
    width = label_w + plot_w + right

    def x_of(value):
        return label_w + (math.log2(value) - lo_exp) / (hi_exp - lo_exp) * plot_w

    parts = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
        'font-family="sans-serif" font-size="11">' % (width, height, width, height),
        '<rect width="100%" height="100%" fill="white"/>',
        '<text x="%d" y="20" font-size="14" font-weight="bold">%s</text>' % (10, escape(title)),
    ]
    for i, (_, name, colour) in enumerate(_SERIES):
        lx = label_w + i * 140
        parts.append('<rect x="%d" y="32" width="12" height="10" fill="%s"/>' % (lx, colour))
        parts.append('<text x="%d" y="41">%s</text>' % (lx + 16, escape(name)))
    axis_bottom = top + len(rows) * group_h
    for exp in range(lo_exp, hi_exp + 1):
        value = 2.0 ** exp
        x = x_of(value)
        stroke = "#333" if exp == 0 else "#ddd"
        parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s"/>' % (x, top - 6, x, axis_bottom, stroke))
        text = ("%g" % value) + "×"
        parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (x, axis_bottom + 14, text))
    parts.append('<text x="%d" y="%d" text-anchor="middle">talvane-get ÷ other tool (log scale; '
                 'below 1 = talvane-get better)</text>' % (label_w + plot_w // 2, axis_bottom + 34))
    one = x_of(1.0)
    for index, row in enumerate(rows):
        y = top + index * group_h
        label = "%s · %s · %s" % (row["dataset"], CASE_TITLES[row["case"]], row["chunk"])
        parts.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (
            label_w - 8, y + group_h // 2, escape(label)))
        for s, (key, _, colour) in enumerate(_SERIES):
            value = row[key]
            by = y + s * bar_h
            if not value:
                continue
            x = x_of(value)
            left, right_x = min(one, x), max(one, x)
            parts.append('<rect class="bar" x="%.1f" y="%d" width="%.1f" height="%d" fill="%s"/>' % (
                left, by, max(right_x - left, 1.0), bar_h - 1, colour))
            parts.append('<text x="%.1f" y="%d" font-size="9">%.2f</text>' % (
                max(right_x, one) + 3, by + bar_h - 1, value))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"
