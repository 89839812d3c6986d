"""The norvane demo: live pH readings through a six-op pipeline.

Every step builds a fresh payload and runs it through

    opcua_ph_source -> fifo_window_buffer -> average -> csv_sink
        -> duckdb_checkpoint_cpp -> duckdb_sql_cpp

so one reading goes from an OPC UA server into a moving window, its mean and
standard error, a line of a CSV file, a row of a DuckDB table and a per-run
summary table. At the end it reads the summary back and draws an SVG chart.

Run it through scripts/demo, which builds the modules and puts them on the
import path. Only the standard library is used besides the modules.
"""

import argparse
import contextlib
import csv
import ctypes
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from xml.sax.saxutils import escape

PROG = "demo"
PIPELINE = [
    "opcua_ph_source",
    "fifo_window_buffer",
    "average",
    "csv_sink",
    "duckdb_checkpoint_cpp",
    "duckdb_sql_cpp",
]
PH_NODE = "ns=2;s=VirtualPhMeter01.pH"
TEMPERATURE_NODE = "ns=2;s=VirtualPhMeter01.temperature"
CONNECT_FAILED = "opcua_ph_source_op: connect failed for endpoint "

CSV_NAME = "ph_stats.csv"
DB_NAME = "norvane_demo.duckdb"
CHART_NAME = "ph_chart.svg"
OPCUA_LOG_NAME = "opcua.log"
SERVER_LOG_NAME = "virtual-ph-server.log"

SERVER_READY_TIMEOUT = 10.0
SERVER_STOP_TIMEOUT = 5.0


class DemoError(Exception):
    """A failure the demo reports as one line and a non-zero status."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP: unwinds like Ctrl-C, so the server is stopped."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


# --- command line ------------------------------------------------------------


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expects a whole number of at least 1, got {text}")
    return value


def seconds(text):
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"expects a number of seconds of at least 0, got {text}")
    return value


class HelpFormatter(argparse.HelpFormatter):
    """Wraps help text without splitting names such as virtual-ph-server."""

    def _fill_text(self, text, width, indent):
        return textwrap.fill(" ".join(text.split()), width, initial_indent=indent,
                             subsequent_indent=indent, break_on_hyphens=False)

    def _split_lines(self, text, width):
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="scripts/demo",
        formatter_class=HelpFormatter,
        description=(
            "Reads pH values from an OPC UA server, one per step, through the pipeline "
            + " -> ".join(PIPELINE)
            + ". Writes a CSV file of moving statistics, a DuckDB file with every reading and a "
            "per-run summary table, and an SVG chart. Without --endpoint it starts the simulated "
            "pH meter virtual-ph-server on a free loopback port and stops it at the end."
        ),
        epilog=(
            "The CSV file and the chart of an earlier run in the same --out folder are replaced; "
            "the DuckDB file keeps every run, each under its own run id."
        ),
    )
    parser.add_argument("--steps", type=positive_int, default=60, metavar="N",
                        help="number of readings to take (default 60)")
    parser.add_argument("--interval", type=seconds, default=0.2, metavar="SECONDS",
                        help="time from one reading to the next (default 0.2)")
    parser.add_argument("--window", type=positive_int, default=10, metavar="N",
                        help="length of the moving window the mean is taken over (default 10)")
    parser.add_argument("--out", type=Path, default=Path("demo-out"), metavar="DIR",
                        help="folder for every output file, created when missing (default ./demo-out)")
    parser.add_argument("--endpoint", metavar="URL",
                        help="OPC UA endpoint of a real instrument or server "
                             "(for instance opc.tcp://meter.local:4840/VirtualPhServer); "
                             "no server is started then")
    parser.add_argument("--ph-node", default=PH_NODE, metavar="NODEID",
                        help=f"node id of the pH variable (default {PH_NODE})")
    parser.add_argument("--temperature-node", default=TEMPERATURE_NODE, metavar="NODEID",
                        help=f"node id of the temperature variable (default {TEMPERATURE_NODE})")
    parser.add_argument("--no-build", action="store_true",
                        help="use the existing build as it is (read by scripts/demo)")
    return parser.parse_args(argv)


# --- output ------------------------------------------------------------------


class Display:
    """The demo's own output, on a copy of the terminal's stdout.

    The OPC UA library logs to file descriptor 1, so while the pipeline runs
    that descriptor points at a log file; this copy still reaches the user.
    """

    BAR = 24

    def __init__(self):
        sys.stdout.flush()
        self.stream = os.fdopen(os.dup(sys.stdout.fileno()), "w", encoding="utf-8", errors="replace")
        self.tty = self.stream.isatty()
        self.open_line = 0

    def _end_line(self):
        if self.open_line:
            self.stream.write("\n")
            self.open_line = 0

    def say(self, text):
        self._end_line()
        self.stream.write(f"{PROG}: {text}\n")
        self.stream.flush()

    def lines(self, lines):
        self._end_line()
        self.stream.write("".join(line + "\n" for line in lines))
        self.stream.flush()

    def progress(self, step, total, ph, mean, se):
        width = len(str(total))
        stats = f"pH {ph:6.3f}   mean {mean:6.3f} ± {se:.3f}"
        if self.tty:
            done = self.BAR * step // total
            bar = "#" * done + "-" * (self.BAR - done)
            line = f"[{bar}] {step:>{width}}/{total}  {stats}"
            # Pad over whatever a longer earlier line left on screen.
            self.stream.write("\r" + line.ljust(self.open_line))
            self.open_line = max(self.open_line, len(line))
        else:
            self.stream.write(f"step {step:>{width}}/{total}  {stats}\n")
        self.stream.flush()

    def note(self, text):
        """A line on stderr, after the progress line is ended."""
        self._end_line()
        self.stream.flush()
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)

    def error(self, text):
        self.note(f"error: {text}")

    def close(self):
        # The reader may be gone (scripts/demo | head): nothing left to tell it.
        # Closing still releases the descriptor when the final flush fails.
        with contextlib.suppress(BrokenPipeError):
            self._end_line()
        with contextlib.suppress(BrokenPipeError):
            self.stream.close()


def flush_c_stdio():
    """Flushes C stdio buffers, so library output lands where fd 1 points now."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).fflush(None)


@contextlib.contextmanager
def stdout_into(path):
    """Points file descriptor 1 at the file while the block runs."""
    sys.stdout.flush()
    flush_c_stdio()
    saved = os.dup(1)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.dup2(fd, 1)
        os.close(fd)
        yield
    finally:
        sys.stdout.flush()
        flush_c_stdio()
        os.dup2(saved, 1)
        os.close(saved)


# --- the embedded server -----------------------------------------------------


def find_server(build_dir):
    candidate = build_dir / "bin" / "virtual-ph-server"
    if candidate.is_file() and os.access(candidate, os.X_OK):
        return candidate
    found = shutil.which("virtual-ph-server")
    if found:
        return Path(found)
    raise DemoError(
        f"virtual-ph-server not found in {candidate.parent} or on PATH: build it with scripts/build, "
        "or give --endpoint URL of a running OPC UA server"
    )


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _child_setup():
    # The server goes down with the demo even when the demo is killed outright
    # (PR_SET_PDEATHSIG = 1), and it takes the stop signals the demo blocked
    # while it was being started.
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})


class EmbeddedServer:
    """virtual-ph-server on a free loopback port, for the length of one run."""

    def __init__(self, executable, log_path):
        self.executable = executable
        self.log_path = log_path
        self.process = None
        self.endpoint = None

    def start(self, attempts=3):
        last = ""
        for _ in range(attempts):
            port = free_loopback_port()
            if self._start_on(port):
                self.endpoint = f"opc.tcp://127.0.0.1:{port}/VirtualPhServer"
                return self.endpoint
            last = self._last_log_line() or f"exit status {self.process.returncode}"
            self.stop()
        raise DemoError(f"virtual-ph-server did not start: {last} (log: {self.log_path})")

    def _start_on(self, port):
        with open(self.log_path, "ab") as log:
            self.offset = log.tell()
            # Its own session keeps a Ctrl-C on the terminal from reaching it
            # before the demo is done with it; the demo stops it itself. The
            # stop signals wait until the process is on record for stop().
            blocked = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
            signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
            try:
                self.process = subprocess.Popen(
                    [str(self.executable), "--host", "127.0.0.1", "--port", str(port)],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                    start_new_session=True, preexec_fn=_child_setup)
            except OSError as exc:
                raise DemoError(f"cannot run {self.executable}: {exc.strerror}") from None
            finally:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, blocked)
        deadline = time.monotonic() + SERVER_READY_TIMEOUT
        while time.monotonic() < deadline:
            if b"ready\n" in self._log_since_start():
                return self.process.poll() is None
            if self.process.poll() is not None:
                return False
            time.sleep(0.02)
        raise DemoError(f"virtual-ph-server did not report ready within {SERVER_READY_TIMEOUT:g} s "
                        f"(log: {self.log_path})")

    def _log_since_start(self):
        try:
            with open(self.log_path, "rb") as log:
                log.seek(self.offset)
                return log.read()
        except OSError:
            return b""

    def _last_log_line(self):
        lines = [line.strip() for line in self._log_since_start().decode(errors="replace").splitlines()]
        lines = [line for line in lines if line]
        return lines[-1] if lines else ""

    def describe_exit(self):
        if self.process is None or self.process.poll() is None:
            return ""
        return f" (virtual-ph-server has exited with status {self.process.returncode}; log: {self.log_path})"

    def stop(self):
        process, self.process = self.process, None
        if process is None or process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(SERVER_STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# --- the pipeline ------------------------------------------------------------


def import_ops():
    try:
        import ravelin
        import _mirlow  # noqa: F401  (importing registers the ops)
        import _tarrowby  # noqa: F401
        import _gantree  # noqa: F401
    except ImportError as exc:
        raise DemoError(f"cannot import the norvane modules ({exc}); build them with scripts/build "
                        "and put build/python on PYTHONPATH, or run scripts/demo") from None
    missing = [name for name in PIPELINE if name not in ravelin.registered_ops()]
    if missing:
        raise DemoError(f"ops not registered: {', '.join(missing)}")
    return ravelin


def sql_literal(text):
    return "'" + text.replace("'", "''") + "'"


def summary_sql(run_id):
    # Rebuilt from the stored readings at every step; a failed read (NaN)
    # counts as a reading but stays out of min, max and mean.
    return (
        "CREATE OR REPLACE TABLE {out_table} AS SELECT "
        f"{sql_literal(run_id)} AS run_id, "
        "count(*) AS readings, "
        "count(*) FILTER (WHERE isnan(value)) AS failed_reads, "
        "min(value) FILTER (WHERE NOT isnan(value)) AS min_ph, "
        "max(value) FILTER (WHERE NOT isnan(value)) AS max_ph, "
        "avg(value) FILTER (WHERE NOT isnan(value)) AS mean_ph "
        "FROM {in_table}"
    )


def run_steps(ravelin, args, run, endpoint, display, history, server):
    pipeline = ravelin.Pipeline(PIPELINE)
    sql = summary_sql(run["run_id"])
    next_at = time.monotonic()
    for step in range(1, args.steps + 1):
        payload = {
            "endpoint": endpoint,
            "phNode": args.ph_node,
            "temperatureNode": args.temperature_node,
            "windowSize": args.window,
            "fifoId": run["run_id"],
            "csvPath": str(run["csv"]),
            "run_id": run["run_id"],
            "sample_id": step,
            "duckdb_path": str(run["db"]),
            "sql": sql,
            "out_table": run["summary_table"],
        }
        try:
            with stdout_into(run["opcua_log"]):
                pipeline.run(payload)
        except Exception as exc:
            message = str(exc)
            if message.startswith(CONNECT_FAILED):
                detail = server.describe_exit() if server else ""
                raise DemoError(f"cannot reach OPC UA endpoint {endpoint} (connect failed at step {step})"
                                + detail) from None
            notes = "; ".join(getattr(exc, "__notes__", []))
            raise DemoError(f"step {step} failed: {type(exc).__name__}: {message}"
                            + (f" ({notes})" if notes else "")) from None
        sample = payload["opcua_sample"]
        history.append((step, sample["pH"], payload["mean"], payload["se"]))
        display.progress(step, args.steps, sample["pH"], payload["mean"], payload["se"])
        if step < args.steps and args.interval > 0:
            next_at += args.interval
            time.sleep(max(0.0, next_at - time.monotonic()))


def read_summary(ravelin, run):
    """The run's row of the summary table, read back through the SQL op."""
    export = run["out"] / f".summary-{run['run_id']}.csv"
    payload = {
        "duckdb_path": str(run["db"]),
        "data_table": run["summary_table"],
        "out_table": run["summary_table"],
        "sql": f"COPY (SELECT * FROM {{in_table}}) TO {sql_literal(str(export))} (HEADER, DELIMITER ',')",
    }
    try:
        ravelin.run_op("duckdb_sql_cpp", payload)
        with open(export, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
    except Exception as exc:
        raise DemoError(f"cannot read the summary table back from {run['db']}: {exc}") from None
    finally:
        with contextlib.suppress(OSError):
            export.unlink()
    if len(rows) != 1:
        raise DemoError(f"the summary table {run['summary_table']} holds {len(rows)} rows, expected 1")
    return rows[0]


# --- the chart ---------------------------------------------------------------


def nice_ticks(lo, hi, count):
    """Round tick values covering [lo, hi], about `count` of them, and their decimals."""
    span = hi - lo
    raw = span / max(count, 1)
    magnitude = 10 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 2.5, 5, 10) if m * magnitude >= raw)
    first = math.floor(lo / step + 1e-9) * step
    last = math.ceil(hi / step - 1e-9) * step
    ticks = [round(first + i * step, 12) for i in range(round((last - first) / step) + 1)]
    decimals = max(0, -math.floor(math.log10(step) + 1e-9)) if step < 1 else 0
    if step == 2.5 * magnitude and step < 10:
        decimals += 1
    return ticks, decimals


def runs(history, finite):
    """Splits the history into runs of steps where `finite(entry)` holds; a gap breaks a line."""
    current = []
    for entry in history:
        if finite(entry):
            current.append(entry)
        elif current:
            yield current
            current = []
    if current:
        yield current


def write_chart(path, history, window, subtitle):
    width, height = 800, 460
    left, right, top, bottom = 72, 24, 88, 64
    x0, x1, y0, y1 = left, width - right, top, height - bottom

    steps = [h[0] for h in history]
    finite = [y for h in history for y in (h[1], h[2] + h[3], h[2] - h[3]) if math.isfinite(y)]
    lo, hi = (min(finite), max(finite)) if finite else (0.0, 14.0)
    if hi - lo < 0.02:
        lo, hi = lo - 0.05, hi + 0.05
    y_ticks, y_decimals = nice_ticks(lo, hi, 6)
    lo, hi = y_ticks[0], y_ticks[-1]

    first, last = steps[0], steps[-1]
    x_ticks, _ = nice_ticks(first, max(last, first + 1), 10)
    x_ticks = [t for t in x_ticks if first <= t <= last and float(t).is_integer()] or [first]
    # A little room at both ends, so the first and last points sit off the axes.
    pad = max(0.5, (last - first) * 0.02)
    first, last = first - pad, last + pad

    def sx(x):
        return x0 + (x - first) / (last - first) * (x1 - x0)

    def sy(y):
        return y1 - (y - lo) / (hi - lo) * (y1 - y0)

    def path_of(points):
        return "M" + " L".join(f"{sx(x):.1f},{sy(y):.1f}" for x, y in points)

    def ok(*values):
        return all(math.isfinite(v) for v in values)

    reading_lines = [path_of([(h[0], h[1]) for h in r]) for r in runs(history, lambda h: ok(h[1]))]
    mean_lines = [path_of([(h[0], h[2]) for h in r]) for r in runs(history, lambda h: ok(h[2]))]
    # The band: along mean + se, back along mean - se, closed.
    band = [path_of([(h[0], h[2] + h[3]) for h in r] + [(h[0], h[2] - h[3]) for h in reversed(r)]) + " Z"
            for r in runs(history, lambda h: ok(h[2], h[3]))]

    out = []
    add = out.append
    add('<?xml version="1.0" encoding="UTF-8"?>')
    add(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">')
    add(f"<title>pH readings and moving mean, {escape(subtitle)}</title>")
    add(f'<rect width="{width}" height="{height}" fill="white"/>')
    add(f'<text x="{width / 2:.0f}" y="26" text-anchor="middle" font-size="16" font-weight="bold">'
        "pH readings and moving mean</text>")
    add(f'<text x="{width / 2:.0f}" y="46" text-anchor="middle" fill="#555">{escape(subtitle)}</text>')

    # Grid, ticks and tick labels.
    add('<g id="axes" stroke="#222" fill="none">')
    for t in y_ticks:
        y = sy(t)
        add(f'<line x1="{x0}" y1="{y:.1f}" x2="{x1}" y2="{y:.1f}" stroke="#e4e4e4"/>')
        add(f'<line x1="{x0 - 5}" y1="{y:.1f}" x2="{x0}" y2="{y:.1f}"/>')
    for t in x_ticks:
        x = sx(t)
        add(f'<line x1="{x:.1f}" y1="{y1}" x2="{x:.1f}" y2="{y1 + 5}"/>')
    add(f'<line x1="{x0}" y1="{y1}" x2="{x1}" y2="{y1}"/>')
    add(f'<line x1="{x0}" y1="{y0}" x2="{x0}" y2="{y1}"/>')
    add("</g>")
    add('<g id="tick-labels" fill="#222">')
    for t in y_ticks:
        add(f'<text x="{x0 - 8}" y="{sy(t) + 4:.1f}" text-anchor="end">{t:.{y_decimals}f}</text>')
    for t in x_ticks:
        add(f'<text x="{sx(t):.1f}" y="{y1 + 20}" text-anchor="middle">{int(t)}</text>')
    add("</g>")
    add(f'<text x="{(x0 + x1) / 2:.0f}" y="{height - 18}" text-anchor="middle">step</text>')
    add(f'<text transform="translate(20 {(y0 + y1) / 2:.0f}) rotate(-90)" text-anchor="middle">pH</text>')

    # The two series: the moving mean with its band, then the readings on top.
    add('<g id="moving-mean">')
    for d in band:
        add(f'<path class="se-band" d="{d}" fill="#e8772e" fill-opacity="0.22" stroke="none"/>')
    for d in mean_lines:
        add(f'<path class="line" d="{d}" fill="none" stroke="#e8772e" stroke-width="2.5"/>')
    add("</g>")
    add('<g id="ph-readings">')
    for d in reading_lines:
        add(f'<path class="line" d="{d}" fill="none" stroke="#1f5fa8" stroke-width="1.2"/>')
    if len(history) <= 200:
        for step, ph, _, _ in history:
            if math.isfinite(ph):
                add(f'<circle cx="{sx(step):.1f}" cy="{sy(ph):.1f}" r="2.5" fill="#1f5fa8"/>')
    add("</g>")

    # Legend, in a row between the title and the plot, clear of the data.
    lx, ly = (width - 560) / 2, 66
    add(f'<g id="legend" transform="translate({lx:.0f} {ly})">')
    add('<line x1="0" y1="0" x2="24" y2="0" stroke="#1f5fa8" stroke-width="1.2"/>')
    add('<circle cx="12" cy="0" r="2.5" fill="#1f5fa8"/>')
    add('<text x="32" y="4">pH reading</text>')
    add('<line x1="150" y1="0" x2="174" y2="0" stroke="#e8772e" stroke-width="2.5"/>')
    add(f'<text x="182" y="4">moving mean (last {window})</text>')
    add('<rect x="360" y="-5" width="24" height="10" fill="#e8772e" fill-opacity="0.22"/>')
    add('<text x="392" y="4">mean ± standard error</text>')
    add("</g>")
    add("</svg>")
    path.write_text("\n".join(out) + "\n", encoding="utf-8")


# --- the run -----------------------------------------------------------------


def fmt(value, decimals=3):
    try:
        number = float(value)
    except (TypeError, ValueError):
        return "n/a"
    return f"{number:.{decimals}f}" if math.isfinite(number) else "n/a"


def summary_lines(run, history, row, endpoint, elapsed):
    _, ph, mean, se = history[-1]
    failed = sum(1 for h in history if not math.isfinite(h[1]))
    readings = f"{len(history)}" + (f" ({failed} failed reads, stored as NaN)" if failed else "")
    width = 16
    lines = [
        f"{PROG}: done: {len(history)} readings from {endpoint} in {elapsed:.1f} s",
        f"  {'readings taken':<{width}}{readings}",
        f"  {'last pH':<{width}}{fmt(ph)}",
        f"  {'moving mean':<{width}}{fmt(mean)} ± {fmt(se, 4)} (standard error, last {run['window']} readings)",
        f"  {'DuckDB summary':<{width}}{run['summary_table']}: readings {row.get('readings', 'n/a')}, "
        f"min {fmt(row.get('min_ph'))}, max {fmt(row.get('max_ph'))}, mean {fmt(row.get('mean_ph'))}",
        f"  {'CSV':<{width}}{run['csv']}",
        f"  {'DuckDB':<{width}}{run['db']}",
        f"  {'':<{width}}tables {run['data_table']}, {run['summary_table']}, pipeline_state",
        f"  {'chart':<{width}}{run['chart']}",
        f"  {'OPC UA log':<{width}}{run['opcua_log']}",
    ]
    return lines


def new_run(args):
    now = time.time()
    run_id = time.strftime("demo-%Y%m%dT%H%M%S", time.localtime(now)) + f"{int(now * 1000) % 1000:03d}"
    # The names the checkpoint op gives the run's table: anything but
    # letters, digits and "_" becomes "_".
    table_part = "".join(c if c.isascii() and (c.isalnum() or c == "_") else "_" for c in run_id)
    out = args.out
    return {
        "run_id": run_id,
        "window": args.window,
        "out": out,
        "csv": out / CSV_NAME,
        "db": out / DB_NAME,
        "chart": out / CHART_NAME,
        "opcua_log": out / OPCUA_LOG_NAME,
        "server_log": out / SERVER_LOG_NAME,
        "data_table": f"data_{table_part}_C",
        "summary_table": f"summary_{table_part}",
    }


def build_dir():
    env = os.environ.get("NORVANE_BUILD_DIR")
    if env:
        return Path(env)
    return Path(__file__).resolve().parents[2] / "build"


def demo(args, display):
    ravelin = import_ops()
    run = new_run(args)
    try:
        run["out"].mkdir(parents=True, exist_ok=True)
        # One run per CSV file: the sink writes the header into a new file.
        for stale in (run["csv"], run["chart"]):
            stale.unlink(missing_ok=True)
    except OSError as exc:
        raise DemoError(f"cannot prepare the output folder {run['out']}: {exc.strerror}") from None

    history = []
    started = time.monotonic()
    server = None
    try:
        with contextlib.ExitStack() as stack:
            endpoint = args.endpoint
            if endpoint is None:
                server = EmbeddedServer(find_server(build_dir()), run["server_log"])
                stack.callback(server.stop)
                endpoint = server.start()
                display.say(f"started virtual-ph-server (pid {server.process.pid}) at {endpoint}")
            display.say(f"run {run['run_id']}: {args.steps} steps every {args.interval:g} s, "
                        f"window {args.window}, output in {run['out']}/")
            run_steps(ravelin, args, run, endpoint, display, history, server)
            if server is not None:
                server.stop()
                display.say("stopped virtual-ph-server")
    except (KeyboardInterrupt, Stopped):
        if history:
            write_chart(run["chart"], history, args.window, f"run {run['run_id']}, interrupted")
        display.note(f"interrupted after {len(history)} of {args.steps} steps; "
                     f"results so far are in {run['out']}/")
        raise
    elapsed = time.monotonic() - started

    row = read_summary(ravelin, run)
    if str(row.get("readings")) != str(len(history)):
        raise DemoError(f"DuckDB holds {row.get('readings')} readings for run {run['run_id']}, "
                        f"expected {len(history)}")
    write_chart(run["chart"], history, args.window,
                f"run {run['run_id']}, {len(history)} readings, window {args.window}")
    display.lines(summary_lines(run, history, row, endpoint, elapsed))
    if not any(math.isfinite(h[1]) for h in history):
        raise DemoError(f"no pH value could be read: node {args.ph_node} at {endpoint} gave none "
                        "(a Double or Float variable); check --ph-node")


def main(argv=None):
    args = parse_args(argv)

    def stop(signum, _frame):
        raise Stopped(signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    display = Display()
    try:
        demo(args, display)
        return 0
    except DemoError as exc:
        display.error(str(exc))
        return 1
    except BrokenPipeError:
        # Whoever read the output stopped reading; the run ends with it.
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except Stopped as exc:
        return 128 + exc.signum
    finally:
        display.close()


if __name__ == "__main__":
    sys.exit(main())
