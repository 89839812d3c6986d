"""Reads DuckDB files back for the tests, independently of the ops under test.

The reader is duckdb_exec (DuckDB's C interface, built under tests/duckdb).
Each query runs in another process, so a successful read also shows that the
op under test closed the file.
"""

import csv
import io
import os
import subprocess

BUILD_DIR = os.environ.get(
    "NORVANE_BUILD_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
)


def exec_path():
    """The reader's path, or None when it is not built."""
    path = os.path.join(BUILD_DIR, "tests", "duckdb", "duckdb_exec")
    return path if os.access(path, os.X_OK) else None


def query(db, sql):
    """Rows of sql run on the file db, as tuples of str (NULL as None)."""
    exe = exec_path()
    if exe is None:
        raise AssertionError("duckdb_exec is not built (tests/duckdb)")
    env = dict(os.environ)
    # A plain program: the sanitizer runtime preloaded for the interpreter is not for it.
    env.pop("LD_PRELOAD", None)
    done = subprocess.run([exe, db, sql], capture_output=True, env=env, timeout=60)
    if done.returncode != 0:
        raise AssertionError(f"duckdb_exec failed on {sql!r}: {done.stderr.decode(errors='replace').strip()}")
    text = io.StringIO(done.stdout.decode("utf-8", errors="surrogateescape"), newline="")
    return [tuple(row) for row in csv.reader(text, quoting=csv.QUOTE_NOTNULL)]
