"""`cmake --install` into a prefix: the modules import from there with no environment."""

import json
import os
import shutil
import socket
import subprocess
import sys
import sysconfig
import tempfile
import time
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("NORVANE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("NORVANE_BUILD_DIR", SOURCE / "build"))
MODULES = ("_kestrum", "_mirlow", "_tarrowby", "_gantree")
OPS = ["fifo_window_buffer", "average", "csv_sink", "duckdb_checkpoint_cpp", "duckdb_sql_cpp", "opcua_ph_source"]

# The interpreter's own layout below a prefix (lib/python3.12/site-packages
# for a CPython built from source, a virtual environment or a user base).
SITE = os.path.relpath(sysconfig.get_path("platlib"), sys.exec_prefix)


# A sanitized build's modules and server need the sanitizer runtime loaded
# first; that is all the environment the children get.
BARE_ENV = ({k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS") if k in os.environ}
            if os.environ.get("NORVANE_SANITIZE") == "1" else {})


def isolated_python(code, cwd):
    """Runs code in a fresh interpreter: no environment, no user site, cwd not on the path."""
    return subprocess.run([sys.executable, "-I", "-c", code], env=dict(BARE_ENV), cwd=cwd,
                          capture_output=True, text=True, timeout=60)


class InstallIntoPrefix(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise unittest.SkipTest("cmake not on PATH")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.prefix = Path(cls.tmp.name) / "prefix"
        cls.site = cls.prefix / SITE
        # cmake --install rewrites the build's install manifest; the one of
        # the user's own install is put back afterwards.
        manifest = BUILD / "install_manifest.txt"
        saved = manifest.read_bytes() if manifest.exists() else None
        try:
            cls.result = subprocess.run([cmake, "--install", str(BUILD), "--prefix", str(cls.prefix)],
                                        capture_output=True, text=True, timeout=300)
        finally:
            if saved is None:
                manifest.unlink(missing_ok=True)
            else:
                manifest.write_bytes(saved)
        if cls.result.returncode != 0:
            cls.tmp.cleanup()
            raise AssertionError(f"cmake --install failed:\n{cls.result.stdout}\n{cls.result.stderr}")
        cls.elsewhere = Path(cls.tmp.name) / "elsewhere"
        cls.elsewhere.mkdir()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_layout(self):
        for name in MODULES:
            with self.subTest(module=name):
                self.assertEqual(len(list(self.site.glob(f"{name}.cpython-312*.so"))), 1)
        self.assertTrue((self.site / "ravelin" / "__init__.py").is_file())
        self.assertEqual(len(list((self.site / "ravelin").glob("_host.cpython-312*.so"))), 1)
        server = self.prefix / "bin" / "virtual-ph-server"
        self.assertTrue(os.access(server, os.X_OK))

    def test_modules_import_from_the_prefix_alone(self):
        code = f"""
import json, site
site.addsitedir({str(self.site)!r})
import {", ".join(MODULES)}, ravelin
maps = open("/proc/self/maps").read().split()
print(json.dumps({{
    "files": [m.__file__ for m in ({", ".join(MODULES)}, ravelin)],
    "ops": ravelin.registered_ops(),
    "libs": sorted({{p for p in maps if "/libduckdb" in p or "/libopen62541" in p}}),
}}))
"""
        result = isolated_python(code, self.elsewhere)
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        for path in report["files"]:
            self.assertTrue(path.startswith(str(self.site) + "/"), path)
        self.assertEqual(sorted(report["ops"]), sorted(OPS))
        # DuckDB and open62541 come from the bundled copies or the system,
        # never from the build folder.
        self.assertEqual(len(report["libs"]), 2, report["libs"])
        for lib in report["libs"]:
            self.assertFalse(lib.startswith(str(BUILD) + "/"), lib)

    def test_installed_server_serves_the_installed_source_op(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        log = Path(self.tmp.name) / f"server-{port}.log"
        with open(log, "wb") as out:
            server = subprocess.Popen([str(self.prefix / "bin" / "virtual-ph-server"), "--port", str(port),
                                       "--ph", "6.5"], env=dict(BARE_ENV), stdout=out, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while b"ready" not in log.read_bytes():
                self.assertIsNone(server.poll(), log.read_text(errors="replace"))
                self.assertLess(time.monotonic(), deadline, "virtual-ph-server did not get ready")
                time.sleep(0.05)
            code = f"""
import site
site.addsitedir({str(self.site)!r})
import ravelin, _gantree
payload = ravelin.run_op("opcua_ph_source", {{"endpoint": "opc.tcp://127.0.0.1:{port}/VirtualPhServer"}})
print("pH", payload["opcua_sample"]["pH"])
"""
            result = isolated_python(code, self.elsewhere)
        finally:
            server.terminate()
            server.wait(10)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("pH 6.5\n", result.stdout)


if __name__ == "__main__":
    unittest.main()
