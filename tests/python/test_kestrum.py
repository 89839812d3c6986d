import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import _kestrum
from _kestrum import AverageResult, average, fifo_window_buffer, reset_all_fifos, reset_fifo, vector_sum


class FifoWindowBufferTest(unittest.TestCase):
    def setUp(self):
        reset_all_fifos()

    def test_default_id_and_keyword_id_are_one_fifo(self):
        self.assertEqual(fifo_window_buffer([1.0, 2.0], 3), [1.0, 2.0])
        self.assertEqual(fifo_window_buffer([3.0], 3, fifo_id="default"), [1.0, 2.0, 3.0])
        self.assertEqual(fifo_window_buffer(new_samples=[4.0], window_size=3), [2.0, 3.0, 4.0])

    def test_accepted_sample_containers(self):
        cases = [
            ((1, 2, 3), [1.0, 2.0, 3.0]),
            ([True, 2, 2.5], [1.0, 2.0, 2.5]),
            (range(3), [0.0, 1.0, 2.0]),
            ((x for x in (4, 5)), [4.0, 5.0]),
            ({"a": 1, "b": 2}.values(), [1.0, 2.0]),
            (map(float, "12"), [1.0, 2.0]),
            (bytearray(b"\x01\x02"), [1.0, 2.0]),
            (frozenset([7]), [7.0]),
        ]
        for i, (samples, expected) in enumerate(cases):
            with self.subTest(samples=type(samples).__name__):
                out = fifo_window_buffer(samples, 0, f"c{i}")
                self.assertEqual(out, expected)
                self.assertTrue(all(type(x) is float for x in out))

    def test_rejected_arguments_raise_type_error_and_leave_the_store(self):
        fifo_window_buffer([1.0], 0, "keep")
        cases = [
            ([1.0], -1, "keep"),
            ([1.0], 2.0, "keep"),
            ("12", 0, "keep"),
            (b"\x01", 0, "keep"),
            ([1.0, "x"], 0, "keep"),
            ([1.0], 0, 5),
            ([1.0], None, "keep"),
        ]
        for args in cases:
            with self.subTest(args=args):
                with self.assertRaises(TypeError):
                    fifo_window_buffer(*args)
        self.assertEqual(fifo_window_buffer([], 0, "keep"), [1.0])

    def test_each_call_returns_a_new_list(self):
        a = fifo_window_buffer([1.0], 0, "new")
        a.append(5.0)
        b = fifo_window_buffer([], 0, "new")
        self.assertEqual(b, [1.0])
        self.assertIsNot(a, b)

    def test_reset(self):
        fifo_window_buffer([1.0], 0, "a")
        fifo_window_buffer([2.0], 0, "b")
        self.assertIsNone(reset_fifo("never-used"))
        self.assertIsNone(reset_fifo("a"))
        self.assertEqual(fifo_window_buffer([], 0, "a"), [])
        self.assertEqual(fifo_window_buffer([], 0, "b"), [2.0])
        self.assertIsNone(reset_all_fifos())
        self.assertEqual(fifo_window_buffer([], 0, "b"), [])
        with self.assertRaises(TypeError):
            reset_fifo()


class AverageTest(unittest.TestCase):
    def test_methods(self):
        cases = [
            (([],), 0.0, 0.0),
            (([], "geometric"), 0.0, 0.0),
            (([1, 2, 3, 4],), 2.5, math.sqrt(5 / 16)),
            (([1, 2, 3], "weighted", [1, 1, 2]), 2.25, math.sqrt(35 / 144)),
            (([1, 2, 3], "weighted"), 2.0, math.sqrt(2 / 9)),
            (([1, 2, 3], "arithmetic", [1, 1, 2]), 2.0, math.sqrt(2 / 9)),
            (([0, 2, 2], "harmonic"), 3.0, math.sqrt(11 / 9)),
            (([1, 4], "Geometric"), 2.0, math.sqrt(5 / 4)),
        ]
        for args, mean, se in cases:
            with self.subTest(args=args):
                r = average(*args)
                self.assertIsInstance(r, AverageResult)
                self.assertAlmostEqual(r.mean, mean, places=14)
                self.assertAlmostEqual(r.standard_error, se, places=14)

    def test_weights_only_used_with_weighted_method(self):
        self.assertEqual(average([1, 2, 3], weights=[1, 1, 2]).mean, 2.0)
        self.assertEqual(average([1, 2, 3], method="weighted", weights=[1, 1, 2]).mean, 2.25)
        self.assertEqual(average([1, 2, 3], "weighted", None).mean, 2.0)

    def test_geometric_over_non_positive_value_raises_value_error(self):
        with self.assertRaises(ValueError) as cm:
            average([2, 0], "geometric")
        self.assertEqual(str(cm.exception), "geometric mean is only defined for positive values")

    def test_bad_arguments_raise_type_error(self):
        for args in [("12",), ([1], 5), ([1], "weighted", "ab"), ()]:
            with self.subTest(args=args):
                with self.assertRaises(TypeError):
                    average(*args)

    def test_result_is_read_only_and_has_no_constructor(self):
        r = average([1.0])
        with self.assertRaises(TypeError):
            AverageResult()
        for name in ("mean", "standard_error"):
            with self.subTest(name=name):
                with self.assertRaises(AttributeError):
                    setattr(r, name, 1.0)


class VectorSumTest(unittest.TestCase):
    def test_plain_in_order_sum(self):
        self.assertEqual(vector_sum([1e16, 1.0, -1e16]), 0.0)
        self.assertEqual(vector_sum([]), 0.0)
        self.assertEqual(vector_sum((1, 2, 3)), 6.0)

    def test_parameter_is_positional_only(self):
        with self.assertRaises(TypeError):
            vector_sum(values=[1.0])


class ModuleTest(unittest.TestCase):
    def test_docstrings_and_signatures(self):
        self.assertEqual(_kestrum.__doc__, "Norvane algorithms (FIFO, average, vector sum)")
        # pybind11 generates the annotations; the element type of a number
        # sequence is typing.SupportsFloat (later pybind11 releases add
        # "| typing.SupportsIndex"), so only the stable parts are compared.
        seq = "collections.abc.Sequence[typing.SupportsFloat"
        expected = {
            vector_sum: (["vector_sum(arg0: " + seq, "]) -> float"], "Sum of a vector of doubles"),
            fifo_window_buffer: (
                ["fifo_window_buffer(new_samples: " + seq, "window_size: typing.SupportsInt",
                 "fifo_id: str = 'default') -> list[float]"],
                "Update FIFO window and return current buffer",
            ),
            average: (
                ["average(values: " + seq, "method: str = 'arithmetic', weights: " + seq,
                 "| None = None) -> _kestrum.AverageResult"],
                "Compute mean and standard error for a vector of values",
            ),
            reset_fifo: (["reset_fifo(fifo_id: str) -> None"], "Reset a single FIFO buffer"),
            reset_all_fifos: (["reset_all_fifos() -> None"], "Reset all FIFO buffers"),
        }
        for fn, (parts, doc) in expected.items():
            with self.subTest(fn=fn.__name__):
                signature, text = fn.__doc__.split("\n\n", 1)
                self.assertEqual(text, doc + "\n")
                self.assertEqual(signature.count("\n"), 0)
                for part in parts:
                    self.assertIn(part, signature)

    def test_definition_order(self):
        names = [n for n in vars(_kestrum) if not n.startswith("__")]
        self.assertEqual(
            names, ["vector_sum", "fifo_window_buffer", "AverageResult", "average", "reset_fifo", "reset_all_fifos"]
        )

    def test_reimport_returns_the_cached_module(self):
        old = sys.modules.pop("_kestrum")
        try:
            import _kestrum as again

            self.assertIs(again, old)
            self.assertIs(again.vector_sum, vector_sum)
        finally:
            sys.modules["_kestrum"] = old

    def test_other_interpreter_version_gets_import_error(self):
        other = shutil.which("python3.11")
        if other is None or subprocess.run([other, "-c", "pass"], capture_output=True).returncode != 0:
            self.skipTest("no python3.11 here to load the module with")
        with tempfile.TemporaryDirectory() as tmp:
            shutil.copy(_kestrum.__file__, os.path.join(tmp, "_kestrum.so"))
            env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
            proc = subprocess.run(
                [other, "-c", "import _kestrum"], cwd=tmp, capture_output=True, text=True, env=env
            )
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn(
            "ImportError: Python version mismatch: module was compiled for Python 3.12, "
            "but the interpreter version is incompatible: 3.11",
            proc.stderr,
        )


if __name__ == "__main__":
    unittest.main()
