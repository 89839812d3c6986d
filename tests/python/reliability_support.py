"""Shared pieces of the reliability tests: iteration counts, the summary line,
reading a DuckDB file back and snapshots of a directory's files."""

import csv
import io
import os
import subprocess
import sys

import ph_server
from ph_server import free_port

BUILD_DIR = os.environ.get("NORVANE_BUILD_DIR", "")
SANITIZE = os.environ.get("NORVANE_SANITIZE") == "1"

# NORVANE_RELIABILITY_SCALE multiplies every iteration count (scripts/reliability
# sets it for the long run); the plain suite runs the short counts.
SCALE = max(1, int(os.environ.get("NORVANE_RELIABILITY_SCALE", "1")))


def iterations(short):
    return short * SCALE


def summary(name, **figures):
    """One line per test on stderr, collected for the figures of a run."""
    text = " ".join(f"{k}={v}" for k, v in figures.items())
    print(f"reliability {name}: {text}", file=sys.stderr, flush=True)


def duckdb_exec_path():
    path = os.path.join(BUILD_DIR, "tests", "duckdb", "duckdb_exec")
    return path if os.access(path, os.X_OK) else None


def duckdb_query(db, sql):
    """Rows of `sql` run on the file `db` by a separate process, as tuples of
    text (None for NULL)."""
    exe = duckdb_exec_path()
    if exe is None:
        raise RuntimeError("duckdb_exec not built")
    env = dict(os.environ)
    # The reader is a plain program: the sanitizer runtime preloaded for the
    # interpreter is not for it.
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([exe, db, sql], capture_output=True, env=env, timeout=60)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.decode(errors="replace").strip())
    text = proc.stdout.decode("utf-8", errors="surrogateescape")
    return [tuple(row) for row in csv.reader(io.StringIO(text), quoting=csv.QUOTE_NOTNULL)]


def duckdb_contents(db):
    """Every table of the file with its rows as a sorted list (row order is
    not what a failed call may change; their presence is)."""
    if not os.path.exists(db):
        return None
    tables = [r[0] for r in duckdb_query(db, "SELECT table_name FROM information_schema.tables ORDER BY 1")]
    contents = {}
    for table in tables:
        quoted = table.replace('"', '""')
        rows = duckdb_query(db, f'SELECT * FROM "{quoted}"')
        contents[table] = sorted(rows, key=repr)
    return contents


def files_under(directory):
    """Path -> bytes of every regular file below `directory`."""
    out = {}
    for root, _dirs, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    out[path] = f.read()
    return out


def server_binary():
    """The simulator's path, or None when it is not built."""
    try:
        return str(ph_server.server_executable())
    except FileNotFoundError:
        return None


class PhServer(ph_server.PhServer):
    """The simulator on a port fixed at construction, so that it can be
    stopped or killed and started again on the same port."""

    def __init__(self, port=None, *args):
        super().__init__(port=port or free_port(), args=args)
