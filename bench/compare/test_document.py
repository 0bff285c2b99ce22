import unittest

import document
import report


def meta(aria2c_verifies=True):
    tool = {"exit": 1, "identical": False, "checksum_message": "", "wall": 0.1, "timed_out": False}
    return {
        "command": "bash bench/compare/run.sh", "started": "s", "finished": "f", "revision": "abc",
        "talvane_get_extra_args": [], "reps": 3, "quick": False,
        "machine": {"nproc": 2, "cpu": "cpu", "kernel": "k", "memory": "1 GiB", "destination_fs": "ext4",
                    "tmpfs_fs": "tmpfs", "aria2c": "aria2 version 1", "curl": "curl 7 (x)", "nginx": "nginx 1"},
        "loadavg_before": "0.1", "loadavg_after": "0.2", "caches": ["dropped"],
        "datasets": [{"name": "big", "files": 1, "bytes": 1 << 30, "smallest": 1 << 30, "largest": 1 << 30}],
        "aria2c_settings": {"big": [["x1-s3", "-x1 -s3"]]},
        "sanity": {"offset": 7, "piece": 0, "aria2c": dict(tool, checksum_message="Invalid checksum index=0"),
                   "talvane-get": tool, "curl": dict(tool, exit=0), "aria2c_after_restore": dict(tool, exit=0),
                   "aria2c_verifies": aria2c_verifies, "talvane_get_detects": True, "harness_detects_curl": True},
    }


def runs(talvane_wall):
    return [
        {"dataset": "big", "case": "cold-disk", "chunk": "1 MiB", "tool": "talvane-get", "variant": "default",
         "ok": True, "wall": talvane_wall, "cpu": 1.0, "maxrss_kb": 2048},
        {"dataset": "big", "case": "cold-disk", "chunk": "1 MiB", "tool": "aria2c", "variant": "x1-s3",
         "ok": True, "wall": 2.0, "cpu": 1.0, "maxrss_kb": 2048},
    ]


def render(meta_value, run_list, doc="/r/docs/benchmarks.md", wan_doc=None):
    summary = report.summarize(run_list)
    rows = report.comparisons(summary, ["big"], ["1 MiB"])
    return document.render(meta_value, summary, rows, doc, "/r/docs/images/b.svg",
                           "/r/bench/compare/results", wan_doc=wan_doc)


class DocumentTest(unittest.TestCase):
    def test_links_are_relative_to_the_document_and_figures_come_from_the_runs(self):
        text = render(meta(), runs(1.0))
        self.assertIn("](images/b.svg)", text)
        self.assertIn("`../bench/compare/results/runs.csv`", text)
        self.assertIn("| cold, to disk | 1 MiB | 1.00 |", text)
        self.assertIn("0.50×", text)
        self.assertIn("- none: talvane-get is within 10 % of the best", text)
        self.assertNotIn("benchmarks-wan", text)

    def test_the_wide_area_report_is_linked_from_wherever_this_one_is_written(self):
        wan = "/r/docs/benchmarks-wan.md"
        self.assertIn("[benchmarks-wan.md](benchmarks-wan.md)", render(meta(), runs(1.0), wan_doc=wan))
        quick = render(meta(), runs(1.0), doc="/r/bench/compare/results/quick/benchmarks.md", wan_doc=wan)
        self.assertIn("[benchmarks-wan.md](../../../../docs/benchmarks-wan.md)", quick)

    def test_a_slower_talvane_get_is_listed_and_an_unverifying_aria2c_is_said_so(self):
        text = render(meta(aria2c_verifies=False), runs(3.0))
        self.assertIn("1.50× the wall time of aria2c (x1-s3)", text)
        self.assertIn("aria2c verifies the pieces: **NO**", text)
        self.assertIn("`Invalid checksum index=0`", text)


if __name__ == "__main__":
    unittest.main()
