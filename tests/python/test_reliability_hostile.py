"""Seeded hostile payloads thrown at every op through ravelin.run_op.

Each call must either succeed with well-formed outputs or raise a Python
exception having left the payload as it was; a FIFO only ever holds floats;
a CSV or DuckDB file is never changed by a failing call and never loses what
it held. A failing iteration prints its seed, which replays it.
"""

import math
import os
import tempfile
import unittest

import ravelin
import _mirlow  # noqa: F401  (registers its ops)
import _tarrowby  # noqa: F401
import _gantree  # noqa: F401

from hostile import Hostile, is_float_list, snapshot, unchanged
from reliability_support import (PhServer, duckdb_contents, duckdb_exec_path, files_under, free_port, iterations,
                                 server_binary, summary)

BASE_SEED = int(os.environ.get("NORVANE_RELIABILITY_SEED", "20261211"))
ORDINARY = [[1, 2, 3], [], [0.5], 3.5, [2.0, 4.0, 8.0]]


class HostileCase(unittest.TestCase):
    def setUp(self):
        self.calls = 0
        self.raised = 0
        self.faults = 0
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        # Relative paths (and DuckDB's default file) land in the scratch directory.
        self.old_cwd = os.getcwd()
        os.chdir(self.tmp.name)
        self.addCleanup(os.chdir, self.old_cwd)

    def call(self, op, payload, seed):
        """Runs the op; returns the exception it raised, or None."""
        self.calls += 1
        try:
            result = ravelin.run_op(op, payload)
        except Exception as exc:  # anything but an Exception (or a crash) fails the test
            self.raised += 1
            return exc
        self.assertIs(result, payload, f"seed {seed}")
        return None

    def report(self, op, generator_values):
        summary(f"hostile {op}", iterations=self.calls, raised=self.raised,
                hostile_values=generator_values, crashes=0, data_lost=0)


class FifoWindowHostileTest(HostileCase):
    IDS = ["h1", "h2", "", b"h3", "x\x00y"]

    def fifo(self, fifo_id):
        return ravelin.run_op("fifo_window_buffer", {"fifoId": fifo_id})["window"]

    def test_windows_stay_float_lists_and_failures_change_nothing(self):
        plausible = {
            "sampleChunk": ORDINARY, "values": ORDINARY, "data": ORDINARY,
            "windowSize": [0, 2, 5, -1, True], "window_size": [3, 0],
            "fifoId": self.IDS,
        }
        made = 0
        for i in range(iterations(400)):
            seed = BASE_SEED * 1000 + i
            h = Hostile(seed)
            payload = h.payload(plausible)
            made += h.made
            before = snapshot(payload)
            fifos = {fid: self.fifo(fid) for fid in self.IDS}
            exc = self.call("fifo_window_buffer", payload, seed)
            after = {fid: self.fifo(fid) for fid in self.IDS}
            for fid, window in after.items():
                self.assertTrue(is_float_list(window), f"seed {seed}: FIFO {fid!r} holds {window!r}")
            if exc is not None:
                self.assertTrue(unchanged(payload, before), f"seed {seed}: {exc!r} changed the payload")
                self.assertEqual(repr(after), repr(fifos), f"seed {seed}: {exc!r} changed a FIFO")
            else:
                self.assertTrue(is_float_list(payload["window"]), f"seed {seed}: window {payload['window']!r}")
        self.report("fifo_window_buffer", made)


class AverageHostileTest(HostileCase):
    def test_results_are_floats_and_failures_change_nothing(self):
        plausible = {
            "window": ORDINARY, "values": ORDINARY, "data": ORDINARY,
            "averageMethod": ["arithmetic", "harmonic", "geometric", "weighted", "nope", b"harmonic"],
            "mode": ["geometric", "arithmetic"],
        }
        made = 0
        for i in range(iterations(400)):
            seed = BASE_SEED * 1000 + 100000 + i
            h = Hostile(seed)
            payload = h.payload(plausible)
            made += h.made
            before = snapshot(payload)
            exc = self.call("average", payload, seed)
            if exc is not None:
                self.assertTrue(unchanged(payload, before), f"seed {seed}: {exc!r} changed the payload")
                continue
            stats = payload["stats"]
            self.assertEqual(list(stats), ["mean", "se", "standardError"], f"seed {seed}")
            for key in ("mean", "se", "standardError"):
                self.assertIs(type(payload[key]), float, f"seed {seed}: {key}")
                self.assertIs(type(stats[key]), float, f"seed {seed}: stats {key}")
            self.assertTrue(math.isnan(payload["se"]) and math.isnan(payload["standardError"])
                            or payload["se"] == payload["standardError"], f"seed {seed}")
        self.report("average", made)


class CsvSinkHostileTest(HostileCase):
    def test_files_only_grow_and_failures_write_nothing(self):
        d = self.tmp.name
        os.mkdir(os.path.join(d, "adir"))
        targets = [
            f"{d}/a.csv", "rel/b.csv", "c.csv", f"{d}/adir", "", f"{d}/n\x00ul.csv",
            f"{d}/\ud800.csv", f"{d}/deep/er/e.csv", f"{d}/a.csv/under.csv", "lf\n.csv",
        ]
        uris = ["csv://" + t for t in targets] + ["CSV://a.csv", "other://x", "", "csv:/a.csv",
                                                  b"csv://" + d.encode() + b"/\xff.csv", bytearray(b"csv://g.csv")]
        rows = [
            {"mean": 1.0, "se": 0.5}, {"a,b": "x\ny", 'q"': None, "n": math.nan}, {},
            {"k": [1.0, 2.0]}, [("p", 1), ("q", 2)],
        ]
        plausible = {
            "handleUri": uris, "handle": uris, "csvPath": targets,
            "data": rows + [3.5, [1.0, 2.0], "text"], "stats": rows,
            "mean": [1.0, math.inf], "se": [0.1, None],
        }
        made = 0
        for i in range(iterations(300)):
            seed = BASE_SEED * 1000 + 200000 + i
            h = Hostile(seed)
            payload = h.payload(plausible)
            made += h.made
            before = snapshot(payload)
            files = files_under(d)
            exc = self.call("csv_sink", payload, seed)
            now = files_under(d)
            if exc is not None:
                self.assertTrue(unchanged(payload, before), f"seed {seed}: {exc!r} changed the payload")
                self.assertEqual(now, files, f"seed {seed}: {exc!r} changed a file")
                continue
            self.assertTrue(payload["status"].startswith("handled via "), f"seed {seed}")
            uri = payload["status"][len("handled via "):]
            changed = [p for p in now if files.get(p) != now[p]]
            for path, old in files.items():
                self.assertIn(path, now, f"seed {seed}: {path} vanished")
                self.assertTrue(now[path].startswith(old), f"seed {seed}: {path} lost bytes")
            if changed:
                # Only the file the URI names, by its full path: no truncation at a NUL.
                self.assertEqual(len(changed), 1, f"seed {seed}: {changed}")
                self.assertTrue(uri.startswith("csv://"), f"seed {seed}")
                self.assertEqual(changed[0], os.path.abspath(os.path.join(d, uri[6:])),
                                 f"seed {seed}: wrote another file than the one named")
        self.report("csv_sink", made)


@unittest.skipIf(duckdb_exec_path() is None, "the DuckDB test reader (tests/duckdb) is not built")
class DuckDbHostileTest(HostileCase):
    def setUp(self):
        super().setUp()
        d = self.tmp.name
        self.db = os.path.join(d, "h.duckdb")
        with open(os.path.join(d, "not.duckdb"), "wb") as f:
            f.write(b"this is not a database\n" * 100)
        ravelin.run_op("duckdb_checkpoint_cpp", {"run_id": "r1", "duckdb_path": self.db, "values": [1.0, 2.0]})
        self.contents = duckdb_contents(self.db)
        self.paths = [self.db, self.db, self.db, os.path.join(d, "missing", "x.duckdb"),
                      os.path.join(d, "not.duckdb"), d, os.path.join(d, "n\x00ul.duckdb")]

    def db_bytes(self):
        parts = []
        for path in (self.db, self.db + ".wal"):
            if os.path.exists(path):
                with open(path, "rb") as f:
                    parts.append(f.read())
        return parts

    def named_path(self, payload):
        path = dict.get(payload, "duckdb_path", "work.duckdb")
        if isinstance(path, (bytes, bytearray)):
            path = bytes(path).decode("utf-8", "surrogateescape")
        return os.path.abspath(path) if isinstance(path, str) else None

    def check_call(self, op, payload, seed):
        before = snapshot(payload)
        raw = self.db_bytes()
        entries = set(os.listdir(self.tmp.name))
        named = self.named_path(payload)
        exc = self.call(op, payload, seed)
        if exc is not None:
            self.assertTrue(unchanged(payload, before), f"seed {seed}: {exc!r} changed the payload")
        for entry in set(os.listdir(self.tmp.name)) - entries:
            # DuckDB may leave its write-ahead log beside the file it opened.
            path = os.path.join(self.tmp.name, entry.removesuffix(".wal"))
            self.assertEqual(path, named, f"seed {seed}: a file other than the one named appeared")
        if self.db_bytes() == raw:
            return exc  # not a byte changed: nothing to read back
        after = duckdb_contents(self.db)
        if exc is not None:
            self.assertEqual(after, self.contents, f"seed {seed}: {exc!r} changed the database")
        for table, rows in self.contents.items():
            if table == "pipeline_state" or table.startswith("data_"):
                for row in rows:
                    self.assertIn(row, after.get(table, []), f"seed {seed}: {table} lost {row}")
        self.contents = after
        return exc

    def test_checkpoint(self):
        plausible = {
            "run_id": ["r1", "r-2", "", "\u00fc", "x\x00y"], "step": ["C", "s/1"],
            "duckdb_path": self.paths, "values": [[1, 2.5], [], None, [math.nan, math.inf]],
            "sample_id": [0, 7, -1, 2**63 - 1],
        }
        made = 0
        for i in range(iterations(40)):
            seed = BASE_SEED * 1000 + 300000 + i
            h = Hostile(seed)
            payload = h.payload(plausible, hostile=0.15, missing=0.05)
            made += h.made
            payload.setdefault("duckdb_path", self.db)
            exc = self.check_call("duckdb_checkpoint_cpp", payload, seed)
            if exc is None:
                self.assertNotIn("values", payload, f"seed {seed}")
                self.assertTrue(payload["data_table"].startswith("data_"), f"seed {seed}")
                self.assertIsInstance(payload["duckdb_path"], str)
        self.report("duckdb_checkpoint_cpp", made)

    def test_sql(self):
        plausible = {
            "duckdb_path": self.paths, "data_table": ["data_r1_C", "data_r1_C", "data_r1_C", "nope", '"q""t"'],
            "sql": [
                "CREATE OR REPLACE TABLE {out_table} AS SELECT * FROM {in_table}",
                "SELECT 1", "SELECT count(*) FROM {in_table}", "SELECT * FROM {in_table} WHERE", "INSERT INTO {out_table} SELECT 'x'",
                "CREATE TABLE IF NOT EXISTS {out_table} AS SELECT value * 2 AS v FROM {in_table}",
                "SELECT CAST('x' AS INTEGER)", "", "\x00",
            ],
            "out_table": ["o1", "o_2", '"o-3"', "{in_table}"],
        }
        made = 0
        for i in range(iterations(40)):
            seed = BASE_SEED * 1000 + 400000 + i
            h = Hostile(seed)
            payload = h.payload(plausible, hostile=0.15, missing=0.05)
            made += h.made
            exc = self.check_call("duckdb_sql_cpp", payload, seed)
            if exc is None:
                self.assertIsInstance(payload["data_table"], str, f"seed {seed}")
        self.report("duckdb_sql_cpp", made)


@unittest.skipIf(server_binary() is None, "virtual-ph-server is not built")
class OpcUaHostileTest(HostileCase):
    def test_samples_are_floats_and_failures_change_nothing(self):
        server = PhServer().start()
        self.addCleanup(server.stop)
        # Refused connects cost about a second each, so they are a rare pick.
        closed = f"opc.tcp://127.0.0.1:{free_port()}/VirtualPhServer"
        plausible = {
            "endpoint": [server.endpoint] * 12 + [closed, "opc.tcp://127.0.0.1:0/x", "no scheme", ""],
            "phNode": ["ns=2;s=VirtualPhMeter01.pH", "ns=2;s=VirtualPhMeter01.temperature", "plain word",
                       "ns=2;i=85", "ns=2;s=VirtualPhMeter01.pH\x00tail"],
            "temperatureNode": ["ns=2;s=VirtualPhMeter01.temperature", "ns=9;s=none"],
            "values": ORDINARY, "sampleChunk": ORDINARY,
        }
        made = 0
        for i in range(iterations(40)):
            seed = BASE_SEED * 1000 + 500000 + i
            h = Hostile(seed)
            payload = h.payload(plausible, hostile=0.2, missing=0.1)
            payload.setdefault("endpoint", server.endpoint)  # no server on the default port
            made += h.made
            before = snapshot(payload)
            exc = self.call("opcua_ph_source", payload, seed)
            if exc is not None:
                seen = payload
                if not isinstance(exc, RuntimeError):
                    # A Python error while "values" is read (a hostile object
                    # raising, a sequence without a length) comes after the
                    # sample was written, which then stays.
                    before = [(k, v) for k, v in before if k != "opcua_sample"]
                    seen = {k: v for k, v in dict.items(payload) if k != "opcua_sample"}
                self.assertTrue(unchanged(seen, before), f"seed {seed}: {exc!r} changed the payload")
                continue
            sample = payload["opcua_sample"]
            self.assertEqual(list(sample), ["pH", "temperature", "timestamp"], f"seed {seed}")
            self.assertIsNone(sample["timestamp"])
            self.assertTrue(is_float_list(payload["values"]), f"seed {seed}: values {payload['values']!r}")
            self.assertIs(type(sample["pH"]), float)
            self.assertEqual(repr(payload["values"][-1]), repr(sample["pH"]), f"seed {seed}")
        self.report("opcua_ph_source", made)


if __name__ == "__main__":
    unittest.main()
