import unittest

import ravelin


class HostTest(unittest.TestCase):
    def test_capsule_name(self):
        self.assertIn("ravelin.register_op_v1", repr(ravelin._register_op_capsule))

    def test_unknown_op_raises_key_error_naming_it(self):
        with self.assertRaises(KeyError) as cm:
            ravelin.run_op("no_such_op", {})
        self.assertEqual(cm.exception.args, ("no_such_op",))

    def test_payload_must_be_a_dict(self):
        with self.assertRaises(TypeError):
            ravelin.run_op("no_such_op", [])

    def test_pipeline_notes_the_failing_step(self):
        with self.assertRaises(KeyError) as cm:
            ravelin.Pipeline(["missing_op"]).run({})
        self.assertIn("in pipeline step 0 ('missing_op')", cm.exception.__notes__)

    def test_pipeline_steps_must_be_names(self):
        with self.assertRaises(TypeError):
            ravelin.Pipeline([1])


if __name__ == "__main__":
    unittest.main()
