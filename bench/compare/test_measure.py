import os
import shutil
import signal
import tempfile
import time
import unittest

import measure


def process_running(pid):
    """False once the process is gone or only a zombie waiting for its parent."""
    try:
        with open("/proc/%d/stat" % pid) as source:
            return source.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


class TimeOutputTest(unittest.TestCase):
    def test_figures_are_read_after_a_failure_notice(self):
        figures = measure.parse_time_output("Command exited with non-zero status 1\n1.50 0.25 0.50 20480\n")
        self.assertEqual(figures, {"wall": 1.5, "user": 0.25, "sys": 0.5, "cpu": 0.75, "maxrss_kb": 20480})

    def test_output_without_figures_is_an_error(self):
        with self.assertRaises(ValueError):
            measure.parse_time_output("Command terminated by signal 9\n")

    @unittest.skipUnless(os.access(measure.TIME_BINARY, os.X_OK), "GNU time is not installed")
    def test_a_run_reports_its_exit_status_and_a_hung_one_is_killed(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        done = measure.timed_run(["sh", "-c", "echo out; exit 3"], os.path.join(folder, "a"), timeout=30)
        self.assertEqual((done["exit"], done["timed_out"]), (3, False))
        self.assertIsNotNone(done["wall"])
        with open(os.path.join(folder, "a.out")) as out:
            self.assertEqual(out.read(), "out\n")
        started = time.monotonic()
        hung = measure.timed_run(["sleep", "60"], os.path.join(folder, "b"), timeout=1)
        self.assertTrue(hung["timed_out"])
        self.assertLess(time.monotonic() - started, 30)

    @unittest.skipUnless(os.access(measure.TIME_BINARY, os.X_OK), "GNU time is not installed")
    def test_an_interrupted_wait_kills_the_run_before_passing_the_interruption_on(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        pid_file = os.path.join(folder, "pid")

        def interrupt(signum, frame):
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGALRM, interrupt)
        self.addCleanup(signal.signal, signal.SIGALRM, previous)
        signal.setitimer(signal.ITIMER_REAL, 1.0)
        with self.assertRaises(KeyboardInterrupt):
            measure.timed_run(["sh", "-c", "echo $$ > %s; exec sleep 60" % pid_file], os.path.join(folder, "c"),
                              timeout=60)
        with open(pid_file) as source:
            pid = int(source.read())
        deadline = time.monotonic() + 10
        while process_running(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(process_running(pid))


class DestinationTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        self.reference = os.path.join(self.folder, "ref")
        self.dest = os.path.join(self.folder, "dest")
        self.files = [("a.bin", 5000), ("s/b.bin", 3000), ("s/c.bin", 10), ("d.bin", 1)]
        for relative, size in self.files:
            path = os.path.join(self.reference, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(os.urandom(size))
        measure.copy_reference(self.dest, self.reference, self.files)

    def read(self, root, relative):
        with open(os.path.join(root, relative), "rb") as source:
            return source.read()

    def test_an_identical_copy_has_no_problem(self):
        self.assertEqual(measure.compare_tree(self.dest, self.reference, self.files), [])

    def test_one_changed_byte_a_missing_file_a_short_file_and_a_leftover_are_each_reported(self):
        with open(os.path.join(self.dest, "a.bin"), "r+b") as out:
            out.seek(4999)
            last = out.read(1)
            out.seek(4999)
            out.write(bytes([last[0] ^ 1]))
        os.remove(os.path.join(self.dest, "s/b.bin"))
        os.truncate(os.path.join(self.dest, "s/c.bin"), 9)
        with open(os.path.join(self.dest, "a.bin.aria2"), "wb"):
            pass
        problems = measure.compare_tree(self.dest, self.reference, self.files)
        self.assertEqual(sorted(problems), sorted([
            "different bytes: a.bin", "missing s/b.bin", "size 9 instead of 10: s/c.bin",
            "unexpected file a.bin.aria2"]))

    def test_half_of_many_files_is_removed_every_second_one(self):
        missing = measure.make_half_present(self.dest, self.files, "zero-tail")
        self.assertEqual(missing, ["s/b.bin", "d.bin"])
        self.assertEqual(sorted(measure.compare_tree(self.dest, self.reference, self.files)),
                         ["missing d.bin", "missing s/b.bin"])

    def test_a_single_file_keeps_its_first_half_and_loses_the_second(self):
        single = [("a.bin", 5000)]
        original = self.read(self.reference, "a.bin")
        measure.make_half_present(self.dest, single, "zero-tail")
        data = self.read(self.dest, "a.bin")
        self.assertEqual(data[:2500], original[:2500])
        self.assertEqual(data[2500:], bytes(2500))
        measure.copy_reference(self.dest, self.reference, self.files)
        measure.make_half_present(self.dest, single, "truncate")
        self.assertEqual(self.read(self.dest, "a.bin"), original[:2500])

    def test_zero_range_leaves_the_bytes_around_it(self):
        path = os.path.join(self.dest, "a.bin")
        original = self.read(self.dest, "a.bin")
        measure.zero_range(path, 100, 50)
        data = self.read(self.dest, "a.bin")
        self.assertEqual((data[:100], data[100:150], data[150:]), (original[:100], bytes(50), original[150:]))


if __name__ == "__main__":
    unittest.main()
