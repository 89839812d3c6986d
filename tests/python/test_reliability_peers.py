"""Broken peers and file systems: a full device, a read-only directory, a
locked or foreign database file, an OPC UA server that goes away or never
answers. Every case is a clear error, with nothing half-written and nothing
already stored lost."""

import fcntl
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import ravelin
import _mirlow  # noqa: F401  (registers its ops)
import _tarrowby  # noqa: F401
import _gantree  # noqa: F401

from hostile import snapshot, unchanged
from reliability_support import (PhServer, duckdb_contents, duckdb_exec_path, duckdb_query, files_under,
                                 free_port, server_binary, summary)

CONNECT_FAILED = "opcua_ph_source_op: connect failed for endpoint "
FIGURES = {"faults": 0}


def tearDownModule():
    summary("peers", faults_injected=FIGURES["faults"], crashes=0, data_lost=0)


def read_only_directory(path):
    """Makes `path` refuse writes even to root; returns the undo, or None."""
    if shutil.which("mount"):
        bind = subprocess.run(["mount", "--bind", path, path], capture_output=True)
        if bind.returncode == 0:
            ro = subprocess.run(["mount", "-o", "remount,ro,bind", path], capture_output=True)
            if ro.returncode == 0:
                return lambda: subprocess.run(["umount", path], check=True)
            subprocess.run(["umount", path])
    if shutil.which("chattr") and subprocess.run(["chattr", "+i", path], capture_output=True).returncode == 0:
        return lambda: subprocess.run(["chattr", "-i", path], check=True)
    return None


class CsvSinkFileSystemTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def assert_fails_cleanly(self, path, message=None, watch=None):
        payload = {"csvPath": path, "stats": {"mean": 1.0, "se": 0.5}}
        before = snapshot(payload)
        files = files_under(watch or self.dir)
        FIGURES["faults"] += 1
        with self.assertRaises(Exception) as cm:
            ravelin.run_op("csv_sink", payload)
        if message is not None:
            self.assertEqual(str(cm.exception), message)
        self.assertNotIn("status", payload)
        self.assertTrue(unchanged(payload, before))
        self.assertEqual(files_under(watch or self.dir), files, "a failing call changed a file")
        return cm.exception

    def test_full_device_is_a_write_error(self):
        self.assert_fails_cleanly("/dev/full", "csv_sink_op: failed to write file: /dev/full", watch=self.dir)

    def test_read_only_directory(self):
        ro = os.path.join(self.dir, "ro")
        os.mkdir(ro)
        with open(os.path.join(ro, "old.csv"), "w") as f:
            f.write("mean,se\n1.0,0.5\n")
        undo = read_only_directory(ro)
        if undo is None:
            self.skipTest("no way to make a directory read-only for root here (no bind mount, no chattr)")
        self.addCleanup(undo)
        for name in ("new.csv", "sub/new.csv"):
            with self.subTest(name):
                path = os.path.join(ro, name)
                self.assert_fails_cleanly(path, "csv_sink_op: failed to open file: " + path)
        with self.subTest("existing file"):
            # Appending to a file on a read-only mount fails at the open as well.
            path = os.path.join(ro, "old.csv")
            self.assert_fails_cleanly(path, "csv_sink_op: failed to open file: " + path)

    def test_path_that_is_a_directory(self):
        os.mkdir(os.path.join(self.dir, "d"))
        exc = self.assert_fails_cleanly(os.path.join(self.dir, "d"))
        self.assertIsInstance(exc, RuntimeError)

    def test_parent_that_cannot_be_created(self):
        with open(os.path.join(self.dir, "file"), "w") as f:
            f.write("x")
        for path in (os.path.join(self.dir, "file", "a.csv"), os.path.join(self.dir, "file", "sub", "a.csv"),
                     "/proc/norvane-no-such-dir/a.csv"):
            with self.subTest(path):
                self.assert_fails_cleanly(path, "csv_sink_op: failed to open file: " + path)


@unittest.skipIf(duckdb_exec_path() is None, "the DuckDB test reader (tests/duckdb) is not built")
class DuckDbFileTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name
        self.db = os.path.join(self.dir, "a.duckdb")
        ravelin.run_op("duckdb_checkpoint_cpp", {"run_id": "r1", "duckdb_path": self.db, "values": [1.0, 2.5]})
        self.stored = duckdb_contents(self.db)
        self.assertEqual(len(self.stored["data_r1_C"]), 2)

    def calls(self, path):
        return [
            ("duckdb_checkpoint_cpp", {"run_id": "r1", "duckdb_path": path, "values": [9.0]}),
            ("duckdb_sql_cpp", {"duckdb_path": path, "data_table": "data_r1_C", "out_table": "o",
                                "sql": "CREATE TABLE {out_table} AS SELECT * FROM {in_table}"}),
        ]

    def assert_fails_cleanly(self, op, payload, message_part=None):
        before = snapshot(payload)
        FIGURES["faults"] += 1
        with self.assertRaises(Exception) as cm:
            ravelin.run_op(op, payload)
        if message_part:
            self.assertIn(message_part, str(cm.exception))
        self.assertTrue(unchanged(payload, before), f"{op} changed the payload")

    def test_file_locked_by_another_process(self):
        # DuckDB takes an exclusive fcntl lock on a file it opens for writing;
        # this child holds the same lock, as another DuckDB process would.
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl, sys\n"
             "f = open(sys.argv[1], 'r+b'); fcntl.lockf(f, fcntl.LOCK_EX)\n"
             "print('locked', flush=True); sys.stdin.read()", self.db],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"locked")
            for op, payload in self.calls(self.db):
                with self.subTest(op):
                    self.assert_fails_cleanly(op, payload, "lock")
        finally:
            holder.stdin.close()
            holder.wait(timeout=10)
            holder.stdout.close()
        self.assertEqual(duckdb_contents(self.db), self.stored)

    def test_file_that_is_not_a_database(self):
        path = os.path.join(self.dir, "notes.duckdb")
        content = b"mean,se\n1.0,0.5\n" * 1000
        with open(path, "wb") as f:
            f.write(content)
        for op, payload in self.calls(path):
            with self.subTest(op):
                self.assert_fails_cleanly(op, payload)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), content, "the foreign file was changed")

    def test_directory_that_does_not_exist(self):
        path = os.path.join(self.dir, "missing", "b.duckdb")
        for op, payload in self.calls(path):
            with self.subTest(op):
                self.assert_fails_cleanly(op, payload)
                self.assertFalse(os.path.exists(os.path.dirname(path)))

    def test_path_with_a_nul_byte(self):
        # The file system would stop at the NUL and open (and create) "x".
        path = os.path.join(self.dir, "x\x00y.duckdb")
        entries = sorted(os.listdir(self.dir))
        for op, payload in self.calls(path):
            with self.subTest(op):
                self.assert_fails_cleanly(op, payload, "the database path holds a NUL byte: "
                                          + os.path.join(self.dir, "x\\0y.duckdb"))
                self.assertEqual(sorted(os.listdir(self.dir)), entries)

    def test_table_of_the_same_name_with_other_columns(self):
        duckdb_query(self.db, "CREATE TABLE data_r2_C (name TEXT, seen TIMESTAMP); INSERT INTO data_r2_C VALUES ('kept', NULL)")
        stored = duckdb_contents(self.db)
        self.assert_fails_cleanly("duckdb_checkpoint_cpp", {"run_id": "r2", "duckdb_path": self.db, "values": [1.0, 2.0]})
        self.assertEqual(duckdb_contents(self.db), stored, "rows were lost or half-stored")


class SilentPeer:
    """Accepts TCP connections and then, by `mode`, says nothing, hangs up at
    once, or answers with bytes that are no OPC UA message."""

    def __init__(self, mode):
        self.mode = mode
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.endpoint = f"opc.tcp://127.0.0.1:{self.sock.getsockname()[1]}/VirtualPhServer"
        self.conns = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            if self.mode == "hangs up":
                conn.close()
                continue
            if self.mode == "garbage":
                try:
                    conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n" + bytes(range(256)) * 4)
                except OSError:
                    pass
            self.conns.append(conn)

    def close(self):
        self.sock.close()
        for c in self.conns:
            c.close()


@unittest.skipIf(server_binary() is None, "virtual-ph-server is not built")
class OpcUaPeerTest(unittest.TestCase):
    def test_server_stopped_between_calls_then_back(self):
        server = PhServer().start()
        self.addCleanup(server.stop)
        ravelin.run_op("opcua_ph_source", {"endpoint": server.endpoint})
        server.stop()
        payload = {"endpoint": server.endpoint, "values": [1.0]}
        before = snapshot(payload)
        FIGURES["faults"] += 1
        with self.assertRaises(RuntimeError) as cm:
            ravelin.run_op("opcua_ph_source", payload)
        self.assertEqual(str(cm.exception), CONNECT_FAILED + server.endpoint)
        self.assertTrue(unchanged(payload, before))
        server.start()
        ravelin.run_op("opcua_ph_source", payload)
        self.assertEqual(len(payload["values"]), 2)
        self.assertEqual(list(payload["opcua_sample"]), ["pH", "temperature", "timestamp"])

    def test_peer_that_does_not_speak_opcua(self):
        # The client's default timeout is 5 s; a call must not outlast it by much.
        for mode in ("silent", "garbage"):
            with self.subTest(mode):
                peer = SilentPeer(mode)
                self.addCleanup(peer.close)
                payload = {"endpoint": peer.endpoint}
                FIGURES["faults"] += 1
                start = time.monotonic()
                with self.assertRaises(RuntimeError) as cm:
                    ravelin.run_op("opcua_ph_source", payload)
                elapsed = time.monotonic() - start
                self.assertEqual(str(cm.exception), CONNECT_FAILED + peer.endpoint)
                self.assertEqual(payload, {"endpoint": peer.endpoint})
                self.assertLess(elapsed, 12.0, f"{mode}: took {elapsed:.1f} s")

    @unittest.skipIf(duckdb_exec_path() is None, "the DuckDB test reader (tests/duckdb) is not built")
    def test_server_killed_during_a_pipeline_run(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        server = PhServer().start()
        self.addCleanup(server.stop)
        csv_path = os.path.join(tmp.name, "out", "stats.csv")
        db = os.path.join(tmp.name, "run.duckdb")
        pipeline = ravelin.Pipeline(["opcua_ph_source", "fifo_window_buffer", "average", "csv_sink",
                                     "duckdb_checkpoint_cpp", "duckdb_sql_cpp"])

        def step(n):
            return pipeline.run({
                "endpoint": server.endpoint, "windowSize": 4, "fifoId": "killed-run", "csvPath": csv_path,
                "run_id": "killed", "sample_id": n, "duckdb_path": db, "out_table": "summary",
                "sql": "CREATE OR REPLACE TABLE {out_table} AS SELECT count(*) AS n FROM {in_table}",
            })

        done = 3
        means = [step(n)["mean"] for n in range(done)]
        with open(csv_path, "rb") as f:
            csv_before = f.read()
        server.kill()
        FIGURES["faults"] += 1
        with self.assertRaises(RuntimeError) as cm:
            step(done)
        self.assertTrue(str(cm.exception).startswith(CONNECT_FAILED))
        self.assertIn("in pipeline step 0 ('opcua_ph_source')", cm.exception.__notes__)
        with open(csv_path, "rb") as f:
            self.assertEqual(f.read(), csv_before)
        lines = csv_before.decode().splitlines()
        self.assertEqual(lines[0], "mean,se,standardError")
        self.assertEqual([float(line.split(",")[0]) for line in lines[1:]], means)
        rows = duckdb_query(db, "SELECT sample_id FROM data_killed_C ORDER BY sample_id")
        self.assertEqual(rows, [(str(n),) for n in range(done)])
        self.assertEqual(duckdb_query(db, "SELECT count(*) FROM pipeline_state"), [(str(done),)])
        self.assertEqual(duckdb_query(db, "SELECT n FROM summary"), [(str(done),)])


if __name__ == "__main__":
    unittest.main()
