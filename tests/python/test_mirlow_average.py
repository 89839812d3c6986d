"""The "average" op of _mirlow."""

import math
import unittest

import ravelin
import _mirlow  # noqa: F401  (registers the ops)


def average(payload):
    return ravelin.run_op("average", payload)


class AverageOpTest(unittest.TestCase):
    def assertStats(self, payload, mean, se):
        self.assertEqual(payload["mean"], mean)
        self.assertEqual(payload["se"], se)
        self.assertEqual(payload["standardError"], se)
        self.assertEqual(payload["stats"], {"mean": mean, "se": se, "standardError": se})

    def test_writes_mean_and_standard_error_in_place(self):
        payload = {"window": [1, 2, 3, 4]}
        self.assertIs(average(payload), payload)
        self.assertStats(payload, 2.5, math.sqrt(5 / 16))
        self.assertEqual(list(payload), ["window", "stats", "mean", "se", "standardError"])
        self.assertEqual(list(payload["stats"]), ["mean", "se", "standardError"])
        values = [payload["mean"], payload["se"], payload["standardError"], *payload["stats"].values()]
        self.assertTrue(all(type(v) is float for v in values))

    def test_sample_keys(self):
        cases = [
            ("window before values", {"window": [1, 2, 3], "values": [10, 20]}, 2.0),
            ("values", {"values": [10, 20]}, 15.0),
            ("empty window falls back to data, not to values", {"window": [], "values": [10], "data": [2, 4]}, 3.0),
            ("empty window, no data", {"window": [], "values": [10, 20]}, 0.0),
            ("unusable values falls back to data", {"values": "abc", "data": [2, 4]}, 3.0),
            ("data alone", {"data": [2, 4]}, 3.0),
            ("one number", {"window": 7}, 7.0),
            ("unusable data", {"data": {"a": 1}}, 0.0),
        ]
        for label, payload, mean in cases:
            with self.subTest(label):
                self.assertEqual(average(payload)["mean"], mean)

    def test_no_samples_gives_zeros(self):
        payload = average({})
        self.assertStats(payload, 0.0, 0.0)
        # For every method, the geometric one included.
        self.assertStats(average({"averageMethod": "geometric"}), 0.0, 0.0)

    def test_methods(self):
        cases = [
            ("harmonic before mode", {"averageMethod": "harmonic", "mode": "geometric"}, [0, 2, 2], 3.0),
            ("mode alone", {"mode": "geometric"}, [1, 4], 2.0),
            ("capitals", {"averageMethod": "Geometric"}, [1, 4], 2.0),
            ("bytes", {"averageMethod": b"harmonic"}, [0, 2, 2], 3.0),
            ("bytearray", {"mode": bytearray(b"harmonic")}, [0, 2, 2], 3.0),
            ("weighted without weights", {"averageMethod": "weighted"}, [1, 2, 3], 2.0),
            ("unknown name", {"averageMethod": "median"}, [1, 2, 6], 3.0),
            ("mode is not read beside averageMethod", {"averageMethod": "harmonic", "mode": 5}, [0, 2, 2], 3.0),
        ]
        for label, method, samples, mean in cases:
            with self.subTest(label):
                self.assertAlmostEqual(average({"window": samples, **method})["mean"], mean, places=12)

    def test_failures_leave_the_payload_untouched(self):
        cases = [
            ("method None", {"window": [1.0], "averageMethod": None}, RuntimeError, None),
            ("method a number", {"window": [1.0], "averageMethod": 2}, RuntimeError, None),
            ("mode a number", {"window": [1.0], "mode": 5}, RuntimeError, None),
            ("geometric over a zero", {"window": [3, 0, 5], "mode": "geometric"}, ValueError,
             "geometric mean is only defined for positive values"),
        ]
        for label, payload, error, message in cases:
            with self.subTest(label):
                before = dict(payload)
                with self.assertRaises(error) as cm:
                    average(payload)
                if message is not None:
                    self.assertEqual(str(cm.exception), message)
                self.assertEqual(payload, before)

    def test_earlier_stats_are_replaced_whole(self):
        earlier = {"mean": 9.0, "count": 3}
        payload = average({"values": [1, 3], "stats": earlier, "mean": "old"})
        self.assertStats(payload, 2.0, math.sqrt(0.5))
        self.assertIsNot(payload["stats"], earlier)
        self.assertEqual(earlier, {"mean": 9.0, "count": 3})


if __name__ == "__main__":
    unittest.main()
