import json
import os
import shutil
import statistics
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

import dataset as ds
import wan_report

SVG = "{http://www.w3.org/2000/svg}"


def run(case, tool, variant, wall, ok=True, a=0, b=0, c=0, timeline=None, run_id=None, emulator_cpu=1.0):
    return {"run": run_id or "%s-%s-%s-%s" % (case, tool, variant, wall), "case": case, "tool": tool,
            "variant": variant, "ok": ok, "wall": wall, "cpu": wall / 4, "bytes": {"A": a, "B": b, "C": c},
            "emulator_cpu_s": emulator_cpu, "emulator_user_s": emulator_cpu / 10, "changed_ms": None,
            "timeline": timeline or {"names": ["A", "B", "C"], "rows": [[0, 0, 0, 0], [int(wall * 1000), a, b, c]]}}


class LinkLimitTest(unittest.TestCase):
    # The links' rates add up to 248 Mbit/s, 31,000,000 bytes a second.

    def test_without_a_change_all_three_links_carry_the_bytes_together(self):
        self.assertAlmostEqual(wan_report.link_limit_seconds("three-nodes", 31000000), 1.0)
        self.assertAlmostEqual(wan_report.link_limit_seconds("fast-last", 62000000), 2.0)

    def test_after_the_trigger_the_rest_goes_at_the_degraded_rates(self):
        # First half at 31 MB/s (1 s), the second with A at 1 MB/s: 7 MB/s.
        self.assertAlmostEqual(wan_report.link_limit_seconds("fast-degrades", 62000000), 1.0 + 31.0 / 7.0)

    def test_the_change_is_described_to_the_emulator_at_half_the_bytes(self):
        self.assertEqual(wan_report.change_spec("fast-degrades", 1001), "link=A,after=500,mbit=8")
        self.assertEqual(wan_report.change_spec("three-nodes", 1001), "")
        self.assertIsNone(wan_report.change_threshold("fast-last", 1001))
        for field in wan_report.change_spec("fast-degrades", 10).split(","):
            key, _, value = field.partition("=")
            self.assertTrue(key and value, field)


class DatasetTest(unittest.TestCase):
    def test_one_large_file_and_fifty_small_ones_about_228_mib_the_same_every_time(self):
        import wan
        d = wan.wan_dataset(1021)
        sizes = dict(d.files)
        self.assertEqual(sizes.pop("big.bin"), 200 * ds.MIB)
        self.assertEqual(len(sizes), 50)
        self.assertTrue(all(64 * ds.KIB <= s <= 2 * ds.MIB for s in sizes.values()))
        self.assertTrue(220 * ds.MIB < d.total_bytes < 236 * ds.MIB, d.total_bytes)
        self.assertEqual(d.describe(), wan.wan_dataset(1021).describe())


class TimelineTest(unittest.TestCase):
    def test_rows_are_read_and_a_row_cut_short_is_left_out(self):
        timeline = wan_report.parse_timeline("ms,A,B,C\n0,0,0,0\n100,1448,0,2896\n200,2896,7\n")
        self.assertEqual(timeline["names"], ["A", "B", "C"])
        self.assertEqual(timeline["rows"], [[0, 0, 0, 0], [100, 1448, 0, 2896]])

    def test_anything_else_is_refused(self):
        with self.assertRaises(ValueError):
            wan_report.parse_timeline("")
        with self.assertRaises(ValueError):
            wan_report.parse_timeline("time,A\n0,1\n")


class SummaryTest(unittest.TestCase):
    def runs(self):
        return [
            run("three-nodes", "talvane-get", "default", 10.0, a=60, b=30, c=10),
            run("three-nodes", "talvane-get", "default", 12.0, a=60, b=30, c=10),
            run("three-nodes", "talvane-get", "default", 30.0, a=100),
            run("three-nodes", "aria2c", "fast-but-failing", 5.0),
            run("three-nodes", "aria2c", "fast-but-failing", 5.0, ok=False),
            run("three-nodes", "aria2c", "steady", 8.0, a=100),
            run("three-nodes", "aria2c", "slow", 20.0, a=100),
            run("three-nodes", "curl", "parallel", 16.0, a=100),
        ]

    def with_a_failed_talvane_get_run(self):
        return self.runs() + [run("three-nodes", "talvane-get", "default", 1.0, ok=False, a=5)]

    def test_medians_ranges_and_shares_come_from_the_correct_runs_only(self):
        summary = wan_report.summarize(self.with_a_failed_talvane_get_run(), 31000000)
        entry = [e for e in summary["entries"] if e["tool"] == "talvane-get"][0]
        self.assertEqual((entry["runs"], entry["failed"], entry["wall"]), (4, 1, 12.0))
        self.assertEqual((entry["wall_min"], entry["wall_max"]), (10.0, 30.0))
        # 220 of the 300 bytes the three correct runs received came from A.
        self.assertAlmostEqual(entry["share"]["A"], 220 / 300.0)
        self.assertAlmostEqual(entry["share"]["C"], 20 / 300.0)

    def test_rows_compare_with_the_best_aria2c_setting_without_failures_and_with_the_link_limit(self):
        summary = wan_report.summarize(self.runs(), 31000000)
        rows = {r["tool"]: r for r in summary["cases"]["three-nodes"]["rows"]}
        self.assertEqual(rows["aria2c"]["variant"], "steady")
        self.assertAlmostEqual(rows["talvane-get"]["vs_aria2c"], 1.5)
        self.assertAlmostEqual(rows["curl"]["vs_aria2c"], 2.0)
        self.assertAlmostEqual(rows["aria2c"]["vs_limit"], 8.0)
        self.assertAlmostEqual(summary["cases"]["three-nodes"]["limit_s"], 1.0)
        self.assertEqual(list(rows), ["talvane-get", "aria2c", "curl"])

    def test_a_tool_with_a_failed_run_gets_no_ratio_and_the_tables_say_so(self):
        summary = wan_report.summarize(self.with_a_failed_talvane_get_run(), 31000000)
        talvane = summary["cases"]["three-nodes"]["rows"][0]
        self.assertIsNone(talvane["vs_aria2c"])
        self.assertIsNone(talvane["vs_limit"])
        table = wan_report.case_table(summary["cases"]["three-nodes"])
        self.assertIn("| talvane-get | default | 12.00 | 10.00–30.00 | 73 % | 20 % | 7 % | — | — | 1 of 4 |", table)
        settings = wan_report.settings_table(summary)
        self.assertEqual(settings.count("| three-nodes | aria2c |"), 3)

    def test_a_case_without_runs_has_no_rows(self):
        summary = wan_report.summarize(self.runs(), 31000000)
        self.assertEqual(list(summary["cases"]), ["three-nodes"])

    def test_the_charted_run_is_the_correct_one_nearest_the_median(self):
        runs = self.runs() + [run("three-nodes", "talvane-get", "default", 12.0, ok=False, run_id="failed")]
        summary = wan_report.summarize(runs, 31000000)
        charted = {c["tool"]: c for c in wan_report.charted_runs(runs, summary)["three-nodes"]}
        self.assertEqual(charted["talvane-get"]["wall"], 12.0)
        self.assertNotEqual(charted["talvane-get"]["run"], "failed")
        self.assertEqual(charted["aria2c"]["variant"], "steady")

    def test_the_emulator_load_is_its_cpu_time_over_the_wall_time_of_correct_runs(self):
        load = wan_report.emulator_load([run("c", "t", "v", 10.0, emulator_cpu=2.0),
                                         run("c", "t", "v", 10.0, emulator_cpu=4.0),
                                         run("c", "t", "v", 1.0, emulator_cpu=5.0, ok=False)])
        self.assertAlmostEqual(load["median"], 0.3)
        self.assertAlmostEqual(load["max"], 0.4)
        self.assertEqual(load["runs"], 2)
        self.assertAlmostEqual(load["user_share"], 0.1)


class ChartAndDocumentTest(unittest.TestCase):
    def meta(self):
        return {
            "command": "bash bench/compare/run-wan.sh", "started": "s", "finished": "f", "revision": "abc",
            "talvane_get_extra_args": [], "reps": 3,
            "machine": {"nproc": 2, "cpu": "cpu", "kernel": "k", "memory": "1 GiB", "destination_fs": "ext4",
                        "aria2c": "aria2 version 1", "curl": "curl 7 (x)", "nginx": "nginx 1"},
            "loadavg_before": "0.1", "loadavg_after": "0.2",
            "dataset": {"files": 51, "bytes": 31000000, "largest": 200 * ds.MIB, "second_largest": 2 * ds.MIB,
                        "smallest": 64 * ds.KIB, "chunk": ds.MIB},
            "links": wan_report.LINKS, "cases": wan_report.CASES, "aria2c_settings": [["a", "-x1 -s3"]],
            "curl_parallel": 8,
            "link_check": {"A": {"connect_ms": [20.4, 20.6, 21.0], "stream_mbit": 186.0, "stream_s": 4.0,
                                 "packets": 1000, "lost": 0, "loss": 0.0}},
        }

    def degrading_runs(self):
        timeline = {"names": ["A", "B", "C"], "rows": [[0, 0, 0, 0], [1000, 5 * ds.MIB, ds.MIB, 0],
                                                       [2000, 6 * ds.MIB, 3 * ds.MIB, ds.MIB]]}
        runs = [run("fast-degrades", "talvane-get", "default", 2.0, a=6, b=3, c=1, timeline=timeline),
                run("fast-degrades", "aria2c", "a", 4.0, a=6, b=3, c=1, timeline=timeline),
                run("fast-degrades", "curl", "parallel", 8.0, a=10, timeline=timeline)]
        for r in runs:
            r["changed_ms"] = 1000
        return runs

    def test_every_tool_gets_a_panel_with_a_line_per_node_and_the_change_marked(self):
        runs = self.degrading_runs()
        summary = wan_report.summarize(runs, 31000000)
        charted = wan_report.charted_runs(runs, summary)["fast-degrades"]
        svg_text = wan_report.timeline_svg("fast-degrades", charted, self.meta())
        svg = ET.fromstring(svg_text.encode())
        lines = list(svg.iter(SVG + "polyline"))
        self.assertEqual(len(lines), 9)
        self.assertEqual(sorted({l.get("stroke") for l in lines}), sorted(wan_report.NODE_COLOURS.values()))
        dashed = [l for l in svg.iter(SVG + "line") if l.get("stroke-dasharray")]
        self.assertEqual(len(dashed), 3)
        # A line ends higher (smaller y) the more bytes it counts: A above C.
        a_line = [l for l in lines if l.get("stroke") == wan_report.NODE_COLOURS["A"]][0]
        c_line = [l for l in lines if l.get("stroke") == wan_report.NODE_COLOURS["C"]][0]
        last_y = lambda line: float(line.get("points").split()[-1].split(",")[1])  # noqa: E731
        self.assertLess(last_y(a_line), last_y(c_line))
        for forbidden in ("href", "<script", "@import", "font-face"):
            self.assertNotIn(forbidden, svg_text)
        # curl took four times as long as talvane-get: its own time scale,
        # so that the faster runs are not squeezed into a corner.
        self.assertIn("each panel on its own time scale", svg_text)
        close = [dict(c, wall=2.0 + 0.5 * i) for i, c in enumerate(charted)]
        self.assertNotIn("own time scale", wan_report.timeline_svg("fast-degrades", close, self.meta()))

    def test_the_document_links_its_charts_and_results_relative_to_itself(self):
        runs = self.degrading_runs()
        summary = wan_report.summarize(runs, 31000000)
        text = wan_report.render(self.meta(), summary, runs, "/r/docs/benchmarks-wan.md",
                                 {"fast-degrades": "/r/docs/images/benchmarks-wan-fast-degrades.svg"},
                                 "/r/bench/compare/results/wan")
        self.assertIn("](images/benchmarks-wan-fast-degrades.svg)", text)
        self.assertIn("`../bench/compare/results/wan/results.json`", text)
        self.assertIn("| A | 20 ms | 20.6 ms (20.4–21.0) | 200 Mbit/s | 186.0 Mbit/s over 4.0 s | 0 % | 0 of 1000 "
                      "(0.00 %) |", text)
        self.assertIn("| curl | parallel | 8.00 |", text)
        self.assertIn("Link emulator CPU time: median 25 % of one core", text)


def emulator_binary():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = os.environ.get("BENCH_BUILD", os.path.join(root, "build-release"))
    return os.path.join(build, "bench/wan/talvane-link-emulator")


@unittest.skipUnless(os.geteuid() == 0 and os.access(emulator_binary(), os.X_OK) and shutil.which("nginx")
                     and shutil.which("curl") and os.path.exists("/dev/net/tun"),
                     "needs root, /dev/net/tun, nginx, curl and a built talvane-link-emulator")
class EmulatorTest(unittest.TestCase):
    """The emulator between namespaces, measured from outside with curl."""

    LINKS = {
        "A": {"addr": "10.77.1.1", "mbit": 40.0, "rtt_ms": 30.0, "loss": 0.0},
        "B": {"addr": "10.77.1.2", "mbit": 16.0, "rtt_ms": 80.0, "loss": 0.05},
    }

    @classmethod
    def setUpClass(cls):
        import wan
        cls.folder = tempfile.mkdtemp()
        root = os.path.join(cls.folder, "root")
        os.makedirs(root)
        cls.size = 3 * ds.MIB
        with open(os.path.join(root, "f.bin"), "wb") as out:
            out.write(os.urandom(cls.size))
        cls.network = wan.Network(emulator_binary(), os.path.join(cls.folder, "logs"), 7, cls.LINKS)
        try:
            cls.network.start_links()
            cls.network.start_nodes(root, cls.folder)
        except Exception:
            cls.network.stop()
            shutil.rmtree(cls.folder)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.network.stop()
        shutil.rmtree(cls.folder)
        names = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        assert cls.network.prefix not in names, names

    def url(self, node):
        return "http://%s:80/f.bin" % self.LINKS[node]["addr"]

    def test_a_tcp_connection_takes_one_configured_round_trip(self):
        for node in self.LINKS:
            times = [self.network.client_curl(self.url(node), 10, ["-r", "0-0"])["connect_s"] for _ in range(5)]
            expected = self.LINKS[node]["rtt_ms"] / 1000.0
            self.assertGreaterEqual(min(times), expected - 0.0005, (node, times))
            self.assertLess(statistics.median(times), expected + 0.004, (node, times))

    def test_a_download_is_capped_at_the_rate_and_counted_for_its_node(self):
        self.network.command("start %s" % os.path.join(self.folder, "rate.csv"))
        result = self.network.client_curl(self.url("A"), 30)
        counters = json.loads(self.network.command("finish"))
        self.assertEqual((result["exit"], result["bytes"]), (0, self.size))
        mbit = self.size * 8 / result["total_s"] / 1e6
        self.assertLess(mbit, 40.0)
        self.assertGreater(mbit, 40.0 * 0.6)
        # Payload above TCP: the file, HTTP headers, nothing from B.
        self.assertGreaterEqual(counters["bytes"]["A"], self.size)
        self.assertLess(counters["bytes"]["A"], self.size + 4096)
        # B may still retransmit the end of an earlier probe over its lossy
        # link, but sends nothing of this download.
        self.assertLess(counters["bytes"]["B"], 2048)
        with open(os.path.join(self.folder, "rate.csv")) as source:
            timeline = wan_report.parse_timeline(source.read())
        self.assertEqual(timeline["rows"][-1][1], counters["bytes"]["A"])
        steps = [b[0] - a[0] for a, b in zip(timeline["rows"], timeline["rows"][1:-1])]
        self.assertTrue(steps and all(90 <= s <= 130 for s in steps), steps)

    def test_loss_applies_at_about_its_configured_share_and_the_download_still_completes(self):
        self.network.command("start /dev/null")
        result = self.network.client_curl(self.url("B"), 60)
        counters = json.loads(self.network.command("finish"))
        self.assertEqual((result["exit"], result["bytes"]), (0, self.size))
        packets, lost = counters["packets"]["B"], counters["lost"]["B"]
        # About 3,200 packets: 5 % is 160, and three standard deviations ~37.
        self.assertGreater(packets, 2500)
        self.assertTrue(0.03 * packets < lost < 0.07 * packets, (lost, packets))
        self.assertEqual(counters["lost"]["A"], 0)

    def test_the_change_slows_the_link_once_its_bytes_have_arrived_and_the_next_run_starts_fast_again(self):
        self.network.command("start /dev/null link=A,after=%d,mbit=4" % ds.MIB)
        started = time.monotonic()
        slowed = self.network.client_curl(self.url("A"), 60)
        counters = json.loads(self.network.command("finish"))
        self.assertEqual(slowed["bytes"], self.size)
        # 2 MiB at 4 Mbit/s take 4.2 s; at 40 Mbit/s the whole file takes 0.6 s.
        self.assertGreater(time.monotonic() - started, 4.0)
        self.assertIsNotNone(counters["changed_ms"])
        self.network.command("start /dev/null")
        fast = self.network.client_curl(self.url("A"), 60)
        counters = json.loads(self.network.command("finish"))
        self.assertLess(fast["total_s"], 2.0)
        self.assertIsNone(counters["changed_ms"])

    def test_a_terminated_emulator_exits_cleanly_and_takes_its_devices(self):
        import wan
        network = wan.Network(emulator_binary(), os.path.join(self.folder, "logs2"), 1,
                              {"A": {"addr": "10.77.1.1", "mbit": 1.0, "rtt_ms": 1.0, "loss": 0.0}})
        network.prefix += "t-"
        network.client_ns = network.prefix + "client"
        network.node_ns = {"A": network.prefix + "a"}
        try:
            network.start_links()
            devices = subprocess.run(["ip", "-n", network.client_ns, "link"], capture_output=True, text=True)
            self.assertIn(wan.DEVICE, devices.stdout)
            network.emulator.terminate()
            self.assertEqual(network.emulator.wait(timeout=10), 0)
            devices = subprocess.run(["ip", "-n", network.client_ns, "link"], capture_output=True, text=True)
            self.assertNotIn(wan.DEVICE, devices.stdout)
        finally:
            network.stop()


if __name__ == "__main__":
    unittest.main()
