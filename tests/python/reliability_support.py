"""Shared pieces of the reliability tests: iteration counts, the summary line,
reading a DuckDB file back and snapshots of a directory's files."""

import os
import sys

import duckdb_reader
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


duckdb_exec_path = duckdb_reader.exec_path
duckdb_query = duckdb_reader.query


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
