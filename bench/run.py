"""Runs every benchmark scenario and prints one table (run through scripts/bench).

Each scenario times the op, what a user would write instead (the peer) and
the least a native program needs for the same work (the floor). They run
interleaved, round after round, so that a slow spell of this shared machine
hits all of them alike; the table shows the median over the rounds and the
spread (largest minus smallest round, relative to the median).
"""

import argparse
import collections
import csv
import json
import math
import os
import platform
import random
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROUNDS, QUICK_ROUNDS = 9, 3


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.bin = os.path.join(self.build, "bench")
        self.rounds = QUICK_ROUNDS if args.quick else ROUNDS
        self.rows = []
        self.scaling = {}
        self.skipped = []
        self.tmp = tempfile.mkdtemp(prefix="norvane-bench-")
        # CPU-bound scenarios are timed in this thread's CPU time, which a
        # busy machine disturbs far less than the wall clock; scenarios that
        # wait for files, databases or the network use the wall clock.
        self.clock = time.perf_counter

    # --- measuring ---------------------------------------------------------

    def interleaved(self, contestants, calls, rounds=None):
        """contestants: name -> function(calls) returning seconds per call.
        Returns name -> list of per-round seconds per call."""
        rounds = rounds or self.rounds
        names = list(contestants)
        times = {n: [] for n in names}
        for r in range(rounds):
            # Rotate the order so that none always runs first (cold) or last.
            order = names[r % len(names):] + names[: r % len(names)]
            for n in order:
                times[n].append(contestants[n](calls))
        return times

    def looped(self, fn, setup=None):
        """A contestant that calls fn() `calls` times; setup(), if given,
        runs untimed before each call and its result is passed to fn."""

        clock = self.clock

        def run(calls):
            total = 0.0
            for _ in range(calls):
                arg = setup()
                start = clock()
                fn(arg)
                total += clock() - start
            return total / calls

        def run_plain(calls):
            start = clock()
            for _ in range(calls):
                fn()
            return (clock() - start) / calls

        return run if setup else run_plain

    def floor_program(self, argv, parse=float):
        """A contestant that runs a floor program once per round; it prints
        its own per-call times (the mean of its lines is taken)."""

        def run(calls):
            out = subprocess.run(argv(calls), check=True, capture_output=True, text=True).stdout
            vals = [parse(line) for line in out.splitlines() if line.strip() and parse(line) is not None]
            return sum(vals) / len(vals)

        return run

    def record(self, scenario, size, times, goal, unit="call", per=1):
        stats = {}
        for name, ts in times.items():
            ts = [t / per for t in ts]
            med = statistics.median(ts)
            stats[name] = {"median": med, "spread": (max(ts) - min(ts)) / med if med else 0.0, "rounds": ts}
        row = {"scenario": scenario, "size": size, "unit": unit, "times": stats, "goal": goal}
        row["met"], row["ratios"] = self.judge(stats, goal)
        self.rows.append(row)
        self.print_row(row)
        return row

    @staticmethod
    def judge(stats, goal):
        op = stats["op"]["median"]
        ratios = {}
        met = True
        if "peer" in stats:
            ratios["peer/op"] = stats["peer"]["median"] / op
            if "faster" in goal:
                met &= ratios["peer/op"] >= goal["faster"]
        if "floor" in stats:
            ratios["op/floor"] = op / stats["floor"]["median"]
            if "floor" in goal:
                met &= ratios["op/floor"] <= goal["floor"]
        return met, ratios

    # --- output ------------------------------------------------------------

    HEADER = f"{'scenario':<44} {'size':>9} {'op':>11} {'spread':>6} {'peer':>11} {'peer/op':>8} {'floor':>11} {'op/floor':>8}  goal"

    @staticmethod
    def fmt_time(s):
        if s is None:
            return "-"
        for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
            if s >= scale:
                return f"{s / scale:.3g} {unit}"
        return f"{s / 1e-9:.3g} ns"

    def print_row(self, row):
        t, r, g = row["times"], row["ratios"], row["goal"]
        goal = []
        if "faster" in g:
            goal.append(f">={g['faster']}x vs peer")
        if "floor" in g:
            goal.append(f"<={g['floor']}x floor")
        line = (
            f"{row['scenario']:<44} {row['size']:>9} {self.fmt_time(t['op']['median']):>11} "
            f"{t['op']['spread'] * 100:>5.0f}% "
            f"{self.fmt_time(t.get('peer', {}).get('median')):>11} "
            f"{('%.2fx' % r['peer/op']) if 'peer/op' in r else '-':>8} "
            f"{self.fmt_time(t.get('floor', {}).get('median')):>11} "
            f"{('%.2fx' % r['op/floor']) if 'op/floor' in r else '-':>8}  "
            f"{', '.join(goal)} {('met' if row['met'] else 'MISSED') if goal else ''}"
        )
        print(line, flush=True)

    def print_table(self):
        print()
        print(f"Per call (C++ average: per value); median of {self.rounds} interleaved rounds (C++ kernels: Google Benchmark"
              " repetitions); spread = (max-min)/median of the op. CPU time for _kestrum, the pipeline and the C++ kernels,"
              " wall-clock time for the file, database and network ops.")
        print(self.HEADER)
        for row in self.rows:
            self.print_row(row)
        for name, points in self.scaling.items():
            print(f"\nScaling, {name}:")
            base_size, base = points[0]
            for size, t in points:
                print(f"  {size:>9}  {self.fmt_time(t):>10}  x{t / base:7.2f} for x{size / base_size:g} the size")
        for name, why in self.skipped:
            print(f"skipped: {name}: {why}")

    # --- scenarios ---------------------------------------------------------

    def run(self, only):
        print(self.HEADER, flush=True)
        for name in ["average", "kernels", "fifo", "pipeline", "csv", "checkpoint", "sql", "opcua"]:
            if only and name not in only:
                continue
            self.clock = time.thread_time if name in ("average", "fifo", "pipeline") else time.perf_counter
            try:
                getattr(self, "bench_" + name)()
            except ImportError as e:
                self.skipped.append((name, f"module not built ({e})"))
            except (FileNotFoundError, subprocess.CalledProcessError) as e:
                detail = getattr(e, "stderr", None) or ""
                self.skipped.append((name, f"{e} {detail}".strip()))

    def bench_average(self):
        import _kestrum

        rng = random.Random(1)
        values = [rng.uniform(6.0, 8.0) for _ in range(10_000)]
        weights = [rng.uniform(0.5, 1.5) for _ in range(10_000)]
        n = len(values)
        peers = {
            "arithmetic": lambda: statistics.fmean(values),
            "weighted": lambda: statistics.fmean(values, weights),
            "harmonic": lambda: statistics.harmonic_mean(values),
            "geometric": lambda: statistics.geometric_mean(values),
        }
        calls = 20 if self.args.quick else 50
        for method, peer_mean in peers.items():
            w = weights if method == "weighted" else None

            def peer(peer_mean=peer_mean):
                m = peer_mean()
                return m, math.sqrt(sum((x - m) ** 2 for x in values) / n / n)

            times = self.interleaved(
                {
                    "op": self.looped(lambda: _kestrum.average(values, method, w)),
                    "peer": self.looped(peer),
                    "floor": self.looped(lambda: _kestrum.vector_sum(values)),
                },
                calls,
            )
            self.record(f"_kestrum.average ({method})", "10^4", times, {"faster": 20, "floor": 1.5})

    def bench_kernels(self):
        exe = os.path.join(self.bin, "kernels_bench")
        reps = 3 if self.args.quick else 7
        min_time = "0.05" if self.args.quick else "0.2"
        out = subprocess.run(
            [exe, "--benchmark_format=json", f"--benchmark_repetitions={reps}", f"--benchmark_min_time={min_time}",
             "--benchmark_enable_random_interleaving=true"],
            check=True, capture_output=True, text=True).stdout
        runs = collections.defaultdict(list)
        for b in json.loads(out)["benchmarks"]:
            if b.get("run_type") == "iteration":
                # CPU time: see Bench.clock.
                runs[b["run_name"]].append(b["cpu_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[b["time_unit"]])
        for method in ("arithmetic", "harmonic", "geometric", "weighted"):
            for n in (10**3, 10**4, 10**5, 10**6, 10**7):
                name = f"average/{method}/{n}" if method != "weighted" else f"weighted_average/{n}"
                times = {"op": runs[name], "floor": runs[f"in_order_sum/{n}"]}
                self.record(f"norvane::average C++ ({method})", f"10^{int(math.log10(n))}", times,
                            {"floor": 2.2}, unit="value", per=n)
        for window in (1000, 100000):
            for chunk in (1, 100):
                times = {"op": runs[f"fifo_window/{window}/{chunk}"], "floor": runs[f"window_copy/{window}"]}
                # No goal of its own: the floor is one copy of the window,
                # the call also moves it down by the chunk.
                self.record(f"norvane::fifo_window_buffer C++ (chunk {chunk})", window, times, {})

    def bench_fifo(self):
        import _kestrum
        sys.path.insert(0, os.path.join(self.bin, "python"))
        import _bench_floor

        calls = 200 if self.args.quick else 1000
        for window in (1000, 100_000):
            for chunk_len in (1, 100):
                chunk = [7.0 + i * 1e-3 for i in range(chunk_len)]
                fid = f"bench-{window}-{chunk_len}"
                _kestrum.reset_fifo(fid)
                _kestrum.fifo_window_buffer([7.0] * window, window, fid)
                d = collections.deque([0.0] * window, maxlen=window)

                def peer():
                    d.extend(chunk)
                    return list(d)

                c = max(20, calls * 1000 // window)
                times = self.interleaved(
                    {
                        "op": self.looped(lambda: _kestrum.fifo_window_buffer(chunk, window, fid)),
                        "peer": self.looped(peer),
                        "floor": self.looped(lambda: _bench_floor.new_float_list(chunk, window)),
                    },
                    c,
                )
                self.record(f"_kestrum.fifo_window_buffer (chunk {chunk_len})", window, times, {"floor": 1.3})
        # Scaling with the window size, chunk 1.
        points = []
        for window in (10, 100, 1000, 10_000, 100_000, 1_000_000):
            fid = f"scale-{window}"
            _kestrum.fifo_window_buffer([0.0] * window, window, fid)
            c = max(5, 20_000_000 // (window * 50 + 2000) // (4 if self.args.quick else 1))
            t = self.interleaved({"op": self.looped(lambda: _kestrum.fifo_window_buffer([1.0], window, fid))}, c)
            points.append((window, statistics.median(t["op"])))
            _kestrum.reset_fifo(fid)
        self.scaling["_kestrum.fifo_window_buffer, chunk 1, by window size"] = points

    def bench_pipeline(self):
        import _kestrum
        import ravelin
        import _mirlow  # noqa: F401

        window = 1000
        samples = [7.0 + (i % 97) * 1e-3 for i in range(window)]
        for fid in ("pipe-op", "pipe-floor"):
            ravelin.run_op("fifo_window_buffer", {"values": samples, "windowSize": window, "fifoId": fid})
            _kestrum.fifo_window_buffer(samples, window, fid)
        d = collections.deque(samples, maxlen=window)
        value = [7.01]

        def op():
            p = {"values": value, "windowSize": window, "fifoId": "pipe-op"}
            ravelin.run_op("fifo_window_buffer", p)
            ravelin.run_op("average", p)

        def peer():
            p = {"values": value, "windowSize": window}
            d.extend(p["values"])
            w = p["window"] = list(d)
            m = statistics.fmean(w)
            se = math.sqrt(sum((x - m) ** 2 for x in w) / len(w) / len(w))
            p["stats"] = {"mean": m, "se": se, "standardError": se}
            p["mean"], p["se"], p["standardError"] = m, se, se

        def floor():
            w = _kestrum.fifo_window_buffer(value, window, "pipe-floor")
            _kestrum.average(w)

        calls = 300 if self.args.quick else 1000
        times = self.interleaved({"op": self.looped(op), "peer": self.looped(peer), "floor": self.looped(floor)}, calls)
        self.record("fifo_window_buffer + average via ravelin.run_op", window, times, {"floor": 1.5})

    def bench_csv(self):
        import ravelin
        import _mirlow  # noqa: F401

        floor_exe = os.path.join(self.bin, "csv_floor")
        calls = 100 if self.args.quick else 300
        sizes = (10, 1000, 100_000, 1_000_000)
        points = []
        for lines in sizes:
            paths = {n: os.path.join(self.tmp, f"{n}-{lines}.csv") for n in ("op", "peer", "floor")}
            prefix = "mean,se\n" + "7.0,0.01\n" * lines
            for p in paths.values():
                with open(p, "w") as f:
                    f.write(prefix)
            size = len(prefix)
            stats = {"mean": 7.0123456789, "se": 0.0123456789}

            def op(calls, path=paths["op"]):
                os.truncate(path, size)
                payload = {"csvPath": path, "stats": stats}
                start = time.perf_counter()
                for _ in range(calls):
                    ravelin.run_op("csv_sink", payload)
                return (time.perf_counter() - start) / calls

            def peer(calls, path=paths["peer"]):
                os.truncate(path, size)
                start = time.perf_counter()
                for _ in range(calls):
                    header = not os.path.exists(path) or os.path.getsize(path) == 0
                    with open(path, "a", newline="") as f:
                        w = csv.writer(f, lineterminator="\n")
                        if header:
                            w.writerow(stats.keys())
                        w.writerow(stats.values())
                return (time.perf_counter() - start) / calls

            floor_run = self.floor_program(lambda calls, path=paths["floor"]: [floor_exe, path, str(calls), "1"])

            def floor(calls, path=paths["floor"]):
                os.truncate(path, size)
                return floor_run(calls)

            times = self.interleaved({"op": op, "peer": peer, "floor": floor}, calls)
            row = self.record("csv_sink, one line per call", f"{lines} lines", times, {"faster": 2.5, "floor": 1.6})
            points.append((lines, row["times"]["op"]["median"]))
            for p in paths.values():
                os.remove(p)
        self.scaling["csv_sink, by file length (lines)"] = points

    def bench_checkpoint(self):
        import ravelin
        import _tarrowby  # noqa: F401

        floor_exe = os.path.join(self.bin, "duckdb_floor")
        points = []
        for n in (10**3, 10**5, 10**6):
            values = [7.0 + (i % 1000) * 1e-3 for i in range(n)]
            rounds = self.rounds if n < 10**6 else max(3, self.rounds // 2)
            calls = 3 if n <= 10**5 and not self.args.quick else 1
            paths = {k: os.path.join(self.tmp, f"ckpt-{k}.duckdb") for k in ("op", "floor")}
            peer_path = os.path.join(self.tmp, "ckpt-peer.sqlite")

            def fresh(path):
                for p in (path, path + ".wal"):
                    if os.path.exists(p):
                        os.remove(p)

            def op_call(_):
                ravelin.run_op("duckdb_checkpoint_cpp", {"run_id": "bench", "duckdb_path": paths["op"], "values": values})

            def peer_call(_):
                con = sqlite3.connect(peer_path)
                with con:
                    con.execute("CREATE TABLE IF NOT EXISTS data_bench_C (idx INTEGER, value REAL, sample_id INTEGER)")
                    con.executemany("INSERT INTO data_bench_C VALUES (?, ?, ?)", ((i, v, 0) for i, v in enumerate(values)))
                    con.execute("CREATE TABLE IF NOT EXISTS pipeline_state (run_id TEXT, step TEXT, duckdb_path TEXT,"
                                " data_table TEXT, payload_json TEXT)")
                    con.execute("INSERT INTO pipeline_state VALUES (?, ?, ?, ?, ?)",
                                ("bench", "C", peer_path, "data_bench_C", json.dumps({"run_id": "bench"})))
                con.close()

            times = self.interleaved(
                {
                    "op": self.looped(op_call, setup=lambda: fresh(paths["op"])),
                    "peer": self.looped(peer_call, setup=lambda: fresh(peer_path)),
                    "floor": self.floor_program(lambda calls: [floor_exe, "checkpoint", paths["floor"], str(n), str(calls)]),
                },
                calls, rounds)
            goal = {"floor": 1.2}
            if n == 10**6:
                goal["faster"] = 3
            row = self.record("duckdb_checkpoint_cpp", f"10^{int(math.log10(n))}", times, goal)
            points.append((n, row["times"]["op"]["median"]))
            for p in list(paths.values()) + [peer_path]:
                fresh(p)
        self.scaling["duckdb_checkpoint_cpp, by values per call"] = points

    def bench_sql(self):
        import ravelin
        import _tarrowby  # noqa: F401

        floor_exe = os.path.join(self.bin, "duckdb_floor")
        n = 10**6
        db = os.path.join(self.tmp, "sql.duckdb")
        lite = os.path.join(self.tmp, "sql.sqlite")
        rng = random.Random(2)
        values = [rng.uniform(6.0, 8.0) for _ in range(n)]
        ravelin.run_op("duckdb_checkpoint_cpp", {"run_id": "bench", "duckdb_path": db, "values": values})
        con = sqlite3.connect(lite)
        with con:
            con.execute("CREATE TABLE data_bench_C (idx INTEGER, value REAL, sample_id INTEGER)")
            con.executemany("INSERT INTO data_bench_C VALUES (?, ?, ?)", ((i, v, 0) for i, v in enumerate(values)))
        con.close()
        select = ("SELECT idx % 100 AS grp, count(*) AS n, avg(value) AS mean, min(value) AS lo, max(value) AS hi"
                  " FROM {in_table} GROUP BY grp")
        sql = "CREATE OR REPLACE TABLE {out_table} AS " + select
        resolved = sql.replace("{in_table}", "data_bench_C").replace("{out_table}", "summary")

        def op():
            ravelin.run_op("duckdb_sql_cpp", {"duckdb_path": db, "data_table": "data_bench_C", "sql": sql,
                                              "out_table": "summary"})

        def peer():
            c = sqlite3.connect(lite)
            with c:
                c.execute("DROP TABLE IF EXISTS summary")
                c.execute("CREATE TABLE summary AS " + select.replace("{in_table}", "data_bench_C"))
            c.close()

        calls = 1 if self.args.quick else 3
        times = self.interleaved(
            {"op": self.looped(op), "peer": self.looped(peer),
             "floor": self.floor_program(lambda calls: [floor_exe, "sql", db, resolved, str(calls)])},
            calls)
        self.record("duckdb_sql_cpp, grouped summary", "10^6 rows", times, {"floor": 1.2})
        for p in (db, db + ".wal", lite):
            if os.path.exists(p):
                os.remove(p)

    def bench_opcua(self):
        import ravelin
        import _gantree  # noqa: F401

        server_exe = os.path.join(self.build, "bin", "virtual-ph-server")
        floor_exe = os.path.join(self.bin, "opcua_floor")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        server = subprocess.Popen([server_exe, "--port", str(port)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True)
        try:
            deadline = time.monotonic() + 20
            while server.stdout.readline().strip() != "ready":
                if time.monotonic() > deadline or server.poll() is not None:
                    raise FileNotFoundError("virtual-ph-server did not get ready")
            # Keep reading its log, so that a full pipe never stalls it.
            threading.Thread(target=server.stdout.read, daemon=True).start()
            endpoint = f"opc.tcp://127.0.0.1:{port}/VirtualPhServer"

            def op():
                ravelin.run_op("opcua_ph_source", {"endpoint": endpoint})

            def parse(line):
                return float(line.split()[1]) if line.startswith("T ") else None

            calls = 3 if self.args.quick else 5
            # The client library logs to standard output in this process too;
            # keep it out of the table.
            sys.stdout.flush()
            saved = os.dup(1)
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
            try:
                times = self.interleaved(
                    {"op": self.looped(op),
                     "floor": self.floor_program(lambda calls: [floor_exe, endpoint, str(calls)], parse)},
                    calls)
            finally:
                os.dup2(saved, 1)
                os.close(saved)
                os.close(devnull)
            self.record("opcua_ph_source, loopback simulator", "1 sample", times, {"floor": 1.05})
        finally:
            server.terminate()
            server.wait(timeout=10)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--quick", action="store_true", help="fewer rounds and calls: about a minute")
    ap.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    ap.add_argument("--only", help="comma-separated scenarios: " + "average,kernels,fifo,pipeline,csv,checkpoint,sql,opcua")
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.build_dir), "python"))
    b = Bench(args)
    started = time.time()
    b.run(set(args.only.split(",")) if args.only else None)
    b.print_table()
    print(f"\n{time.time() - started:.0f} s, Python {platform.python_version()}, {os.cpu_count()} cores")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"quick": args.quick, "rounds": b.rounds, "python": platform.python_version(),
                       "started": started, "results": b.rows,
                       "scaling": {k: [{"size": s, "seconds": t} for s, t in v] for k, v in b.scaling.items()},
                       "skipped": b.skipped}, f, indent=1)


if __name__ == "__main__":
    main()
