"""Repeated op calls on success and failure paths, for the growth and leak
checks. Each workload runs one op `n` times per path in the current process.

Run as a program it runs every workload once with small counts: that is what
the valgrind check of scripts/reliability runs under the leak checker.
"""

import argparse
import os
import sys
import tempfile

import ravelin
import _mirlow  # noqa: F401  (registers its ops)
import _tarrowby  # noqa: F401
import _gantree  # noqa: F401

from hostile import FloatRaises, IterRaisesList, StrRaises


class Counter:
    def __init__(self):
        self.calls = 0
        self.failed = 0

    def ok(self, op, payload):
        self.calls += 1
        ravelin.run_op(op, payload)

    def fails(self, op, payload, exc_type=Exception):
        self.calls += 1
        try:
            ravelin.run_op(op, payload)
        except exc_type:
            self.failed += 1
            return
        raise AssertionError(f"{op} did not fail on {payload!r}")


def fifo(c, n, _env):
    for i in range(n):
        c.ok("fifo_window_buffer", {"values": [1.0, 2.0, float(i)], "windowSize": 16, "fifoId": "leak"})
        c.fails("fifo_window_buffer", {"fifoId": 7})
        c.fails("fifo_window_buffer", {"values": IterRaisesList([1.0, 2.0, 3.0], 2), "fifoId": "leak"})


def average(c, n, _env):
    for i in range(n):
        c.ok("average", {"window": [1.0, 2.0, float(i + 1)], "averageMethod": "harmonic"})
        c.fails("average", {"values": [1.0, -2.0], "averageMethod": "geometric"}, ValueError)
        c.fails("average", {"values": [FloatRaises()], "mode": None})


def csv_sink(c, n, env):
    path = os.path.join(env.tmp, "leak.csv")
    for i in range(n):
        if i % 500 == 0 and os.path.exists(path):
            os.unlink(path)  # keeps the file small in long runs
        c.ok("csv_sink", {"csvPath": path, "stats": {"mean": float(i), "se": 0.5}})
        c.fails("csv_sink", {"csvPath": env.tmp, "data": {"a": 1}})  # a directory
        c.fails("csv_sink", {"csvPath": path, "data": {1: "int key"}})
        c.fails("csv_sink", {"csvPath": path, "data": {"a": StrRaises()}})
        c.fails("csv_sink", {"handleUri": 5})


def checkpoint(c, n, env):
    db = os.path.join(env.tmp, "leak.duckdb")
    missing = os.path.join(env.tmp, "missing", "x.duckdb")
    for i in range(n):
        c.ok("duckdb_checkpoint_cpp", {"run_id": "leak", "duckdb_path": db, "values": [1.0, 2.0], "sample_id": i})
        c.fails("duckdb_checkpoint_cpp", {"run_id": "leak", "duckdb_path": missing, "values": [1.0]})
        c.fails("duckdb_checkpoint_cpp", {"run_id": "leak", "duckdb_path": db, "values": ["x"]})
        # A table of the data table's name with other columns: DuckDB refuses the rows.
        c.fails("duckdb_checkpoint_cpp", {"run_id": "other", "duckdb_path": db, "values": [1.0]})


def prepare_checkpoint(env):
    db = os.path.join(env.tmp, "leak.duckdb")
    ravelin.run_op("duckdb_sql_cpp", {"duckdb_path": db, "data_table": "x", "out_table": "x",
                                      "sql": "CREATE TABLE IF NOT EXISTS data_other_C (name TEXT)"})


def sql(c, n, env):
    db = os.path.join(env.tmp, "leak.duckdb")
    base = {"duckdb_path": db, "data_table": "data_leak_C", "out_table": "leak_out"}
    for _ in range(n):
        c.ok("duckdb_sql_cpp", dict(base, sql="CREATE OR REPLACE TABLE {out_table} AS SELECT count(*) AS n FROM {in_table}"))
        c.fails("duckdb_sql_cpp", dict(base, sql="SELECT * FROM no_such_table"), RuntimeError)
        c.fails("duckdb_sql_cpp", dict(base, duckdb_path=os.path.join(env.tmp, "missing", "x.duckdb"), sql="SELECT 1"))


def opcua(c, n, env):
    for i in range(n):
        c.ok("opcua_ph_source", {"endpoint": env.endpoint, "values": [1.0, 2.0]})
        c.fails("opcua_ph_source", {"endpoint": 5})
        if env.closed_endpoint and i % env.closed_every == 0:
            c.fails("opcua_ph_source", {"endpoint": env.closed_endpoint}, RuntimeError)


WORKLOADS = {
    "fifo_window_buffer": fifo,
    "average": average,
    "csv_sink": csv_sink,
    "duckdb_checkpoint_cpp": checkpoint,
    "duckdb_sql_cpp": sql,
    "opcua_ph_source": opcua,
}


class Env:
    def __init__(self, tmp, endpoint=None, closed_endpoint=None, closed_every=10):
        self.tmp = tmp
        self.endpoint = endpoint
        self.closed_endpoint = closed_endpoint
        self.closed_every = closed_every


def main():
    from reliability_support import PhServer, free_port, server_binary
    parser = argparse.ArgumentParser()
    parser.add_argument("--iterations", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        server = PhServer().start() if server_binary() else None
        try:
            env = Env(tmp, server.endpoint if server else None,
                      f"opc.tcp://127.0.0.1:{free_port()}/VirtualPhServer", closed_every=10)
            prepare_checkpoint(env)
            c = Counter()
            for name, workload in WORKLOADS.items():
                if name == "opcua_ph_source" and server is None:
                    continue
                workload(c, args.iterations, env)
            print(f"workloads: calls={c.calls} failed={c.failed}", file=sys.stderr)
        finally:
            if server:
                server.stop()


if __name__ == "__main__":
    main()
