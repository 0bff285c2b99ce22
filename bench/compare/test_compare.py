import unittest

import compare


class RunOrderTest(unittest.TestCase):
    def test_every_repetition_runs_every_subject_once_in_a_reproducible_order_of_its_own(self):
        specs = [{"tool": "t%d" % i} for i in range(8)]
        orders = [[s["tool"] for s in compare.run_order(specs, 7, rep, "big", "disk")] for rep in range(1, 6)]
        for order in orders:
            self.assertEqual(sorted(order), sorted(s["tool"] for s in specs))
        self.assertEqual(orders[0], [s["tool"] for s in compare.run_order(specs, 7, 1, "big", "disk")])
        self.assertGreater(len({tuple(o) for o in orders}), 1)
        self.assertGreater(len({o[0] for o in orders}), 1)
        self.assertEqual([s["tool"] for s in specs], ["t%d" % i for i in range(8)])


if __name__ == "__main__":
    unittest.main()
