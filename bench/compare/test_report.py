import unittest
import xml.etree.ElementTree as ET

import report


def run(tool, variant, wall, ok=True, case="cold-disk", chunk="1 MiB", dataset="big", cpu=None, rss=1000):
    return {"dataset": dataset, "case": case, "chunk": chunk, "tool": tool, "variant": variant, "ok": ok,
            "wall": wall, "cpu": wall / 2 if cpu is None else cpu, "maxrss_kb": rss}


class SummaryTest(unittest.TestCase):
    def test_medians_leave_out_failed_runs_and_count_them(self):
        summary = report.summarize([
            run("talvane-get", "default", 1.0), run("talvane-get", "default", 3.0),
            run("talvane-get", "default", 2.0), run("talvane-get", "default", 0.1, ok=False)])
        entry = summary[("big", "cold-disk", "1 MiB", "talvane-get", "default")]
        self.assertEqual((entry["wall"], entry["runs"], entry["failed"]), (2.0, 4, 1))
        self.assertEqual((entry["wall_min"], entry["wall_max"]), (1.0, 3.0))

    def test_the_best_setting_is_the_fastest_without_failures(self):
        summary = report.summarize([
            run("aria2c", "fast-but-wrong", 0.5), run("aria2c", "fast-but-wrong", 0.5, ok=False),
            run("aria2c", "slow", 3.0), run("aria2c", "quick", 2.0),
            run("aria2c", "other-chunk", 1.0, chunk="4 MiB")])
        self.assertEqual(report.best(summary, "big", "cold-disk", "aria2c", ["1 MiB"])["variant"], "quick")
        self.assertIsNone(report.best(summary, "big", "verify-disk", "aria2c", ["1 MiB"]))


class ComparisonTest(unittest.TestCase):
    def rows(self, runs):
        return report.comparisons(report.summarize(runs), ["big"], ["1 MiB", "4 MiB"])

    def test_ratios_are_against_the_best_aria2c_of_the_chunk_size_and_the_best_curl(self):
        rows = self.rows([
            run("talvane-get", "default", 2.0, rss=3000), run("talvane-get", "default", 3.0, chunk="4 MiB"),
            run("aria2c", "a", 4.0), run("aria2c", "b", 1.0, chunk="4 MiB"),
            run("curl", "one stream", 0.5, chunk="-", rss=1000), run("curl", "slower", 5.0, chunk="-")])
        one, four = rows
        self.assertAlmostEqual(one["wall_vs_aria2c"], 0.5)
        self.assertAlmostEqual(one["wall_vs_curl"], 4.0)
        self.assertAlmostEqual(one["maxrss_kb_vs_curl"], 3.0)
        self.assertAlmostEqual(four["wall_vs_aria2c"], 3.0)
        self.assertEqual(four["curl"]["variant"], "one stream")

    def test_a_subject_with_a_failed_run_gets_no_ratio(self):
        rows = self.rows([run("talvane-get", "default", 2.0), run("talvane-get", "default", 2.0, ok=False),
                          run("aria2c", "a", 4.0)])
        self.assertEqual(len(rows), 1)
        self.assertIsNone(rows[0]["wall_vs_aria2c"])
        self.assertIn("1 of 2 failed", report.results_tables(rows, "big"))

    def test_the_tables_hold_one_row_per_case_and_chunk(self):
        runs = []
        for case in report.CASES:
            runs += [run("talvane-get", "default", 1.0, case=case), run("aria2c", "a", 2.0, case=case)]
        table = report.results_tables(self.rows(runs), "big")
        for case in report.CASES:
            self.assertEqual(table.count("| %s | 1 MiB |" % report.CASE_TITLES[case]), 2)
        self.assertIn("0.50×", table)


class ChartTest(unittest.TestCase):
    def test_one_bar_per_known_ratio_on_the_right_side_of_the_unit_line(self):
        rows = report.comparisons(report.summarize([
            run("talvane-get", "default", 4.0), run("aria2c", "a", 2.0), run("curl", "c", 8.0, chunk="-"),
            run("talvane-get", "default", 1.0, case="verify-disk"), run("aria2c", "a", 1.0, case="verify-disk"),
        ]), ["big"], ["1 MiB"])
        svg = ET.fromstring(report.chart_svg(rows, "t & t").encode())
        bars = [e for e in svg.iter("{http://www.w3.org/2000/svg}rect") if e.get("class") == "bar"]
        # cold: four ratios; verify: the two against aria2c (curl has no verify figure)
        self.assertEqual(len(bars), 6)
        slower, faster = bars[0], bars[1]  # wall ÷ aria2c = 2, wall ÷ curl = 0.5
        self.assertAlmostEqual(float(slower.get("x")), float(faster.get("x")) + float(faster.get("width")), 1)
        self.assertAlmostEqual(float(slower.get("width")), float(faster.get("width")), 1)


if __name__ == "__main__":
    unittest.main()
