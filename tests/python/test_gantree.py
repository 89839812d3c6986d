"""The OPC UA source op "opcua_ph_source" against the simulated pH meter."""

import copy
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import unittest
import uuid

import ravelin
import _gantree

from ph_server import PhServer, free_port, native_stdout_captured, server_executable

PH = 6.1
TEMPERATURE = 21.5
PH_NODE = "ns=2;s=VirtualPhMeter01.pH"
TEMPERATURE_NODE = "ns=2;s=VirtualPhMeter01.temperature"
DEFAULT_ENDPOINT = "opc.tcp://127.0.0.1:4840/VirtualPhServer"
CONNECT_FAILED = "opcua_ph_source_op: connect failed for endpoint "


def as_float32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def run_source(payload):
    # The library's client logs to stdout on every call; keep it out of the
    # test report.
    with native_stdout_captured():
        return ravelin.run_op("opcua_ph_source", payload)


def closed_port_endpoint():
    return f"opc.tcp://127.0.0.1:{free_port()}/VirtualPhServer"


def nothing_listens(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    except OSError:
        return True
    return False


class ImportTest(unittest.TestCase):
    def test_import_registers_the_op_with_no_environment_of_its_own(self):
        # A fresh interpreter: unknown before the import, registered after,
        # with nothing but the import path set (no library search path).
        script = (
            "import ravelin\n"
            "try:\n"
            "    ravelin.run_op('opcua_ph_source', {})\n"
            "except KeyError:\n"
            "    print('unknown before')\n"
            "import _gantree\n"
            "print(ravelin.registered_ops())\n"
        )
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), ["unknown before", "['opcua_ph_source']"])

    def test_module_has_its_docstring_and_nothing_else(self):
        self.assertEqual(_gantree.__doc__, "C++ OPC UA ravelin ops for norvane (requires open62541)")
        self.assertEqual([name for name in dir(_gantree) if not name.startswith("__")], [])
        self.assertIn("opcua_ph_source", ravelin.registered_ops())


class SourceOpTest(unittest.TestCase):
    """Readings from a meter pinned to known values."""

    @classmethod
    def setUpClass(cls):
        cls.server = PhServer(ph=PH, temperature=TEMPERATURE).start()
        cls.addClassCleanup(cls.server.stop)
        cls.endpoint = cls.server.endpoint

    def run_with(self, **payload):
        payload.setdefault("endpoint", self.endpoint)
        return run_source(payload)

    def test_a_read_writes_the_sample_and_appends_the_ph(self):
        payload = {"endpoint": self.endpoint, "opcua_sample": {"old": 1, "pH": 0.0}, "runId": "r1"}
        result = run_source(payload)
        self.assertIs(result, payload)
        sample = payload["opcua_sample"]
        self.assertEqual(list(sample), ["pH", "temperature", "timestamp"])  # replaced, not merged
        self.assertEqual(sample, {"pH": PH, "temperature": TEMPERATURE, "timestamp": None})
        self.assertIs(type(sample["pH"]), float)
        self.assertEqual(payload["values"], [PH])
        self.assertEqual(payload["runId"], "r1")
        self.assertEqual(list(payload), ["endpoint", "opcua_sample", "runId", "values"])

    def test_starting_list(self):
        def gen():
            yield from (1, 2)

        cases = [
            ({"values": [1, 2]}, [1.0, 2.0]),
            ({"values": (True, 2.5)}, [1.0, 2.5]),
            ({"values": bytearray(b"\x01\x02")}, [1.0, 2.0]),
            ({"values": gen()}, [1.0, 2.0]),
            ({"values": {"a": 3, "b": 4}.values()}, [3.0, 4.0]),
            ({"values": []}, []),
            ({"values": [], "sampleChunk": [9]}, []),  # an empty list is still a list
            ({"sampleChunk": [3.5]}, [3.5]),
            ({"values": "12", "sampleChunk": [4]}, [4.0]),
            ({"values": [1, "x"], "sampleChunk": (4, 5)}, [4.0, 5.0]),
            ({"values": None, "sampleChunk": [4]}, [4.0]),
            ({"values": "12"}, []),
            ({"values": b"\x01"}, []),
            ({"values": 5}, []),  # a bare number is no list here
            ({"values": 5, "sampleChunk": 6}, []),
            ({"values": {"a": 1}, "sampleChunk": "x"}, []),
            ({}, []),
        ]
        for keys, start in cases:
            with self.subTest(keys=keys):
                before = copy.copy(keys)
                payload = self.run_with(**keys)
                self.assertEqual(payload["values"], start + [PH])
                self.assertTrue(all(type(v) is float for v in payload["values"]))
                if "sampleChunk" in keys:
                    self.assertIs(payload["sampleChunk"], before["sampleChunk"])

    def test_the_old_values_list_is_replaced_not_changed(self):
        old = [1.0, 2.0]
        payload = self.run_with(values=old)
        self.assertIsNot(payload["values"], old)
        self.assertEqual(old, [1.0, 2.0])

    def test_node_ids(self):
        float_ph = as_float32(PH)
        self.assertNotEqual(float_ph, PH)
        node = "ns=2;s=VirtualPhMeter01."
        cases = [
            ({}, PH, TEMPERATURE),
            ({"phNode": PH_NODE, "temperatureNode": TEMPERATURE_NODE}, PH, TEMPERATURE),
            ({"phNode": TEMPERATURE_NODE, "temperatureNode": PH_NODE}, TEMPERATURE, PH),
            ({"phNode": PH_NODE.encode(), "temperatureNode": bytearray(TEMPERATURE_NODE.encode())}, PH, TEMPERATURE),
            ({"phNode": node + "pHFloat"}, float_ph, TEMPERATURE),
            ({"phNode": node + "pHInt32"}, math.nan, TEMPERATURE),
            ({"phNode": node + "label"}, math.nan, TEMPERATURE),
            ({"phNode": node + "recentPH"}, math.nan, TEMPERATURE),  # an array of doubles
            ({"phNode": node + "noSuchVariable"}, math.nan, TEMPERATURE),
            ({"phNode": "pH"}, math.nan, TEMPERATURE),  # does not parse
            ({"phNode": ""}, math.nan, TEMPERATURE),
            ({"temperatureNode": "ns=2;x=1"}, PH, math.nan),
            ({"phNode": "pH", "temperatureNode": "temperature"}, math.nan, math.nan),
            # Not cut short at the NUL into the pH node's id.
            ({"phNode": PH_NODE + "\0junk"}, math.nan, TEMPERATURE),
        ]
        for keys, ph, temperature in cases:
            with self.subTest(keys=keys):
                payload = self.run_with(values=[1], **keys)
                sample = payload["opcua_sample"]
                self.assertEqual(list(sample), ["pH", "temperature", "timestamp"])
                for got, want in ((sample["pH"], ph), (sample["temperature"], temperature),
                                  (payload["values"][-1], ph)):
                    if math.isnan(want):
                        self.assertTrue(math.isnan(got), got)
                    else:
                        self.assertEqual(got, want)
                self.assertEqual(len(payload["values"]), 2)

    def test_endpoint_as_bytes(self):
        for endpoint in (self.endpoint.encode(), bytearray(self.endpoint.encode())):
            with self.subTest(endpoint=endpoint):
                self.assertEqual(self.run_with(endpoint=endpoint)["values"], [PH])

    def test_text_keys_of_another_type_fail_before_any_connection(self):
        # The node cases carry a closed port: a connection attempt would end
        # in the connect-failure message instead.
        closed = closed_port_endpoint()
        cases = [
            {"endpoint": 5},
            {"endpoint": None},
            {"endpoint": ["opc.tcp://127.0.0.1:4840"]},
            {"endpoint": closed, "phNode": 2.5},
            {"endpoint": closed, "phNode": None},
            {"endpoint": closed, "temperatureNode": 7},
        ]
        for keys in cases:
            with self.subTest(keys=keys):
                payload = dict(keys, values=[1.0], opcua_sample={"pH": 1.0})
                before = copy.deepcopy(payload)
                with self.assertRaises(RuntimeError) as cm:
                    run_source(payload)
                self.assertIn("Unable to cast", str(cm.exception))
                self.assertEqual(payload, before)

    def test_an_endpoint_with_a_nul_is_not_cut_short(self):
        # Cut at the NUL, this endpoint would reach the running server.
        endpoint = self.endpoint + "\0/elsewhere"
        payload = {"endpoint": endpoint, "values": [1.0]}
        with self.assertRaises(RuntimeError) as cm:
            run_source(payload)
        self.assertEqual(str(cm.exception), CONNECT_FAILED + self.endpoint + "\\0/elsewhere")
        self.assertEqual(payload, {"endpoint": endpoint, "values": [1.0]})

    def test_a_python_error_from_values_propagates_after_the_sample_is_written(self):
        def failing():
            yield 1.0
            raise ZeroDivisionError("from the values")

        payload = {"endpoint": self.endpoint, "values": failing(), "sampleChunk": [1]}
        with self.assertRaises(ZeroDivisionError):
            run_source(payload)
        self.assertEqual(payload["opcua_sample"]["pH"], PH)
        self.assertNotIsInstance(payload["values"], list)


class ConnectFailureTest(unittest.TestCase):
    def test_closed_port_fails_and_leaves_the_payload_as_it_was(self):
        endpoint = closed_port_endpoint()
        values = [1.0, 2.0]
        payload = {"endpoint": endpoint, "values": values, "sampleChunk": [3], "opcua_sample": {"pH": 7.0}}
        before = copy.deepcopy(payload)
        with self.assertRaises(RuntimeError) as cm:
            run_source(payload)
        self.assertEqual(str(cm.exception), CONNECT_FAILED + endpoint)
        self.assertEqual(payload, before)
        self.assertEqual(list(payload), list(before))
        self.assertIs(payload["values"], values)

    def test_an_empty_payload_goes_to_the_default_endpoint(self):
        if not nothing_listens(4840):
            self.skipTest("something listens on port 4840")
        payload = {}
        with self.assertRaises(RuntimeError) as cm:
            run_source(payload)
        self.assertEqual(str(cm.exception), CONNECT_FAILED + DEFAULT_ENDPOINT)
        self.assertEqual(payload, {})

    def test_a_pipeline_names_the_failing_step(self):
        endpoint = closed_port_endpoint()
        with self.assertRaises(RuntimeError) as cm:
            with native_stdout_captured():
                ravelin.Pipeline(["opcua_ph_source"]).run({"endpoint": endpoint})
        self.assertIn("in pipeline step 0 ('opcua_ph_source')", cm.exception.__notes__)


class MovingMeanPipelineTest(unittest.TestCase):
    def test_ten_runs_give_a_moving_mean_of_real_readings(self):
        import _mirlow  # noqa: F401  (registers fifo_window_buffer and average)

        fifo = f"gantree-{uuid.uuid4()}"
        pipeline = ravelin.Pipeline(["opcua_ph_source", "fifo_window_buffer", "average"])
        readings = []
        with PhServer(seed=3, args=["--interval", "10"]) as server:
            for run in range(10):
                # A fresh payload per run, as a scheduler would hand over.
                payload = {"endpoint": server.endpoint, "windowSize": 4, "fifoId": fifo}
                with native_stdout_captured():
                    pipeline.run(payload)
                reading = payload["opcua_sample"]["pH"]
                readings.append(reading)
                self.assertEqual(payload["values"], [reading])
                window = readings[-4:]
                self.assertEqual(payload["window"], window)
                self.assertAlmostEqual(payload["mean"], sum(window) / len(window), places=12)
        self.assertTrue(all(6.0 < r < 8.0 for r in readings), readings)
        self.assertGreater(len(set(readings)), 1, "the meter's readings should move")


class SimulatorTest(unittest.TestCase):
    def read(self, server):
        sample = run_source({"endpoint": server.endpoint})["opcua_sample"]
        return sample["pH"], sample["temperature"]

    def test_a_seed_repeats_the_readings(self):
        # A long update period keeps each server at its first reading.
        slow = ["--interval", "600000"]
        first = {}
        for seed in (11, 11, 12):
            with PhServer(seed=seed, args=slow) as server:
                first.setdefault(seed, []).append(self.read(server))
        self.assertEqual(first[11][0], first[11][1])
        self.assertNotEqual(first[11][0], first[12][0])

    def test_readings_drift_around_the_set_point(self):
        for set_point in (4.0, 7.0, 9.5):
            with self.subTest(set_point=set_point):
                with PhServer(seed=5, args=["--set-point", set_point, "--interval", "10"]) as server:
                    readings = [self.read(server) for _ in range(4)]
                phs = [ph for ph, _ in readings]
                self.assertTrue(all(abs(ph - set_point) < 0.5 for ph in phs), phs)
                self.assertGreater(len(set(phs)), 1)
                self.assertTrue(all(20.0 < t < 30.0 for _, t in readings), readings)

    def test_stops_cleanly_on_sigint_and_sigterm_and_logs_nothing_by_default(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                server = PhServer(ph=7.0).start()
                self.read(server)
                self.assertEqual(server.stop(sig), 0)
                self.assertEqual(server.output, ["ready"])

    def test_verbose_logs_the_sessions(self):
        server = PhServer(args=["--verbose"]).start()
        self.read(server)
        self.assertEqual(server.stop(), 0)
        self.assertIn("ready", server.output)
        self.assertGreater(len(server.output), 1)

    def test_a_busy_port_fails_the_start(self):
        with PhServer() as server:
            result = subprocess.run([str(server_executable()), "--port", str(server.port)],
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual(result.returncode, 1)
            self.assertNotIn("ready", result.stdout.splitlines())
            self.assertIn("could not start", result.stderr)
            self.assertGreater(self.read(server)[0], 0)  # the first one still serves

    def test_bad_options_exit_with_status_2(self):
        cases = [
            ["--port", "0"],
            ["--port", "65536"],
            ["--port", "x"],
            ["--ph", "15"],
            ["--ph", "nan"],
            ["--set-point"],
            ["--seed", "-1"],
            ["--log-level", "loud"],
            ["--interval", "1"],
            ["--colour"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = subprocess.run([str(server_executable()), *args], capture_output=True, text=True,
                                        timeout=30)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")
                self.assertIn("virtual-ph-server: ", result.stderr)

    def test_help_names_the_variables(self):
        result = subprocess.run([str(server_executable()), "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0)
        for name in ("pH", "temperature", "pHFloat", "pHInt32", "label", "recentPH"):
            self.assertIn(f"VirtualPhMeter01.{name} ", result.stdout)


if __name__ == "__main__":
    unittest.main()
