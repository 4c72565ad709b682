"""Marten end to end: the real program in unattended mode against kvr-sim
devices on pseudo-terminals, comparing the files it writes."""

import json
import os
import signal
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("KVR_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SIM = os.path.join(BUILD, "sim", "kvr-sim")
MARTEN = os.path.join(BUILD, "apps", "marten", "marten")
NOW = ["--now", "2012-03-04 12:00"]
RUN_LIMIT = 90  # seconds; a hung run fails the test instead of the suite


class Sim:
    """One kvr-sim device; stop() ends it by its pid and returns its state."""

    def __init__(self, tmp, name, args):
        self.state_file = os.path.join(tmp, name + ".state.json")
        self.proc = subprocess.Popen([SIM] + args[:1] + ["--state", self.state_file] + args[1:],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not self.path.startswith("/"):
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("kvr-sim did not start: %r" % self.path)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        with open(self.state_file) as f:
            return json.load(f)


class MartenCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="marten_e2e_")
        self.tmp = self._tmp.name
        self.sims = []
        self.cfg = os.path.join(self.tmp, "cfg")
        os.makedirs(os.path.join(self.cfg, "kvr-probe"))

    def tearDown(self):
        for s in self.sims:
            if s.proc.poll() is None:
                s.proc.kill()
                s.proc.wait()
            if not s.proc.stdout.closed:
                s.proc.stdout.close()
        self._tmp.cleanup()

    def sim(self, name, args):
        s = Sim(self.tmp, name, args)
        self.sims.append(s)
        return s

    def marten(self, ports, speed, answers=(), folder="out", stored_port=3):
        with open(os.path.join(self.cfg, "kvr-probe", "KVR.conf"), "w") as f:
            f.write("[Ports]\n" + "".join("COM%d=%s\n" % (n, p) for n, p in ports.items()))
        with open(os.path.join(self.cfg, "kvr-probe", "NVA5.conf"), "w") as f:
            f.write("[Startup]\nPort=%d\nSpeed=%d\n" % (stored_port, speed))
        out = os.path.join(self.tmp, folder)
        os.makedirs(out, exist_ok=True)
        cmd = [MARTEN, "--unattended", "--folder", out]
        for a in answers:
            cmd += ["--answer", a]
        env = dict(os.environ, XDG_CONFIG_HOME=self.cfg)
        p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=RUN_LIMIT)
        boxes = [json.loads(l) for l in p.stdout.splitlines() if l.startswith("{")]
        return p.returncode, boxes, out

    def settings(self):
        with open(os.path.join(self.cfg, "kvr-probe", "NVA5.conf")) as f:
            return f.read()

    @staticmethod
    def data(folder):
        with open(os.path.join(folder, "KVR Probe Data.csv"), "rb") as f:
            return f.read()

    @staticmethod
    def dump(folder):
        with open(os.path.join(folder, "KVR Dumps", "Dump00.csv"), "rb") as f:
            return f.read()

    def server_run(self, args, speed, folder):
        s = self.sim(folder, ["server"] + args + NOW + ["--seed", "11"])
        rc, boxes, out = self.marten({3: s.path}, speed, folder=folder)
        return rc, boxes, out, s.stop()


class ServerTests(MartenCase):
    def test_lo_and_hi_of_one_ring_write_the_same_rows(self):
        rc_lo, boxes_lo, lo, st_lo = self.server_run(["--count", "40", "--slots", "100", "--next", "80"], 0, "lo")
        rc_hi, boxes_hi, hi, st_hi = self.server_run(["--count", "40", "--slots", "100", "--next", "80"], 1, "hi")
        self.assertEqual((rc_lo, rc_hi), (0, 0))
        self.assertEqual(self.data(lo), self.data(hi))
        self.assertEqual(self.dump(lo), self.dump(hi))
        rows = self.data(lo).split(b"\r\n")
        self.assertTrue(rows[0].startswith(b"Probe, Date               ,Temp1"))
        self.assertEqual(len([r for r in rows[1:] if r]), 40)
        self.assertTrue(st_lo["cleared"] and st_hi["cleared"])
        self.assertEqual(len(st_hi["bulkStarts"]), 1)
        self.assertEqual(boxes_lo, boxes_hi)
        low = [b for b in boxes_lo if b["title"] == "Low Batteries"]
        self.assertEqual(len(low), 1)
        self.assertTrue(low[0]["text"].startswith("The following units have low battery readings:\r"))
        self.assertIn("Speed=1", self.settings())

    def test_hi_stream_with_holes_is_back_filled(self):
        args = ["--count", "30"]
        _, _, ref, _ = self.server_run(args, 0, "ref")
        rc, boxes, hi, st = self.server_run(args + ["--drop-frame", "4", "--garble-frame", "9"], 1, "hi")
        self.assertEqual(rc, 0)
        self.assertEqual(sorted(self.data(ref).split(b"\r\n")), sorted(self.data(hi).split(b"\r\n")))
        self.assertTrue(st["cleared"])
        self.assertNotIn("NO COMMS", [b["title"] for b in boxes])

    def test_reload_fetches_the_newest_records(self):
        rc, boxes, out, st = None, None, None, None
        s = self.sim("reload", ["server", "--next", "3", "--end", "3", "--slots", "1000"] + NOW)
        rc, boxes, out = self.marten({3: s.path}, 0, answers=["No Readings=5"])
        st = s.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(boxes[0]["title"], "No Readings")
        self.assertEqual(len(self.dump(out).split(b"\r\n")), 1 + 5 + 1)
        self.assertTrue(st["cleared"])

    def test_link_cut_mid_run_keeps_rows_and_the_readings(self):
        rc, boxes, out, st = self.server_run(["--count", "30", "--silent-after", "12"], 0, "cut")
        self.assertEqual(rc, 1)
        self.assertFalse(st["cleared"])
        self.assertEqual(len([r for r in self.data(out).split(b"\r\n")[1:] if r]), 11)
        self.assertIn({"box": "message", "title": "NO COMMS",
                       "text": "The data download could not be completed. "
                               "The communications to the server has been lost.", "answer": "OK"}, boxes)

    def test_unwritable_data_file_leaves_the_server_uncleared(self):
        out = os.path.join(self.tmp, "ro")
        os.makedirs(os.path.join(out, "KVR Probe Data.csv"))  # a folder where the file should be
        rc, boxes, out, st = self.server_run(["--count", "5"], 0, "ro")
        self.assertEqual(rc, 1)
        self.assertFalse(st["cleared"])
        err = [b for b in boxes if b["title"] == "ERROR"]
        self.assertEqual(len(err), 1)
        self.assertIn("KVR Probe Data.csv", err[0]["text"])
        self.assertIn("left on the unit", err[0]["text"])

    def test_no_comms_box_answered_with_another_port(self):
        silent = self.sim("silent", ["server", "--silent-after", "0"])
        good = self.sim("good", ["server", "--count", "5"] + NOW)
        rc, boxes, out = self.marten({3: silent.path, 4: good.path}, 0, answers=["No Comms=4"])
        st = good.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(boxes[0]["title"], "No Comms")
        self.assertEqual(boxes[0]["answer"], "4")
        self.assertTrue(st["cleared"])
        self.assertIn("Port=4", self.settings())


class LoggerTests(MartenCase):
    def test_logger_lo_and_hi(self):
        results = []
        for speed, name in ((0, "lo"), (1, "hi")):
            # Probe numbers that fit 16 bits keep the records readable as
            # probe-server records, so rows (not markers) are compared.
            s = self.sim(name, ["logger", "--readings", "12", "--probe-max", "65535"] + NOW)
            rc, boxes, out = self.marten({3: s.path}, speed, folder=name)
            st = s.stop()
            self.assertEqual(rc, 0, boxes)
            self.assertTrue(st["cleared"])
            results.append(self.data(out))
        self.assertEqual(results[0], results[1])
        self.assertEqual(len([r for r in results[0].split(b"\r\n")[1:] if r]), 12)


class ModemTests(MartenCase):
    def test_dial_up_to_a_server(self):
        m = self.sim("modem", ["modem", "--answer-on-try", "2", "--behind", "server", "--", "--count", "8"] + NOW)
        rc, boxes, out = self.marten({3: m.path}, 0, answers=["Cell Number=0821234567"])
        st = m.stop()
        self.assertEqual(rc, 0, boxes)
        self.assertEqual(st["dialled"], "0821234567")
        self.assertTrue(st["hung_up"])
        self.assertTrue(st["device"]["cleared"])
        self.assertEqual(st["commands"][-2:], ["+++", "ATH"])
        self.assertEqual(len([r for r in self.data(out).split(b"\r\n")[1:] if r]), 8)
        self.assertIn("Cell=0821234567", self.settings())

    def test_no_carrier_ends_with_the_modem_text(self):
        m = self.sim("modem", ["modem", "--dial", "nocarrier"])
        rc, boxes, out = self.marten({3: m.path}, 0, answers=["Cell Number=555"])
        m.stop()
        self.assertEqual(rc, 1)
        self.assertEqual(boxes[-1]["title"], "ERROR")
        self.assertTrue(boxes[-1]["text"].startswith("Cannot connect to 555.\r"))
        self.assertIn("NO CARRIER", boxes[-1]["text"])


if __name__ == "__main__":
    unittest.main()
