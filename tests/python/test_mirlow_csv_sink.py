"""The "csv_sink" op of _mirlow: handle resolution, row choice, the file format and its failures."""

import csv
import os
import subprocess
import sys
import tempfile
import textwrap
import types
import unittest

import ravelin
import _mirlow

MODULE_DIR = os.path.dirname(os.path.abspath(_mirlow.__file__))


def sink(payload):
    return ravelin.run_op("csv_sink", payload)


class CsvSinkTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def read_bytes(self, path):
        with open(path, "rb") as f:
            return f.read()

    def read_rows(self, path):
        with open(path, newline="", encoding="utf-8") as f:
            return list(csv.reader(f))

    def test_relative_path_creates_the_directory_and_writes_the_header_once(self):
        old_cwd = os.getcwd()
        os.chdir(self.tmp)
        self.addCleanup(os.chdir, old_cwd)

        payload = {"csvPath": "out/a.csv", "stats": {"mean": 2.0, "se": 0.5}}
        self.assertIs(sink(payload), payload)
        self.assertEqual(payload["status"], "handled via csv://out/a.csv")
        self.assertEqual(self.read_bytes(self.path("out", "a.csv")), b"mean,se\n2.0,0.5\n")

        sink({"csvPath": "out/a.csv", "stats": {"mean": 2.0, "se": 0.5}})
        self.assertEqual(self.read_bytes(self.path("out", "a.csv")), b"mean,se\n2.0,0.5\n2.0,0.5\n")

    def test_existing_empty_file_gets_the_header(self):
        path = self.path("empty.csv")
        open(path, "wb").close()
        sink({"csvPath": path, "data": {"x": 1}})
        self.assertEqual(self.read_bytes(path), b"x\n1\n")

    def test_later_rows_are_appended_as_they_are(self):
        path = self.path("a.csv")
        sink({"csvPath": path, "data": {"a": 1, "b": 2}})
        sink({"csvPath": path, "data": {"b": 3, "c": 4, "d": 5}})
        self.assertEqual(self.read_bytes(path), b"a,b\n1,2\n3,4,5\n")

    def test_handle_resolution(self):
        a, b, c = self.path("a.csv"), self.path("b.csv"), self.path("c.csv")
        row = {"data": {"v": 1}}
        cases = [
            ("handleUri before handle and csvPath", {"handleUri": "csv://" + a, "handle": "csv://" + b, "csvPath": c},
             "csv://" + a, a),
            ("handle before csvPath", {"handle": "csv://" + b, "csvPath": c}, "csv://" + b, b),
            ("csvPath", {"csvPath": c}, "csv://" + c, c),
            ("bytes", {"handleUri": ("csv://" + a).encode()}, "csv://" + a, a),
            ("bytearray path", {"csvPath": bytearray(b.encode())}, "csv://" + b, b),
            ("another scheme", {"handle": "file://" + a}, "file://" + a, None),
            ("scheme is case-sensitive", {"handleUri": "CSV://" + a}, "CSV://" + a, None),
            ("a present handleUri hides the other keys", {"handleUri": "", "csvPath": c}, "", None),
            ("no handle key", {}, "", None),
        ]
        for label, handles, status, written in cases:
            with self.subTest(label):
                for p in (a, b, c):
                    if os.path.exists(p):
                        os.remove(p)
                payload = sink({**handles, **row})
                self.assertEqual(payload["status"], "handled via " + status)
                self.assertEqual([p for p in (a, b, c) if os.path.exists(p)], [written] if written else [])
                if written:
                    self.assertEqual(self.read_bytes(written), b"v\n1\n")

    def test_row_choice(self):
        cases = [
            ("data dict", {"data": {"a": 1, "b": "x"}, "stats": {"mean": 1.5}}, b"a,b\n1,x\n"),
            ("data mapping", {"data": types.MappingProxyType({"k": 2})}, b"k\n2\n"),
            ("data pairs", {"data": [("a", 1), ("b", 2)]}, b"a,b\n1,2\n"),
            ("data list of numbers gives way to stats", {"data": [1.0, 2.0], "stats": {"mean": 1.5}}, b"mean\n1.5\n"),
            ("data number", {"data": 3.5}, b"value\n3.5\n"),
            ("data str refused by dict()", {"data": "ab"}, b"value\nab\n"),
            ("data None", {"data": None}, b"value\nNone\n"),
            ("stats refused, data kept as value", {"data": 3, "stats": "x"}, b"value\n3\n"),
            ("stats refused, mean and se", {"stats": 4, "mean": 1.0, "se": 0.1}, b"mean,se\n1.0,0.1\n"),
            ("mean and se", {"mean": 1.0, "se": 0.1}, b"mean,se\n1.0,0.1\n"),
            ("mean alone", {"mean": 1.0}, b"mean\n1.0\n"),
            ("empty data dict ends the choice", {"data": {}, "stats": {"mean": 1.0}}, None),
            ("se without mean", {"se": 0.1}, None),
            ("nothing", {}, None),
        ]
        for i, (label, keys, expected) in enumerate(cases):
            with self.subTest(label):
                path = self.path(f"row{i}.csv")
                payload = sink({"csvPath": path, **keys})
                self.assertEqual(payload["status"], "handled via csv://" + path)
                if expected is None:
                    self.assertFalse(os.path.exists(path))
                else:
                    self.assertEqual(self.read_bytes(path), expected)

    def test_cell_text_is_python_str(self):
        path = self.path("cells.csv")
        row = {"f": 0.1, "two": 2.0, "small": 1e-05, "i": 42, "t": True, "n": None, "nan": float("nan"),
               "inf": float("inf"), "text": "µ ä", "raw": "x"}
        sink({"csvPath": path, "data": row})
        self.assertEqual(self.read_bytes(path),
                         "f,two,small,i,t,n,nan,inf,text,raw\n0.1,2.0,1e-05,42,True,None,nan,inf,µ ä,x\n".encode())

    def test_fields_that_need_it_are_quoted_and_read_back(self):
        # The list's display holds a comma too.
        row = {"plain": "a b", "comma,key": "x,y", "quote": 'say "hi"', "lf": "one\ntwo", "cr": "one\rtwo",
               "list": [1.0, 2.0], "single'": "it's"}
        path = self.path("quoted.csv")
        sink({"csvPath": path, "data": row})
        sink({"csvPath": path, "data": row})
        self.assertEqual(
            self.read_bytes(path).decode().split("\n", 1)[0],
            'plain,"comma,key",quote,lf,cr,list,single\'')
        line = 'a b,"x,y","say ""hi""","one\ntwo","one\rtwo","[1.0, 2.0]",it\'s\n'
        self.assertEqual(self.read_bytes(path).decode().split("\n", 1)[1], line + line)
        self.assertEqual(self.read_rows(path),
                         [list(row), [str(v) for v in row.values()], [str(v) for v in row.values()]])

    def test_handle_of_another_type_fails_before_anything_is_done(self):
        path = self.path("h.csv")
        for handles in ({"handleUri": 5}, {"handleUri": None, "csvPath": path}, {"handle": 1.0},
                        {"csvPath": ["x"]}):
            with self.subTest(handles=handles):
                payload = {**handles, "data": {"a": 1}}
                with self.assertRaises(RuntimeError):
                    sink(payload)
                self.assertNotIn("status", payload)
        self.assertEqual(os.listdir(self.tmp), [])

    def test_file_that_cannot_be_opened(self):
        blocker = self.path("not-a-dir")
        open(blocker, "w").close()
        for path in (os.path.join(blocker, "sub", "a.csv"), ""):
            with self.subTest(path=path):
                payload = {"handleUri": "csv://" + path, "data": {"a": 1}}
                with self.assertRaises(RuntimeError) as cm:
                    sink(payload)
                self.assertEqual(str(cm.exception), "csv_sink_op: failed to open file: " + path)
                self.assertNotIn("status", payload)

    def test_paths_that_the_file_system_would_misread_fail_before_writing(self):
        cases = [
            # The system calls would stop at the NUL and write the file "n".
            ("embedded NUL", {"csvPath": self.path("n\x00ul.csv")}, RuntimeError,
             "csv_sink_op: failed to open file: " + self.path("n\\0ul.csv")),
            # A file could be written, but its status could not be reported.
            ("bytes that are not UTF-8", {"csvPath": os.fsencode(self.tmp) + b"/\xff.csv"},
             UnicodeDecodeError, None),
            ("lone surrogate", {"csvPath": self.path("\ud800.csv")}, RuntimeError, None),
        ]
        for label, handle, error, message in cases:
            with self.subTest(label):
                payload = {**handle, "data": {"a": 1}}
                with self.assertRaises(error) as cm:
                    sink(payload)
                if message is not None:
                    self.assertEqual(str(cm.exception), message)
                self.assertNotIn("status", payload)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_directory_path_fails_with_the_file_system_error(self):
        path = self.path("dir.csv")
        os.mkdir(path)
        payload = {"csvPath": path, "data": {"a": 1}}
        with self.assertRaises(RuntimeError) as cm:
            sink(payload)
        self.assertIn("filesystem error", str(cm.exception))
        self.assertIn(path, str(cm.exception))
        self.assertNotIn("status", payload)
        self.assertEqual(os.listdir(path), [])

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_full_device_reports_a_failed_write(self):
        payload = {"csvPath": "/dev/full", "data": {"a": 1}}
        with self.assertRaises(RuntimeError) as cm:
            sink(payload)
        self.assertEqual(str(cm.exception), "csv_sink_op: failed to write file: /dev/full")
        self.assertNotIn("status", payload)

    def test_regular_file_that_cannot_grow_reports_a_failed_write(self):
        # A file-size limit makes the write fail as a full disk would.
        path = self.path("limited.csv")
        code = textwrap.dedent(f"""
            import resource, signal
            import ravelin, _mirlow
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (16, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
            payload = {{"csvPath": {path!r}, "data": {{"text": "x" * 100}}}}
            try:
                ravelin.run_op("csv_sink", payload)
            except RuntimeError as exc:
                print(exc)
            print("status" in payload)
        """)
        env = dict(os.environ, PYTHONPATH=MODULE_DIR, PYTHONDONTWRITEBYTECODE="1")
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), ["csv_sink_op: failed to write file: " + path, "False"])

    def test_bad_row_writes_nothing_and_creates_no_file(self):
        class BadStr:
            def __str__(self):
                raise ArithmeticError("no text")

        cases = [
            ("int key", {1: "a"}, RuntimeError),
            ("int key after good ones", {"a": 1, 2: "b"}, RuntimeError),
            ("bytes key", {"a": 1, b"b": 2}, KeyError),
            ("str() raises", {"a": BadStr()}, ArithmeticError),
        ]
        existing = self.path("existing.csv")
        with open(existing, "wb") as f:
            f.write(b"a\n1\n")
        for label, row, error in cases:
            with self.subTest(label):
                new = self.path("new", "dir", "a.csv")
                for path in (new, existing):
                    payload = {"csvPath": path, "data": row}
                    with self.assertRaises(error):
                        sink(payload)
                    self.assertNotIn("status", payload)
                self.assertFalse(os.path.exists(self.path("new")))
                self.assertEqual(self.read_bytes(existing), b"a\n1\n")


if __name__ == "__main__":
    unittest.main()
