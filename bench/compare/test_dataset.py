import os
import statistics
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

import dataset as ds

NS = {"m": "urn:ietf:params:xml:ns:metalink"}


class SizeSpreadTest(unittest.TestCase):
    def test_same_seed_same_sizes_and_every_size_in_bounds(self):
        first = ds.spread_sizes(2000, 64 * ds.KIB, 4 * ds.MIB, 5)
        self.assertEqual(first, ds.spread_sizes(2000, 64 * ds.KIB, 4 * ds.MIB, 5))
        self.assertNotEqual(first, ds.spread_sizes(2000, 64 * ds.KIB, 4 * ds.MIB, 6))
        self.assertTrue(all(64 * ds.KIB <= s <= 4 * ds.MIB for s in first))

    def test_small_and_large_files_are_both_well_represented(self):
        sizes = ds.spread_sizes(2000, 64 * ds.KIB, 4 * ds.MIB, 11)
        # Six octaves between the bounds: each should hold about a sixth.
        self.assertGreater(sum(1 for s in sizes if s < 128 * ds.KIB), 200)
        self.assertGreater(sum(1 for s in sizes if s > 2 * ds.MIB), 200)
        median = statistics.median(sizes)
        self.assertTrue(384 * ds.KIB < median < 700 * ds.KIB, median)

    def test_many_files_have_unique_sorted_paths_in_folders(self):
        d = ds.many_files_dataset(200, 64 * ds.KIB, 4 * ds.MIB, 3)
        paths = [p for p, _ in d.files]
        self.assertEqual(len(set(paths)), 200)
        self.assertEqual(paths, sorted(paths))
        self.assertEqual(len({p.split("/")[0] for p in paths}), 20)

    def test_quick_datasets_are_smaller_than_full_ones(self):
        quick = {d.name: d for d in ds.standard_datasets(True, 1)}
        full = {d.name: d for d in ds.standard_datasets(False, 1)}
        self.assertEqual(quick["big"].total_bytes, 64 * ds.MIB)
        self.assertEqual(full["big"].total_bytes, ds.GIB)
        self.assertEqual((len(quick["many"].files), len(full["many"].files)), (200, 2000))


class ContentTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_written_files_have_their_sizes_and_reproducible_distinct_bytes(self):
        d = ds.Dataset("t", [("a/x.bin", 3 * ds.MIB + 5), ("b.bin", 1000), ("c.bin", 1000)], 9)
        one, two = os.path.join(self.folder.name, "1"), os.path.join(self.folder.name, "2")
        ds.write_dataset(d, one)
        ds.write_dataset(d, two)
        for relative, size in d.files:
            with open(os.path.join(one, relative), "rb") as a, open(os.path.join(two, relative), "rb") as b:
                data = a.read()
                self.assertEqual(len(data), size)
                self.assertEqual(data, b.read())
        with open(os.path.join(one, "b.bin"), "rb") as b, open(os.path.join(one, "c.bin"), "rb") as c:
            self.assertNotEqual(b.read(), c.read())

    def test_piece_checksums_cover_every_piece_including_the_short_last_one(self):
        path = os.path.join(self.folder.name, "f")
        data = bytes(range(256)) * 9 + b"tail"
        with open(path, "wb") as out:
            out.write(data)
        sums = ds.piece_checksums(path, 1000)
        self.assertEqual(len(sums), 3)
        self.assertEqual(sums[2], "%08x" % zlib.adler32(data[2000:]))
        self.assertEqual(sums[0], "%08x" % zlib.adler32(data[:1000]))
        self.assertTrue(all(len(s) == 8 for s in sums))

    def test_cached_pieces_are_reused_and_recomputed_for_another_piece_length(self):
        path = os.path.join(self.folder.name, "f")
        with open(path, "wb") as out:
            out.write(b"a" * 3000)
        cache = os.path.join(self.folder.name, "pieces.json")
        files = [("f", 3000)]
        first = ds.load_or_compute_pieces(cache, self.folder.name, files, 1000)
        with open(path, "wb") as out:
            out.write(b"b" * 3000)
        self.assertEqual(ds.load_or_compute_pieces(cache, self.folder.name, files, 1000), first)
        other = ds.load_or_compute_pieces(cache, self.folder.name, files, 1500)
        self.assertEqual(other["f"], ["%08x" % zlib.adler32(b"b" * 1500)] * 2)


class MetalinkTest(unittest.TestCase):
    def test_every_file_lists_its_size_pieces_and_every_mirror(self):
        files = [("d/a&b.bin", 2500), ("c.bin", 10)]
        pieces = {"d/a&b.bin": ["00000001", "00000002", "00000003"], "c.bin": ["0000000a"]}
        bases = ["http://127.0.0.1:1/p/", "http://127.0.0.1:2/p/", "http://127.0.0.1:3/p/"]
        root = ET.fromstring(ds.metalink_xml(files, pieces, 1000, bases).encode())
        entries = root.findall("m:file", NS)
        self.assertEqual([e.get("name") for e in entries], ["d/a&b.bin", "c.bin"])
        first = entries[0]
        self.assertEqual(first.find("m:size", NS).text, "2500")
        piece_element = first.find("m:pieces", NS)
        self.assertEqual((piece_element.get("length"), piece_element.get("type")), ("1000", "adler32"))
        self.assertEqual([h.text for h in piece_element.findall("m:hash", NS)], pieces["d/a&b.bin"])
        self.assertEqual([u.text for u in first.findall("m:url", NS)], [b + "d/a&b.bin" for b in bases])

    def test_a_wrong_number_of_piece_checksums_is_refused(self):
        with self.assertRaises(ValueError):
            ds.metalink_xml([("a", 2001)], {"a": ["00000000", "00000000"]}, 1000, ["http://h/"])


if __name__ == "__main__":
    unittest.main()
