"""scripts/demo end to end: the simulator, the six ops, the files it promises."""

import csv
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

import ravelin
import _tarrowby  # noqa: F401  (registers duckdb_sql_cpp, used to read the file back)

SOURCE = Path(os.environ.get("NORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("NORVANE_BUILD_DIR", SOURCE / "build"))
DEMO = SOURCE / "scripts" / "demo"
SVG = "{http://www.w3.org/2000/svg}"
TIMEOUT = 180


def demo_env():
    # The build exists under ctest: the demo uses it as it is, with the
    # interpreter running the tests.
    return dict(os.environ, NORVANE_BUILD_DIR=str(BUILD), PYTHON=sys.executable)


def run_demo(out, *args):
    return subprocess.run([str(DEMO), "--no-build", "--out", str(out), *args], env=demo_env(),
                          capture_output=True, text=True, timeout=TIMEOUT, stdin=subprocess.DEVNULL)


def query(db, sql):
    """Rows of a query on the DuckDB file, through the SQL op and a CSV export."""
    with tempfile.TemporaryDirectory() as tmp:
        export = Path(tmp) / "rows.csv"
        ravelin.run_op("duckdb_sql_cpp", {
            "duckdb_path": str(db), "data_table": "unused", "out_table": "unused",
            "sql": f"COPY ({sql}) TO '{export}' (HEADER, DELIMITER ',')"})
        with open(export, newline="") as f:
            return list(csv.DictReader(f))


def server_pid(output):
    match = re.search(r"started virtual-ph-server \(pid (\d+)\)", output)
    return int(match.group(1)) if match else None


def server_alive(pid):
    try:
        return b"virtual-ph-server" in Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False


def read_until(stream, marker, timeout):
    """What the stream gave until `marker` showed up, or the time ran out."""
    seen = b""
    deadline = time.monotonic() + timeout
    while marker not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(stream.fileno(), 4096) if ready else b""
        if ready and not chunk:
            break
        seen += chunk
    return seen


def run_id(output):
    return re.search(r"run (demo-\S+):", output).group(1)


class FiveStepRun(unittest.TestCase):
    """One run of `scripts/demo --steps 5 --interval 0` into a fresh folder."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.out = Path(cls.tmp.name) / "out"
        cls.result = run_demo(cls.out, "--steps", "5", "--interval", "0")
        cls.run_id = run_id(cls.result.stdout)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_succeeds_and_prints_the_summary(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        out = self.result.stdout
        self.assertEqual(len(re.findall(r"^step +\d/5 ", out, re.M)), 5, out)
        for label in ("readings taken  5", "last pH", "moving mean", "DuckDB summary",
                      str(self.out / "ph_stats.csv"), str(self.out / "norvane_demo.duckdb"),
                      str(self.out / "ph_chart.svg")):
            self.assertIn(label, out)

    def test_server_is_stopped(self):
        pid = server_pid(self.result.stdout)
        self.assertIsNotNone(pid, self.result.stdout)
        self.assertFalse(server_alive(pid))

    def test_csv_has_a_header_and_five_lines(self):
        lines = (self.out / "ph_stats.csv").read_text().splitlines()
        self.assertEqual(lines[0], "mean,se,standardError")
        self.assertEqual(len(lines), 6)
        rows = [[float(cell) for cell in line.split(",")] for line in lines[1:]]
        self.assertEqual(rows[0][1], 0.0)  # one reading: no spread yet
        for mean, se, standard_error in rows:
            self.assertTrue(0.0 <= mean <= 14.0)
            self.assertEqual(se, standard_error)

    def test_duckdb_holds_five_readings_and_the_summary_row(self):
        db = self.out / "norvane_demo.duckdb"
        table = "data_" + self.run_id.replace("-", "_") + "_C"
        readings = query(db, f"SELECT idx, value, sample_id FROM {table} ORDER BY sample_id")
        self.assertEqual([r["sample_id"] for r in readings], ["1", "2", "3", "4", "5"])
        self.assertEqual({r["idx"] for r in readings}, {"0"})
        values = [float(r["value"]) for r in readings]

        summary = query(db, "SELECT * FROM summary_" + self.run_id.replace("-", "_"))
        self.assertEqual(len(summary), 1)
        row = summary[0]
        self.assertEqual((row["run_id"], row["readings"], row["failed_reads"]), (self.run_id, "5", "0"))
        self.assertAlmostEqual(float(row["min_ph"]), min(values))
        self.assertAlmostEqual(float(row["max_ph"]), max(values))
        self.assertAlmostEqual(float(row["mean_ph"]), sum(values) / 5)

        # The moving mean of the last step is the mean of all five (window 10).
        last_csv_mean = float((self.out / "ph_stats.csv").read_text().splitlines()[-1].split(",")[0])
        self.assertAlmostEqual(last_csv_mean, sum(values) / 5)

        state = query(db, f"SELECT count(*) AS n FROM pipeline_state WHERE run_id = '{self.run_id}'")
        self.assertEqual(state[0]["n"], "5")

    def test_svg_is_well_formed_with_both_series(self):
        root = ET.parse(self.out / "ph_chart.svg").getroot()
        self.assertEqual(root.tag, SVG + "svg")
        groups = {g.get("id"): g for g in root.iter(SVG + "g")}
        for series in ("ph-readings", "moving-mean"):
            with self.subTest(series=series):
                self.assertIn(series, groups)
                line = next(p for p in groups[series].iter(SVG + "path") if p.get("class") == "line")
                self.assertEqual(len(line.get("d").split("L")), 5)
        band = [p for p in groups["moving-mean"].iter(SVG + "path") if p.get("class") == "se-band"]
        self.assertEqual(len(band), 1)
        texts = {t.text for t in root.iter(SVG + "text")}
        self.assertTrue({"step", "pH", "pH reading"} <= texts, texts)


class DemoFailures(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.out = Path(tmp.name) / "out"

    def test_unreachable_endpoint_is_one_line_and_a_failure(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        endpoint = f"opc.tcp://127.0.0.1:{port}/VirtualPhServer"
        result = run_demo(self.out, "--steps", "3", "--endpoint", endpoint)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.strip().splitlines(),
                         [f"demo: error: cannot reach OPC UA endpoint {endpoint} (connect failed at step 1)"])
        self.assertIsNone(server_pid(result.stdout))  # --endpoint starts no server

    def test_a_node_that_gives_no_reading_fails_the_run(self):
        result = run_demo(self.out, "--steps", "2", "--interval", "0", "--ph-node", "ns=2;s=NoSuchNode")
        self.assertEqual(result.returncode, 1)
        self.assertIn("demo: error: no pH value could be read: node ns=2;s=NoSuchNode", result.stderr)
        self.assertIn("readings taken  2 (2 failed reads, stored as NaN)", result.stdout)
        self.assertFalse(server_alive(server_pid(result.stdout)))

    def test_a_stop_signal_stops_the_server_too(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum.name):
                proc = subprocess.Popen(
                    [str(DEMO), "--no-build", "--out", str(self.out), "--steps", "1000", "--interval", "0.05"],
                    env=demo_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
                try:
                    # Signalled once the first step is through, with the server up.
                    seen = read_until(proc.stdout, b"\nstep ", TIMEOUT).decode()
                    pid = server_pid(seen)
                    self.assertIsNotNone(pid, seen)
                    self.assertTrue(server_alive(pid))
                    proc.send_signal(signum)
                    _, err = proc.communicate(timeout=60)
                finally:
                    proc.kill()
                    proc.wait()
                err = err.decode()
                self.assertEqual(proc.returncode, 128 + signum)
                self.assertRegex(err, r"demo: interrupted after \d+ of 1000 steps")
                self.assertFalse(server_alive(pid))

    def test_a_second_run_replaces_the_csv_and_adds_to_the_database(self):
        first = run_demo(self.out, "--steps", "2", "--interval", "0")
        second = run_demo(self.out, "--steps", "3", "--interval", "0")
        self.assertEqual((first.returncode, second.returncode), (0, 0), first.stderr + second.stderr)
        self.assertEqual(len((self.out / "ph_stats.csv").read_text().splitlines()), 4)
        runs = query(self.out / "norvane_demo.duckdb",
                     "SELECT run_id, count(*) AS n FROM pipeline_state GROUP BY run_id ORDER BY n")
        self.assertEqual([(r["run_id"], r["n"]) for r in runs],
                         [(run_id(first.stdout), "2"), (run_id(second.stdout), "3")])


if __name__ == "__main__":
    unittest.main()
