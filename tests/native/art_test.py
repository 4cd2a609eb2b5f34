#!/usr/bin/python3
"""The pictures in res/ are what res/make_art.py draws: a changed script with stale
files, or a file edited by hand, fails here."""
import filecmp
import os
import subprocess
import sys
import tempfile
import unittest

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res")
GENERATED = ["icon.ico", "background.jpg"] + ["lang_%d.bmp" % i for i in range(243, 256)]


class ArtTest(unittest.TestCase):
    def test_committed_files_are_the_scripts_output(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run(["/usr/bin/python3", os.path.join(RES, "make_art.py"), out], check=True)
            self.assertEqual(sorted(os.listdir(out)), sorted(GENERATED))
            for name in GENERATED:
                with self.subTest(name):
                    self.assertTrue(filecmp.cmp(os.path.join(out, name), os.path.join(RES, name),
                                                shallow=False), "res/%s differs from make_art.py's" % name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
