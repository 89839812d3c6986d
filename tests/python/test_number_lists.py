"""Number lists read by the fast path (exact list or tuple of exact floats)
give exactly what the standard conversion gives, through _kestrum and through
the ops' payload readers; everything else still goes the standard way.

The reference is the same items in a list or tuple subclass, which the fast
path never takes."""

import itertools
import math
import struct
import unittest

import _kestrum
import ravelin
import _mirlow  # noqa: F401  (registers the ops)


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class FloatSub(float):
    pass


class HasFloat:
    def __float__(self):
        return 2.5


class HasIndex:
    def __index__(self):
        return 4


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")

    def __repr__(self):
        # A fixed text, so that the TypeError texts of two calls compare.
        return "FloatRaises()"


def mutating_list(container):
    # An item whose conversion grows the list it sits in.
    items = container([1.0, None, 3.0])

    class Grows:
        def __float__(self):
            items.append(9.0)
            return 2.0

    items[1] = Grows()
    return items


NAN, INF = float("nan"), float("inf")

# name, container type, factory (container type -> a fresh input, since some
# inputs change as they are read), expected doubles or None when the list
# conversion must fail.
CASES = [
    ("exact floats", list, lambda c: c([1.5, -0.0, 2.0]), [1.5, -0.0, 2.0]),
    ("exact floats tuple", tuple, lambda c: c((1.5, 2.25)), [1.5, 2.25]),
    ("nan and infinities", list, lambda c: c([NAN, INF, -INF, 5e-324]), [NAN, INF, -INF, 5e-324]),
    ("empty list", list, lambda c: c(), []),
    ("empty tuple", tuple, lambda c: c(), []),
    ("long list, int last", list, lambda c: c([0.5] * 1000 + [7]), [0.5] * 1000 + [7.0]),
    ("float subclass items", list, lambda c: c([FloatSub(1.25), 2.0]), [1.25, 2.0]),
    ("ints", list, lambda c: c([1, 2, 2**53 + 1]), [1.0, 2.0, float(2**53 + 1)]),
    ("bools", list, lambda c: c([True, False]), [1.0, 0.0]),
    ("mixed", tuple, lambda c: c((1.0, 2, True)), [1.0, 2.0, 1.0]),
    ("__float__", list, lambda c: c([1.0, HasFloat()]), [1.0, 2.5]),
    ("__index__", list, lambda c: c([HasIndex(), 1.0]), [4.0, 1.0]),
    ("list mutated while read", list, mutating_list, [1.0, 2.0, 3.0, 9.0]),
    ("__float__ raises", list, lambda c: c([1.0, FloatRaises()]), None),
    ("__float__ raises in a tuple", tuple, lambda c: c((FloatRaises(), 1.0)), None),
    ("string item", list, lambda c: c([1.0, "2"]), None),
    ("None item", list, lambda c: c([None, 1.0]), None),
    ("int too large for a double", list, lambda c: c([1.0, 10**400]), None),
    ("nested list", list, lambda c: c([1.0, [2.0]]), None),
]

SUBCLASS = {list: ListSub, tuple: TupleSub}


def bits(values):
    # Exact comparison: NaN equals NaN, -0.0 differs from 0.0.
    return [struct.pack("<d", v) for v in values]


class KestrumConversionTest(unittest.TestCase):
    def setUp(self):
        _kestrum.reset_all_fifos()

    def convert(self, value):
        """The doubles that _kestrum read (via the FIFO, which returns them
        unchanged), or the TypeError text."""
        try:
            out = _kestrum.fifo_window_buffer(value, 0, "conv")
        except TypeError as e:
            return "error", str(e)
        finally:
            _kestrum.reset_fifo("conv")
        return "ok", bits(out)

    def test_fast_and_standard_paths_agree(self):
        for name, container, make, expected in CASES:
            with self.subTest(name):
                fast = self.convert(make(container))
                standard = self.convert(make(SUBCLASS[container]))
                if expected is None:
                    self.assertEqual(fast[0], "error")
                else:
                    self.assertEqual(fast, ("ok", bits(expected)))
                # The error text names the arguments by their repr, the same
                # for a list and its subclass here.
                self.assertEqual(fast, standard)

    def test_every_function_taking_numbers_agrees(self):
        values = [0.1 * i for i in range(1, 200)]
        cases = [
            ("vector_sum", lambda v: _kestrum.vector_sum(v)),
            ("average", lambda v: (_kestrum.average(v).mean, _kestrum.average(v).standard_error)),
            ("weights", lambda v: _kestrum.average([1.0] * len(v), "weighted", v).mean),
        ]
        for name, call in cases:
            with self.subTest(name):
                self.assertEqual(call(values), call(ListSub(values)))
                self.assertEqual(call(tuple(values)), call(ListSub(values)))

    def test_rejected_values_keep_the_standard_error(self):
        for value in ["abc", b"ab", 5, None, [1.0, "x"], (1.0, FloatRaises())]:
            with self.subTest(value=repr(value)):
                with self.assertRaises(TypeError) as ctx:
                    _kestrum.vector_sum(value)
                self.assertIn("vector_sum(): incompatible function arguments", str(ctx.exception))
                self.assertIn("(arg0: collections.abc.Sequence[typing.SupportsFloat", str(ctx.exception))

    def test_iterables_that_are_not_lists_still_convert(self):
        cases = [
            ((x for x in (1.0, 2.0)), [1.0, 2.0]),
            ({3.0}, [3.0]),
            ({"a": 1.0}.values(), [1.0]),
            (range(2), [0.0, 1.0]),
        ]
        for value, expected in cases:
            with self.subTest(type(value).__name__):
                self.assertEqual(self.convert(value), ("ok", bits(expected)))


class PayloadReaderConversionTest(unittest.TestCase):
    """The ops read sample lists through the same caster; a value that is no
    list of numbers reads as no samples (or as one number)."""

    fifo_ids = itertools.count()

    def window(self, value):
        # The op's FIFOs live for the process: a new one for every read.
        payload = {"values": value, "windowSize": 0, "fifoId": "conv-%d" % next(self.fifo_ids)}
        ravelin.run_op("fifo_window_buffer", payload)
        return bits(payload["window"])

    def test_fast_and_standard_paths_agree(self):
        for name, container, make, expected in CASES:
            with self.subTest(name):
                fast = self.window(make(container))
                standard = self.window(make(SUBCLASS[container]))
                self.assertEqual(fast, bits(expected if expected is not None else []))
                self.assertEqual(fast, standard)

    def test_average_op_reads_the_same_numbers(self):
        values = [math.sqrt(i) for i in range(1, 500)]
        results = []
        for value in (values, tuple(values), ListSub(values)):
            payload = {"window": value}
            ravelin.run_op("average", payload)
            results.append((payload["mean"], payload["se"]))
        self.assertEqual(results[0], results[2])
        self.assertEqual(results[1], results[2])
        self.assertEqual(results[0][0], _kestrum.average(values).mean)


if __name__ == "__main__":
    unittest.main()
