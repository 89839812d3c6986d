"""Every op run many times in one process, on success and failure paths:
resident size and open file descriptors stay flat after a warm-up.

Native leaks proper are the business of the valgrind check at the end, which
runs only in the long run (scripts/reliability), as it takes minutes.
"""

import gc
import os
import re
import subprocess
import sys
import tempfile
import unittest

import reliability_workloads as w
from reliability_support import (BUILD_DIR, SANITIZE, PhServer, free_port, iterations, server_binary,
                                 summary)

PAGE = os.sysconf("SC_PAGE_SIZE")
# What a healthy process may still gain after the warm-up: allocator caches,
# the interpreter's free lists. A leak of a few dozen bytes per call in the
# long run, or of a file's buffer per call in the short one, goes well past it.
RSS_BOUND = 4 * 1024 * 1024

# Rounds per op in the short run (each round is one success and two or three
# failures); the long run multiplies them.
ROUNDS = {
    "fifo_window_buffer": 2000,
    "average": 2000,
    "csv_sink": 300,
    "duckdb_checkpoint_cpp": 20,
    "duckdb_sql_cpp": 20,
    "opcua_ph_source": 20,
}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


class GrowthTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        # A port nobody listens on: connects to it are refused (about 1 s each).
        cls.env = w.Env(cls.tmp.name, None, f"opc.tcp://127.0.0.1:{free_port()}/VirtualPhServer",
                        closed_every=10)
        w.prepare_checkpoint(cls.env)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def check_flat(self, name):
        workload = w.WORKLOADS[name]
        rounds = iterations(ROUNDS[name])
        # Long enough for the allocator to reach its working set: a DuckDB
        # open/close swings resident size by about 2 MiB from one call to the
        # next, and needs some ten rounds before it stops climbing.
        warm = max(10, rounds // 5)
        c = w.Counter()
        workload(c, warm, self.env)
        gc.collect()
        rss0, fds0 = rss(), open_fds()
        workload(c, rounds, self.env)
        gc.collect()
        rss1, fds1 = rss(), open_fds()
        growth = rss1 - rss0
        summary(f"leaks {name}", iterations=c.calls, failed_calls=c.failed,
                rss_growth_kib=growth // 1024, fd_growth=len(fds1) - len(fds0))
        self.assertEqual(fds1, fds0, f"{name}: open descriptors changed")
        if not SANITIZE:  # the sanitizer's quarantine keeps freed memory resident by design
            self.assertLess(growth, RSS_BOUND, f"{name}: resident size grew by {growth} bytes")

    def test_fifo_window_buffer(self):
        self.check_flat("fifo_window_buffer")

    def test_average(self):
        self.check_flat("average")

    def test_csv_sink(self):
        self.check_flat("csv_sink")

    def test_duckdb_checkpoint(self):
        self.check_flat("duckdb_checkpoint_cpp")

    def test_duckdb_sql(self):
        self.check_flat("duckdb_sql_cpp")

    @unittest.skipIf(server_binary() is None, "virtual-ph-server is not built")
    def test_opcua_ph_source(self):
        server = PhServer().start()
        self.addCleanup(server.stop)
        self.env.endpoint = server.endpoint
        self.check_flat("opcua_ph_source")


# Frames of our own code in a valgrind stack: the modules, the host, libkestrum.
PROJECT_FRAME = re.compile(r"(_mirlow|_tarrowby|_gantree|_kestrum|_host)\.cpython|/(ops|signal|modules|host)/[\w/]+\.(cpp|hpp)")


def definitely_lost_in_project(valgrind_log):
    """The "definitely lost" records whose stack passes through our code."""
    records = re.split(r"\n==\d+== \n", valgrind_log)
    return [r for r in records if "definitely lost" in r and PROJECT_FRAME.search(r)]


@unittest.skipUnless(os.environ.get("NORVANE_RELIABILITY_VALGRIND") == "1",
                     "the valgrind leak check runs in the long run (scripts/reliability)")
class NativeLeakTest(unittest.TestCase):
    def test_no_definitely_lost_blocks_in_project_code(self):
        rounds = int(os.environ.get("NORVANE_RELIABILITY_VALGRIND_ROUNDS", "3"))
        with tempfile.TemporaryDirectory() as tmp:
            # Kept in the build directory, for a look at the records after a failure.
            log = os.path.join(BUILD_DIR or tmp, "reliability-valgrind.log")
            env = dict(os.environ, PYTHONMALLOC="malloc")
            env.pop("LD_PRELOAD", None)
            cmd = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite", "--num-callers=40",
                   f"--log-file={log}", sys.executable, "-m", "reliability_workloads",
                   "--iterations", str(rounds)]
            proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=3600,
                                  cwd=os.path.dirname(os.path.abspath(__file__)))
            with open(log) as f:
                text = f.read()
        self.assertEqual(proc.returncode, 0, proc.stderr[-2000:])
        ours = definitely_lost_in_project(text)
        total = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
        calls = re.search(r"workloads: calls=(\d+) failed=(\d+)", proc.stderr)
        summary("valgrind", rounds=rounds, calls=calls.group(1) if calls else "?",
                failed_calls=calls.group(2) if calls else "?",
                definitely_lost_total=total.group(0).split(": ")[1] if total else "0 bytes",
                project_leaks=len(ours))
        self.assertEqual(ours, [], "\n\n".join(ours[:5]))


if __name__ == "__main__":
    unittest.main()
