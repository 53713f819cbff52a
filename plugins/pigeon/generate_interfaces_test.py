#!/usr/bin/python3
"""Tests of generate_interfaces.py on a copy of the repository's tables: the drift check catches a
table edited without regenerating, and malformed tables are refused with the line that is wrong."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
GENERATOR = os.path.join(HERE, "generate_interfaces.py")
TABLES = ["plugins/shared_preferences_foundation", "plugins/zevevidi_core", "plugins/pigeon/testdata"]

MINIMAL = """package p
form value
codec C
record R 129
  a string
api A host
  m(x R) -> void
"""


def run(root, *arguments):
    return subprocess.run(["/usr/bin/python3", GENERATOR, "--root", root, *arguments],
                          capture_output=True, text=True)


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        for folder in TABLES:
            os.makedirs(os.path.join(self.root, folder))
            for name in ("channel_table.txt", "messages.h", "messages.cpp"):
                shutil.copy(os.path.join(REPO, folder, name), os.path.join(self.root, folder))

    def tearDown(self):
        shutil.rmtree(self.root)

    def edit(self, folder, old, new):
        path = os.path.join(self.root, folder, "channel_table.txt")
        with open(path, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(old, text)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new, 1))

    def test_committed_files_match_and_an_edit_without_regenerating_is_drift(self):
        self.assertEqual(run(self.root, "--check").returncode, 0)
        edits = [
            ("plugins/zevevidi_core", "  appGroupId string?\n", "  appGroupId string\n"),
            ("plugins/shared_preferences_foundation", "  remove(key string) -> void\n",
             "  remove(key string) -> bool\n"),
            ("plugins/pigeon/testdata", "light dark", "light dark dim"),
        ]
        for folder, old, new in edits:
            with self.subTest(folder=folder):
                self.edit(folder, old, new)
                result = run(self.root, "--check")
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(folder + "/messages", result.stdout)
                # Regenerating brings the tree back in line.
                self.assertEqual(run(self.root).returncode, 0)
                self.assertEqual(run(self.root, "--check").returncode, 0)

    def test_malformed_tables_are_refused_with_their_line(self):
        folder = os.path.join(self.root, "plugins", "bad")
        os.makedirs(folder)
        # (line of MINIMAL, what replaces it, what the refusal says)
        cases = [
            ("record R 129\n", "record R 130\n", "expected 129"),
            ("  a string\n", "  a strin\n", "unknown type 'strin'"),
            ("  m(x R) -> void\n", "  m(x void) -> void\n", "void is only a result"),
            ("  m(x R) -> void\n", "  m(args R) -> void\n", "a name the generated code uses"),
            ("api A host\n", "api A proxy WKWebView\n", "proxy interfaces are not generated"),
            ("  m(x R) -> void\n", "  constructor m(x R)\n", "proxy members are not generated"),
            ("  m(x R) -> void\n", "  m(x instance<R>) -> void\n", "proxy references"),
            ("  m(x R) -> void\n", "  m(x R) => void\n", "a method is"),
            ("  m(x R) -> void\n", "  m(x string!) -> void\n", "'!' marks a bool"),
            ("  a string\n", "  a bool!\n", "'!' marks a bool"),
            ("form value\n", "form blocks\n", "cannot read"),
            ("codec C\n", "", "no 'codec' line"),
        ]
        for line, replacement, message in cases:
            with self.subTest(message=message):
                with open(os.path.join(folder, "channel_table.txt"), "w", encoding="utf-8") as f:
                    f.write(MINIMAL.replace(line, replacement))
                result = run(self.root)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("plugins/bad/channel_table.txt", result.stderr)
        with open(os.path.join(folder, "channel_table.txt"), "w", encoding="utf-8") as f:
            f.write(MINIMAL)
        self.assertEqual(run(self.root).returncode, 0)
        self.assertTrue(os.path.exists(os.path.join(folder, "messages.h")))


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
