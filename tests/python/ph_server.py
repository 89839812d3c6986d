"""The simulated pH meter (build/bin/virtual-ph-server) as a test fixture.

    with PhServer(ph=6.5, temperature=21.0) as server:
        ravelin.run_op("opcua_ph_source", {"endpoint": server.endpoint})

or, once per test class:

    @classmethod
    def setUpClass(cls):
        cls.server = PhServer(seed=1).start()
        cls.addClassCleanup(cls.server.stop)

Each server listens on a free loopback port of its own. The open62541 client
inside the OPC UA source op logs to the process's stdout; wrap op calls in
``native_stdout_captured()`` to keep that out of the test output.
"""

import collections
import contextlib
import ctypes
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

__all__ = ["PhServer", "free_port", "native_stdout_captured", "server_executable"]

# Slow under the sanitizers or valgrind; a plain build is ready in ~0.2 s.
READY_TIMEOUT = 60.0 if os.environ.get("NORVANE_SANITIZE") else 15.0
STOP_TIMEOUT = 10.0

_libc = ctypes.CDLL(None)


def server_executable():
    """Path of virtual-ph-server in the build directory under test."""
    build_dir = os.environ.get("NORVANE_BUILD_DIR")
    if build_dir:
        path = Path(build_dir) / "bin" / "virtual-ph-server"
    else:
        path = Path(__file__).resolve().parents[2] / "build" / "bin" / "virtual-ph-server"
    if not path.is_file():
        raise FileNotFoundError(f"{path} not found: build it first (scripts/build)")
    return path


def free_port(host="127.0.0.1"):
    """A TCP port that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


class PhServer:
    """One virtual-ph-server process on a loopback port.

    port: a fixed port, or None for a free one (then a start that loses the
    port to another process is retried on a new one).
    ph, temperature: pin the readings to these values.
    seed: the simulation's seed, for repeatable readings.
    args: further command-line options (for instance ["--interval", "20"]).
    """

    HOST = "127.0.0.1"

    def __init__(self, port=None, ph=None, temperature=None, seed=None, args=()):
        self._fixed_port = port
        self.port = port
        self._options = []
        if ph is not None:
            self._options += ["--ph", repr(float(ph))]
        if temperature is not None:
            self._options += ["--temperature", repr(float(temperature))]
        if seed is not None:
            self._options += ["--seed", str(int(seed))]
        self._options += [str(a) for a in args]
        self._process = None
        self._reader = None
        self._ready = False
        self._lines = collections.deque(maxlen=500)
        self.returncode = None

    @property
    def endpoint(self):
        return f"opc.tcp://{self.HOST}:{self.port}/VirtualPhServer"

    @property
    def output(self):
        """The lines the server printed so far ("ready" and its log)."""
        return list(self._lines)

    def start(self):
        """Starts the server and waits for its "ready" line; returns self.

        With a fixed port, a start right after a stop on that port is retried
        for a while: the port a stopped server held can take a moment to
        come free.
        """
        if self._process is not None:
            raise RuntimeError("server already running")
        if self._fixed_port is None:
            for _ in range(3):
                if self._launch(free_port(self.HOST)):
                    return self
        else:
            deadline = time.monotonic() + READY_TIMEOUT
            while not self._launch(self._fixed_port):
                if time.monotonic() >= deadline:
                    break
                time.sleep(0.2)
            else:
                return self
        raise RuntimeError(
            f"virtual-ph-server did not get ready on {self.endpoint} "
            f"(exit status {self.returncode}):\n" + "\n".join(self._lines))

    def stop(self, sig=signal.SIGTERM):
        """Stops the server with sig and returns its exit status."""
        process, self._process = self._process, None
        if process is None:
            return self.returncode
        if process.poll() is None:
            process.send_signal(sig)
        try:
            process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self._reader.join(timeout=STOP_TIMEOUT)
        process.stdout.close()
        self.returncode = process.returncode
        return self.returncode

    def kill(self):
        """Ends the server at once (SIGKILL), as a crash would."""
        return self.stop(signal.SIGKILL)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _launch(self, port):
        self.port = port
        self.returncode = None
        self._lines.clear()
        command = [str(server_executable()), "--host", self.HOST, "--port", str(port), *self._options]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, text=True, errors="replace")
        self._ready = False
        settled = threading.Event()
        # Drains the pipe for the server's whole life, so that its log can
        # never fill the pipe and stall it.
        reader = threading.Thread(target=self._read, args=(process.stdout, settled), daemon=True)
        reader.start()
        self._process, self._reader = process, reader
        settled.wait(READY_TIMEOUT)
        if self._ready:
            return True
        self.stop(signal.SIGKILL)
        return False

    def _read(self, stream, settled):
        for line in stream:
            line = line.rstrip("\n")
            self._lines.append(line)
            if line == "ready":
                self._ready = True
                settled.set()
        settled.set()  # the server ended before it got ready


@contextlib.contextmanager
def native_stdout_captured():
    """Sends what native code writes to file descriptor 1 into a buffer.

    Yields a list that holds the captured text once the block ends.
    """
    captured = []
    sys.stdout.flush()
    _libc.fflush(None)
    saved = os.dup(1)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 1)
        try:
            yield captured
        finally:
            sys.stdout.flush()
            _libc.fflush(None)  # what C's stdio still holds belongs here too
            os.dup2(saved, 1)
            os.close(saved)
            sink.seek(0)
            captured.append(sink.read().decode("utf-8", "replace"))
