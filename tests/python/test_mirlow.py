"""_mirlow: registration, the payload readers, the FIFO window op, and the three ops in a pipeline."""

import csv
import itertools
import math
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import ravelin
import _kestrum
import _mirlow

MODULE_DIR = os.path.dirname(os.path.abspath(_mirlow.__file__))
_ids = itertools.count()


def fresh_id():
    """A FIFO id no other test has used: the op's store can't be reset from Python."""
    return f"test-mirlow-{next(_ids)}"


def fifo(payload):
    return ravelin.run_op("fifo_window_buffer", payload)


def run_python(code, *path_before):
    """Runs code in a fresh interpreter with build/python (after path_before) on the import path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([*path_before, MODULE_DIR]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=60)


class ImportTest(unittest.TestCase):
    def test_import_registers_the_three_ops_in_order_once(self):
        result = run_python("""
            import sys, ravelin
            before = ravelin.registered_ops()
            import _mirlow
            print(before)
            print(ravelin.registered_ops())
            print(_mirlow.__doc__)
            # A fresh process's default FIFO starts empty, and the op creates it.
            print(ravelin.run_op("fifo_window_buffer", {})["window"])
            del sys.modules["_mirlow"]
            import _mirlow as again
            print(again is _mirlow, ravelin.registered_ops())
        """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
            "[]",
            "['fifo_window_buffer', 'average', 'csv_sink']",
            "C++ ravelin ops for norvane (register_cpp_op via capsule)",
            "[]",
            "True ['fifo_window_buffer', 'average', 'csv_sink']",
        ])

    def test_import_fails_with_import_error_when_the_host_gives_no_entry_point(self):
        wrong_name = ("import ctypes\n"
                      "ctypes.pythonapi.PyCapsule_New.restype = ctypes.py_object\n"
                      "ctypes.pythonapi.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n"
                      "_register_op_capsule = ctypes.pythonapi.PyCapsule_New(1, b'ravelin.other', None)\n")
        no_pointer = "Failed to obtain register_op_c_api from ravelin capsule"
        cases = [
            ("no capsule attribute", "", "initialization failed", "AttributeError"),
            ("host import fails", "raise OSError('host broken')\n", "initialization failed", "OSError"),
            ("not a capsule", "_register_op_capsule = 5\n", no_pointer, "NoneType"),
            ("capsule of another name", wrong_name, no_pointer, "NoneType"),
        ]
        for label, host_source, message, cause in cases:
            with self.subTest(label), tempfile.TemporaryDirectory() as fake:
                os.mkdir(os.path.join(fake, "ravelin"))
                with open(os.path.join(fake, "ravelin", "__init__.py"), "w") as f:
                    f.write(host_source)
                result = run_python("""
                    try:
                        import _mirlow
                    except ImportError as exc:
                        print(exc)
                        print(type(exc.__cause__).__name__)
                    else:
                        print("imported")
                """, fake)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.splitlines(), [message, cause])


class PayloadReaderTest(unittest.TestCase):
    """The sample readers, seen through the FIFO window op with no bound on a fresh FIFO."""

    def read_samples(self, payload):
        return fifo(dict(payload, fifoId=fresh_id()))["window"]

    def test_sample_values(self):
        class Index:
            def __index__(self):
                return 3

        cases = [
            ("list", [1, 2.5, True], [1.0, 2.5, 1.0]),
            ("tuple", (1, 2), [1.0, 2.0]),
            ("range", range(3), [0.0, 1.0, 2.0]),
            ("bytearray", bytearray(b"\x01\x02"), [1.0, 2.0]),
            ("generator", (x * 2 for x in (3, 1, 2)), [6.0, 2.0, 4.0]),
            ("dict values view", {"b": 2, "a": 1}.values(), [2.0, 1.0]),
            ("set", {7}, [7.0]),
            ("map", map(float, "12"), [1.0, 2.0]),
            ("one int", 5, [5.0]),
            ("one float", -0.5, [-0.5]),
            ("one bool", True, [1.0]),
            ("object with __index__", Index(), [3.0]),
            ("list of objects with __index__", [Index(), Index()], [3.0, 3.0]),
            ("None", None, []),
            ("str", "12", []),
            ("bytes", b"\x01\x02", []),
            ("dict", {"a": 1}, []),
            ("list with a str element", [1, "2"], []),
            ("nested list", [[1.0]], []),
            ("zip of pairs", zip([1], [2]), []),
        ]
        for label, value, expected in cases:
            with self.subTest(label):
                window = self.read_samples({"values": value})
                self.assertEqual(window, expected)
                self.assertTrue(all(type(x) is float for x in window))

    def test_first_present_key_wins_even_when_it_reads_as_empty(self):
        cases = [
            ({"sampleChunk": [1], "values": [2], "data": [3]}, [1.0]),
            ({"values": [2], "data": [3]}, [2.0]),
            ({"data": [3]}, [3.0]),
            ({"sampleChunk": [], "values": [1]}, []),
            ({"sampleChunk": None, "values": [1]}, []),
            ({"values": "abc", "data": [3]}, []),
        ]
        for payload, expected in cases:
            with self.subTest(payload=payload):
                self.assertEqual(self.read_samples(payload), expected)

    def test_python_errors_are_raised_as_themselves_before_the_fifo_is_touched(self):
        def failing_generator():
            yield 1.0
            raise ZeroDivisionError("generator broke")

        class BadLength(list):
            def __len__(self):
                raise OverflowError("no length")

        class FailingPayload(dict):
            def __getitem__(self, key):
                raise LookupError(f"cannot read {key}")

        cases = [
            ("generator raises", {"values": failing_generator()}, ZeroDivisionError),
            ("length raises", {"values": BadLength([1.0])}, OverflowError),
            ("payload lookup raises", FailingPayload(values=[1.0]), LookupError),
        ]
        for label, payload, error in cases:
            with self.subTest(label):
                fifo_id = fresh_id()
                fifo({"values": [9.0], "fifoId": fifo_id})
                payload["fifoId"] = fifo_id
                with self.assertRaises(error):
                    fifo(payload)
                self.assertNotIn("window", payload)
                self.assertEqual(fifo({"fifoId": fifo_id})["window"], [9.0])


class FifoWindowOpTest(unittest.TestCase):
    def test_sliding_window_over_successive_calls(self):
        fifo_id = fresh_id()
        self.assertEqual(fifo({"values": [1, 2, 3], "windowSize": 2, "fifoId": fifo_id})["window"], [2.0, 3.0])
        self.assertEqual(fifo({"values": [4], "windowSize": 2, "fifoId": fifo_id})["window"], [3.0, 4.0])
        # A larger size lets the window grow again; a smaller one trims at once.
        self.assertEqual(fifo({"values": [5], "windowSize": 4, "fifoId": fifo_id})["window"], [3.0, 4.0, 5.0])
        self.assertEqual(fifo({"windowSize": 1, "fifoId": fifo_id})["window"], [5.0])

    def test_window_size(self):
        class Index:
            def __index__(self):
                return 2

        samples = [1, 2, 3, 4, 5]
        cases = [
            ("windowSize int", {"windowSize": 2}, [4.0, 5.0]),
            ("window_size int", {"window_size": 3}, [3.0, 4.0, 5.0]),
            ("windowSize before window_size", {"windowSize": 1, "window_size": 3}, [5.0]),
            ("bad windowSize does not fall back", {"windowSize": "2", "window_size": 3}, samples),
            ("True is 1", {"windowSize": True}, [5.0]),
            ("__index__", {"windowSize": Index()}, [4.0, 5.0]),
            ("float", {"windowSize": 3.0}, samples),
            ("str", {"windowSize": "3"}, samples),
            ("None", {"windowSize": None}, samples),
            ("negative", {"windowSize": -4}, samples),
            ("beyond 32 bits", {"windowSize": 2**31}, samples),
            ("larger than the window", {"windowSize": 10}, samples),
            ("absent", {}, samples),
        ]
        for label, sizes, expected in cases:
            with self.subTest(label):
                payload = {"values": samples, "fifoId": fresh_id(), **sizes}
                self.assertEqual(fifo(payload)["window"], [float(x) for x in expected])

    def test_fifo_ids(self):
        base = fresh_id()
        fifo({"values": [1.0], "fifoId": base})
        # str, bytes and bytearray of the same text name one FIFO.
        self.assertEqual(fifo({"values": [2.0], "fifoId": base.encode()})["window"], [1.0, 2.0])
        self.assertEqual(fifo({"fifoId": bytearray(base.encode())})["window"], [1.0, 2.0])
        # Other ids, the empty one and a case variant included, keep windows of their own.
        fifo({"values": [3.0], "fifoId": base + "-other"})
        self.assertEqual(fifo({"fifoId": base})["window"], [1.0, 2.0])
        self.assertEqual(fifo({"fifoId": base.upper()})["window"], [])
        before_default = fifo({})["window"]
        fifo({"values": [4.0], "fifoId": ""})
        self.assertEqual(fifo({})["window"], before_default)
        self.assertEqual(fifo({"fifoId": ""})["window"][-1], 4.0)

    def test_fifo_id_of_another_type_fails_and_changes_nothing(self):
        before_default = fifo({})["window"]
        for fifo_id in (7, None, 1.5, ["default"]):
            with self.subTest(fifo_id=fifo_id):
                payload = {"values": [1.0], "fifoId": fifo_id, "window": "earlier"}
                with self.assertRaises(RuntimeError):
                    fifo(payload)
                self.assertEqual(payload["window"], "earlier")
        self.assertEqual(fifo({})["window"], before_default)

    def test_writes_only_a_new_window_list(self):
        fifo_id = fresh_id()
        payload = {"values": (1, 2), "fifoId": fifo_id, "window": [0.0], "other": "kept"}
        result = fifo(payload)
        self.assertIs(result, payload)
        self.assertEqual(payload, {"values": (1, 2), "fifoId": fifo_id, "window": [1.0, 2.0], "other": "kept"})
        payload["window"].append(99.0)
        self.assertEqual(fifo({"fifoId": fifo_id})["window"], [1.0, 2.0])

    def test_store_is_apart_from_the_one_in_kestrum(self):
        fifo_id = fresh_id()
        self.assertEqual(_kestrum.fifo_window_buffer([1.0, 2.0], 0, fifo_id), [1.0, 2.0])
        # The op does not see the window kept through _kestrum ...
        self.assertEqual(fifo({"values": [9.0], "fifoId": fifo_id})["window"], [9.0])
        # ... nor _kestrum the op's.
        self.assertEqual(_kestrum.fifo_window_buffer([], 0, fifo_id), [1.0, 2.0])
        # And _kestrum's resets leave the op's windows alone.
        _kestrum.reset_fifo(fifo_id)
        _kestrum.reset_all_fifos()
        self.assertEqual(fifo({"fifoId": fifo_id})["window"], [9.0])
        self.assertEqual(_kestrum.fifo_window_buffer([], 0, fifo_id), [])


class PipelineTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def test_window_average_and_csv_line_per_run(self):
        path = os.path.join(self.tmp, "runs", "stats.csv")
        pipeline = ravelin.Pipeline(["fifo_window_buffer", "average", "csv_sink"])
        fifo_id = fresh_id()
        for sample in (1.0, 2.0, 3.0, 6.0):
            payload = {"values": [sample], "windowSize": 3, "fifoId": fifo_id, "csvPath": path}
            self.assertIs(pipeline.run(payload), payload)
            self.assertEqual(payload["status"], "handled via csv://" + path)

        with open(path, newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["mean", "se", "standardError"])
        windows = [[1.0], [1.0, 2.0], [1.0, 2.0, 3.0], [2.0, 3.0, 6.0]]
        self.assertEqual(len(rows), 1 + len(windows))
        for row, window in zip(rows[1:], windows):
            mean = sum(window) / len(window)
            se = math.sqrt(sum((x - mean) ** 2 for x in window) / len(window) / len(window))
            self.assertEqual([float(cell) for cell in row], [mean, se, se])

    def test_failing_step_is_named(self):
        payload = {"values": [1.0], "fifoId": fresh_id(), "handleUri": 5}
        with self.assertRaises(RuntimeError) as cm:
            ravelin.Pipeline(["fifo_window_buffer", "average", "csv_sink"]).run(payload)
        self.assertIn("in pipeline step 2 ('csv_sink')", cm.exception.__notes__)
        # The steps before it have done their work; the failed one wrote nothing.
        self.assertEqual(payload["mean"], 1.0)
        self.assertNotIn("status", payload)


if __name__ == "__main__":
    unittest.main()
