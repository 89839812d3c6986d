"""The DuckDB ops of _tarrowby: checkpoint and SQL op, alone and in pipelines.

Stored tables are read back with duckdb_reader, never through the ops under
test; each read runs in another process, so it also shows that the op closed
the file.
"""

import json
import os
import tempfile
import unittest

import duckdb_reader
import ravelin

OPS_BEFORE_IMPORT = ravelin.registered_ops()

import _tarrowby  # noqa: E402  (after the snapshot above, on purpose)

CHECKPOINT = "duckdb_checkpoint_cpp"
SQL = "duckdb_sql_cpp"
CAST_ERROR = "Unable to cast"  # how pybind11's cast_error message begins
VALUES_ERROR = "duckdb_checkpoint_cpp: payload['values'] must be a sequence of floats: "

run_sql = duckdb_reader.query


def data_rows(path, table):
    rows = run_sql(path, f"SELECT idx, value, sample_id FROM {table} ORDER BY sample_id, idx")
    return [(int(idx), float(value), int(sample_id)) for idx, value, sample_id in rows]


def state_rows(path):
    return run_sql(path, "SELECT run_id, step, duckdb_path, data_table, payload_json FROM pipeline_state")


def table_exists(path, name):
    rows = run_sql(path, f"SELECT count(*) FROM duckdb_tables() WHERE table_name = '{name}'")
    return rows == [("1",)]


class DatabaseTestCase(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.db = os.path.join(self.dir, "runs.duckdb")

    def assert_fails_untouched(self, op, payload, exc_type, check_message, path=None):
        """The op raises, leaves the payload exactly as it was and creates no file."""
        path = path or self.db
        before = dict(payload)
        with self.assertRaises(exc_type) as cm:
            ravelin.run_op(op, payload)
        check_message(str(cm.exception))
        self.assertEqual(list(payload.items()), list(before.items()))
        self.assertFalse(os.path.exists(path), "the database file was created")
        return cm.exception


class ModuleTest(unittest.TestCase):
    def test_import_registers_both_ops_in_order(self):
        for name in (CHECKPOINT, SQL):
            self.assertNotIn(name, OPS_BEFORE_IMPORT)
        ops = ravelin.registered_ops()
        first = ops.index(CHECKPOINT)
        self.assertEqual(ops[first : first + 2], [CHECKPOINT, SQL])

    def test_docstring(self):
        self.assertEqual(_tarrowby.__doc__, "C++ DuckDB ops for norvane (register_cpp_op via capsule)")


class CheckpointTest(DatabaseTestCase):
    def test_minimal_payload_uses_defaults_in_current_directory(self):
        cwd = os.getcwd()
        os.chdir(self.dir)
        self.addCleanup(os.chdir, cwd)

        payload = {"run_id": "r1"}
        self.assertIs(ravelin.run_op(CHECKPOINT, payload), payload)

        self.assertEqual(
            list(payload.items()), [("run_id", "r1"), ("duckdb_path", "work.duckdb"), ("data_table", "data_r1_C")]
        )
        self.assertEqual(data_rows("work.duckdb", "data_r1_C"), [])
        self.assertEqual(state_rows("work.duckdb"), [("r1", "C", "work.duckdb", "data_r1_C", '{"run_id": "r1"}')])

    def test_table_columns(self):
        ravelin.run_op(CHECKPOINT, {"run_id": "r1", "duckdb_path": self.db})
        columns = "SELECT column_name, data_type FROM duckdb_columns() WHERE table_name = '{}' ORDER BY column_index"
        self.assertEqual(
            run_sql(self.db, columns.format("data_r1_C")),
            [("idx", "BIGINT"), ("value", "DOUBLE"), ("sample_id", "BIGINT")],
        )
        self.assertEqual(
            run_sql(self.db, columns.format("pipeline_state")),
            [(name, "VARCHAR") for name in ("run_id", "step", "duckdb_path", "data_table", "payload_json")],
        )

    def test_values_become_rows_and_leave_the_payload(self):
        cases = [
            ({"values": [1, 2.5], "sample_id": 7}, [(0, 1.0, 7), (1, 2.5, 7)]),
            ({"values": (3, -0.5)}, [(0, 3.0, 0), (1, -0.5, 0)]),
            ({"values": (x / 2 for x in range(3))}, [(0, 0.0, 0), (1, 0.5, 0), (2, 1.0, 0)]),
            ({"values": {}.keys()}, []),
            ({"values": []}, []),
            ({"values": None}, []),
            ({"values": [1], "sample_id": 2**63 - 1}, [(0, 1.0, 2**63 - 1)]),
            ({"values": [1], "sample_id": -(2**63)}, [(0, 1.0, -(2**63))]),
        ]
        for number, (extra, expected) in enumerate(cases):
            with self.subTest(extra=extra):
                run_id = f"case{number}"
                payload = {"run_id": run_id, "duckdb_path": self.db, **extra}
                ravelin.run_op(CHECKPOINT, payload)
                self.assertNotIn("values", payload)
                self.assertEqual(payload["data_table"], f"data_{run_id}_C")
                self.assertEqual(data_rows(self.db, payload["data_table"]), expected)

    def test_state_row_holds_the_entry_payload_as_json(self):
        payload = {
            "run_id": "r1",
            "values": [1.0, 2.0],
            "step": "fit",
            "meta": {"operator": "Zoë", "quote": 'a"b\\c', "ok": True, "none": None},
            "gain": 1.5,
            "duckdb_path": self.db,
        }
        expected_json = json.dumps({key: value for key, value in payload.items() if key != "values"})

        ravelin.run_op(CHECKPOINT, payload)

        self.assertEqual(state_rows(self.db), [("r1", "fit", self.db, "data_r1_fit", expected_json)])
        self.assertEqual(payload["data_table"], "data_r1_fit")

    def test_calls_for_one_table_add_up(self):
        # Consecutive calls in one process: each opens and closes the file.
        payload = {"run_id": "a-b", "values": [1, 2], "sample_id": 1, "duckdb_path": self.db}
        ravelin.run_op(CHECKPOINT, payload)
        payload["values"] = [3]
        payload["sample_id"] = 2
        ravelin.run_op(CHECKPOINT, payload)
        ravelin.run_op(CHECKPOINT, {"run_id": "a.b", "values": [4], "sample_id": 3, "duckdb_path": self.db})

        self.assertEqual(data_rows(self.db, "data_a_b_C"), [(0, 1.0, 1), (1, 2.0, 1), (0, 3.0, 2), (0, 4.0, 3)])
        states = state_rows(self.db)
        self.assertEqual([row[:4] for row in states], [(run_id, "C", self.db, "data_a_b_C") for run_id in ("a-b",) * 2 + ("a.b",)])
        # The second call saw the keys that the first one wrote, with their values then.
        self.assertEqual(
            states[1][4],
            json.dumps({"run_id": "a-b", "sample_id": 2, "duckdb_path": self.db, "data_table": "data_a_b_C"}),
        )

    def test_table_names_are_sanitised(self):
        cases = [
            ({"run_id": "Run_9", "step": "Step2"}, "data_Run_9_Step2"),
            ({"run_id": ""}, "data_table_C"),
            ({"run_id": "r-7.b", "step": "fit/1"}, "data_r_7_b_fit_1"),
            ({"run_id": "é"}, "data____C"),
            ({"run_id": "a\nb\x00c", "step": ""}, "data_a_b_c_table"),
            ({"run_id": "x;DROP TABLE pipeline_state", "step": "s t"}, "data_x_DROP_TABLE_pipeline_state_s_t"),
        ]
        for extra, table in cases:
            with self.subTest(extra=extra):
                payload = {"duckdb_path": self.db, "values": [1.0], **extra}
                ravelin.run_op(CHECKPOINT, payload)
                self.assertEqual(payload["data_table"], table)
                self.assertEqual(data_rows(self.db, table), [(0, 1.0, 0)])
        self.assertEqual([row[3] for row in state_rows(self.db)], [table for _, table in cases])

    def test_bad_payload_fails_before_the_file_is_opened(self):
        def exactly(text):
            return lambda message: self.assertEqual(message, text)

        def starts(text):
            return lambda message: self.assertTrue(message.startswith(text), message)

        def anything(message):
            pass

        missing_run_id = exactly("duckdb_checkpoint_cpp requires payload['run_id']")
        cases = [
            ({}, RuntimeError, missing_run_id),
            ({"step": "s", "values": [1]}, RuntimeError, missing_run_id),
            ({"run_id": None}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": 5}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": "r", "step": 3}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": "r", "duckdb_path": None}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": "r", "values": "12"}, RuntimeError, starts(VALUES_ERROR + CAST_ERROR)),
            ({"run_id": "r", "values": [1, "x"]}, RuntimeError, starts(VALUES_ERROR)),
            ({"run_id": "r", "values": {"a": 1}}, RuntimeError, starts(VALUES_ERROR)),
            ({"run_id": "r", "values": 5}, RuntimeError, starts(VALUES_ERROR)),
            ({"run_id": "r", "sample_id": 2.0}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": "r", "sample_id": None}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": "r", "sample_id": "3"}, RuntimeError, starts(CAST_ERROR)),
            ({"run_id": "r", "sample_id": 2**63}, RuntimeError, starts(CAST_ERROR)),
            # JSON cannot encode these: nothing is stored and "values" stays.
            ({"run_id": "r", "values": [1.0], "probe": object()}, TypeError, anything),
            ({"run_id": b"r", "values": [1.0]}, TypeError, anything),
        ]
        for case, exc_type, check_message in cases:
            with self.subTest(payload=case):
                payload = {"duckdb_path": self.db, **case}
                self.assert_fails_untouched(CHECKPOINT, payload, exc_type, check_message)

    def test_unopenable_file_raises_duckdb_error(self):
        path = os.path.join(self.dir, "missing", "runs.duckdb")
        payload = {"run_id": "r1", "values": [1.0], "duckdb_path": path}
        self.assert_fails_untouched(
            CHECKPOINT, payload, RuntimeError, lambda m: self.assertNotIn("duckdb_checkpoint_cpp", m), path
        )

    def test_rejected_rows_raise_duckdb_error_and_store_nothing(self):
        # A data table of that name with other columns: the appender fails.
        run_sql(self.db, "CREATE TABLE data_r1_C (label VARCHAR)")
        payload = {"run_id": "r1", "values": [1.0, 2.0], "duckdb_path": self.db}
        before = dict(payload)
        with self.assertRaises(RuntimeError) as cm:
            ravelin.run_op(CHECKPOINT, payload)
        self.assertNotIn("duckdb_checkpoint_cpp", str(cm.exception))
        self.assertEqual(payload, before)
        self.assertEqual(run_sql(self.db, "SELECT count(*) FROM data_r1_C"), [("0",)])
        self.assertFalse(table_exists(self.db, "pipeline_state"))

    def test_failed_state_row_stores_nothing(self):
        # The data rows go in before the state row; a rejected state row must
        # take them back out, and the payload must not look like a success.
        state_columns = "run_id TEXT, step TEXT, duckdb_path TEXT, data_table TEXT, payload_json TEXT"
        setups = {
            "other columns": "CREATE TABLE pipeline_state (x INTEGER)",
            "constraint": f"CREATE TABLE pipeline_state ({state_columns}, CHECK (run_id <> 'r1'))",
            "a view": "CREATE VIEW pipeline_state AS SELECT 'x' AS run_id",
        }
        for number, (label, setup) in enumerate(setups.items()):
            with self.subTest(pipeline_state=label):
                path = os.path.join(self.dir, f"state{number}.duckdb")
                run_sql(path, setup)
                run_sql(path, "CREATE TABLE data_r1_C (idx BIGINT, value DOUBLE, sample_id BIGINT)")
                run_sql(path, "INSERT INTO data_r1_C VALUES (0, 9.5, 1)")
                payload = {"run_id": "r1", "values": [1.0, 2.0], "sample_id": 2, "duckdb_path": path}
                before = dict(payload)

                with self.assertRaises(RuntimeError) as cm:
                    ravelin.run_op(CHECKPOINT, payload)

                message = str(cm.exception)
                self.assertTrue(message.startswith("duckdb_checkpoint_cpp failed: "), message)
                self.assertGreater(len(message), len("duckdb_checkpoint_cpp failed: "))
                self.assertEqual(payload, before)
                self.assertEqual(data_rows(path, "data_r1_C"), [(0, 9.5, 1)])

    def test_failed_state_row_in_a_new_table_leaves_no_table(self):
        run_sql(self.db, "CREATE TABLE pipeline_state (x INTEGER)")
        with self.assertRaises(RuntimeError):
            ravelin.run_op(CHECKPOINT, {"run_id": "r1", "values": [1.0], "duckdb_path": self.db})
        self.assertFalse(table_exists(self.db, "data_r1_C"))


class SqlOpTest(DatabaseTestCase):
    def setUp(self):
        super().setUp()
        run_sql(self.db, "CREATE TABLE src AS SELECT * FROM (VALUES (0, 1.0), (1, 3.0)) t(idx, value)")

    def payload(self, **changes):
        payload = {"duckdb_path": self.db, "data_table": "src", "sql": "SELECT 1", "out_table": "dst"}
        payload.update(changes)
        return payload

    def test_first_missing_key_is_named(self):
        absent = os.path.join(self.dir, "absent.duckdb")
        full = {"duckdb_path": absent, "data_table": "src", "sql": "SELECT 1", "out_table": "dst"}
        cases = [
            ({}, "duckdb_path"),
            ({"data_table": "src", "sql": "SELECT 1", "out_table": "dst"}, "duckdb_path"),
            ({"duckdb_path": None}, "data_table"),
            ({"duckdb_path": absent, "data_table": "src"}, "sql"),
            ({key: value for key, value in full.items() if key != "out_table"}, "out_table"),
        ]
        for payload, key in cases:
            with self.subTest(payload=payload):
                expected = f"duckdb_sql_cpp requires payload['{key}']"
                self.assert_fails_untouched(
                    SQL, payload, RuntimeError, lambda m: self.assertEqual(m, expected), absent
                )

    def test_values_must_be_strings(self):
        absent = os.path.join(self.dir, "absent.duckdb")
        for key in ("duckdb_path", "data_table", "sql", "out_table"):
            for bad in (None, 5):
                with self.subTest(key=key, value=bad):
                    payload = self.payload(duckdb_path=absent)
                    payload[key] = bad
                    self.assert_fails_untouched(
                        SQL, payload, RuntimeError, lambda m: self.assertTrue(m.startswith(CAST_ERROR), m), absent
                    )

    def test_runs_the_text_and_moves_on_to_the_output_table(self):
        sql = "CREATE TABLE {out_table} AS SELECT sum(value) AS total, count(*) AS n FROM {in_table}"
        payload = self.payload(sql=sql, out_table="summary", note="kept")

        self.assertIs(ravelin.run_op(SQL, payload), payload)

        self.assertEqual(
            payload,
            {"duckdb_path": self.db, "data_table": "summary", "sql": sql, "out_table": "summary", "note": "kept"},
        )
        self.assertEqual(run_sql(self.db, "SELECT total, n FROM summary"), [("4.0", "2")])

    def test_placeholders(self):
        # The text under test goes into a string literal, so the table shows what ran.
        cases = [
            ("{in_table}|{out_table}|{in_table}", "src", "dst", "src|dst|src"),
            ("no placeholders: {IN_TABLE} {in table} in_table", "src", "dst", "no placeholders: {IN_TABLE} {in table} in_table"),
            ("{in_table}", "a{out_table}", "b", "ab"),  # the second pass sees the first one's text
            ("{out_table}", "a", "b{in_table}", "b{in_table}"),  # the first pass is over by then
            ("{in_table}{in_table}", "{in_table}x", "b", "{in_table}x{in_table}x"),  # inserted text is not searched again
            ("[{out_table}]", "src", "", "[]"),
        ]
        for text, in_table, out_table, expected in cases:
            with self.subTest(text=text, in_table=in_table, out_table=out_table):
                sql = f"CREATE OR REPLACE TABLE probe AS SELECT '{text}' AS t"
                payload = self.payload(sql=sql, data_table=in_table, out_table=out_table)
                ravelin.run_op(SQL, payload)
                self.assertEqual(run_sql(self.db, "SELECT t FROM probe"), [(expected,)])
                self.assertEqual(payload["data_table"], out_table)
                self.assertEqual(payload["sql"], sql)

    def test_select_that_creates_nothing_still_moves_on(self):
        payload = self.payload(sql="SELECT * FROM {in_table}", out_table="never_made")
        ravelin.run_op(SQL, payload)
        self.assertEqual(payload["data_table"], "never_made")
        self.assertFalse(table_exists(self.db, "never_made"))

    def test_duckdb_error_is_raised_and_payload_kept(self):
        texts = [
            "SELEC 1",
            "SELECT * FROM missing_table",
            "CREATE TABLE {out_table} (a INTEGER); CREATE TABLE {out_table} (a INTEGER)",
            "SELECT 1; SELECT CAST(v AS INTEGER) FROM (VALUES ('x')) t(v)",
            "INSERT INTO {in_table} VALUES ('not a number', 2)",
        ]
        for text in texts:
            with self.subTest(sql=text):
                payload = self.payload(sql=text, out_table=f"out{len(text)}")
                before = dict(payload)
                with self.assertRaises(RuntimeError) as cm:
                    ravelin.run_op(SQL, payload)
                message = str(cm.exception)
                self.assertTrue(message.startswith("duckdb_sql_cpp failed: "), message)
                self.assertGreater(len(message), len("duckdb_sql_cpp failed: "))
                self.assertEqual(payload, before)

    def test_unopenable_file_raises_duckdb_error(self):
        path = os.path.join(self.dir, "missing", "runs.duckdb")
        payload = self.payload(duckdb_path=path)
        self.assert_fails_untouched(SQL, payload, RuntimeError, lambda m: self.assertNotIn("duckdb_sql_cpp", m), path)


class PipelineTest(DatabaseTestCase):
    def test_checkpoint_then_summary(self):
        payload = {
            "run_id": "run-42",
            "step": "ph",
            "duckdb_path": self.db,
            "values": [7.0, 7.5, 6.5, 7.0],
            "sample_id": 1,
            "sql": "CREATE OR REPLACE TABLE {out_table} AS "
            "SELECT sample_id, count(*) AS n, avg(value) AS mean, min(value) AS lo, max(value) AS hi "
            "FROM {in_table} GROUP BY sample_id",
            "out_table": "summary_run_42",
        }
        ravelin.Pipeline([CHECKPOINT, SQL]).run(payload)

        self.assertEqual(payload["data_table"], "summary_run_42")
        self.assertNotIn("values", payload)
        self.assertEqual(run_sql(self.db, "SELECT * FROM summary_run_42"), [("1", "4", "7.0", "6.5", "7.5")])
        self.assertEqual([row[3] for row in state_rows(self.db)], ["data_run_42_ph"])

    def test_each_sql_step_reads_the_previous_steps_table(self):
        payload = {
            "run_id": "r1",
            "duckdb_path": self.db,
            "values": [1.0, 2.0],
            "sql": "CREATE OR REPLACE TABLE {out_table} AS SELECT idx, value * 2 AS value FROM {in_table}",
            "out_table": "doubled",
        }
        ravelin.Pipeline([CHECKPOINT, SQL, SQL]).run(payload)

        # The second SQL step ran the same text on the first one's output.
        self.assertEqual(run_sql(self.db, "SELECT idx, value FROM doubled ORDER BY idx"), [("0", "4.0"), ("1", "8.0")])
        self.assertEqual(data_rows(self.db, "data_r1_C"), [(0, 1.0, 0), (1, 2.0, 0)])

        payload["sql"] = "CREATE TABLE {out_table} AS SELECT sum(value) AS total FROM {in_table}"
        payload["out_table"] = "total"
        ravelin.run_op(SQL, payload)
        self.assertEqual(run_sql(self.db, "SELECT total FROM total"), [("12.0",)])
        self.assertEqual(payload["data_table"], "total")


if __name__ == "__main__":
    unittest.main()
