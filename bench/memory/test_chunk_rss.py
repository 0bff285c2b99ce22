import unittest

import chunk_rss


def run(case, subject, ok, wall, rss_kb):
    return {"case": case, "subject": subject, "ok": ok, "wall": wall, "maxrss_kb": rss_kb}


class GrowManifestTest(unittest.TestCase):
    def test_the_grown_manifest_has_the_size_asked_and_keeps_every_byte_of_the_original(self):
        text = '<package id="p"><files><file path="a" size="1"/></files></package>'
        for size in (len(text), len(text) + 3, 4096):
            grown = chunk_rss.grow_manifest(text, size)
            self.assertEqual(len(grown), size)
            self.assertEqual(grown.replace("<x/>", "").replace(" ", ""), text.replace(" ", ""))
            self.assertTrue(grown.endswith("<files><file path=\"a\" size=\"1\"/></files></package>"))
        with self.assertRaises(ValueError):
            chunk_rss.grow_manifest(text, len(text) - 1)


class SummaryTest(unittest.TestCase):
    def test_medians_count_only_good_runs_and_ratios_are_to_the_first_subject(self):
        runs = [
            run("a", "base", True, 2.0, 100 * 1024), run("a", "base", True, 4.0, 300 * 1024),
            run("a", "base", True, 9.0, 200 * 1024),
            run("a", "new", True, 2.0, 50 * 1024), run("a", "new", False, 0.1, 1024),
            run("b", "base", False, 1.0, 1024), run("b", "new", True, 1.0, 1024),
        ]
        rows = chunk_rss.summarize(runs, ["a", "b"], ["base", "new"])
        self.assertEqual([(r["case"], r["subject"], r["ok"], r["runs"]) for r in rows],
                         [("a", "base", 3, 3), ("a", "new", 1, 2), ("b", "base", 0, 1), ("b", "new", 1, 1)])
        self.assertEqual((rows[0]["wall_s"], rows[0]["rss_mib"], rows[0]["rss_ratio"]), (4.0, 200.0, None))
        self.assertEqual((rows[1]["wall_ratio"], rows[1]["rss_ratio"]), (0.5, 0.25))
        # Without a good run of the first subject there is nothing to compare with.
        self.assertEqual((rows[2]["wall_s"], rows[3]["wall_s"], rows[3]["rss_ratio"]), (None, 1.0, None))
        table = chunk_rss.markdown(rows, ["base", "new"]).splitlines()
        self.assertEqual(len(table), 2 + len(rows))
        self.assertIn("RSS / base", table[0])
        self.assertEqual(table[3], "| a | new | 1/2 | 2.00 | 50.0 | 0.50 | 0.25 |")
        self.assertEqual(table[4], "| b | base | 0/1 | - | - | - | - |")


if __name__ == "__main__":
    unittest.main()
