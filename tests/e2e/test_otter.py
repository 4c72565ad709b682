"""Otter end to end: the real program in unattended mode against kvr-sim
loggers and a simulated modem over pseudo-terminals, checking the running
file byte for byte and what the devices were told."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrix_lib import OTTER, Sim  # noqa: E402

HEADER = ("Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,"
          "Temp5,Water%5,Temp6,Water%6,Volts\r\n")
NO_COMMS = "ERROR, Data download not completed - No comms."


def rows_of(state):
    """Rows a complete download writes; a modem's state holds its logger's."""
    return "".join((state["device"] if state.get("kind") == "modem" else state)["expectedRows"])


class OtterEndToEnd(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="otter-e2e-")
        self.prog = os.path.join(self.tmp, "prog")
        self.xdg = os.path.join(self.tmp, "xdg")
        os.makedirs(self.prog)
        os.makedirs(os.path.join(self.xdg, "kvr-probe"))
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.xdg)
        self.sims = []

    def tearDown(self):
        for s in self.sims:
            s.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def sim(self, name, args, link=None):
        self.sims.append(Sim(self.tmp, name, args + (["--link", link] if link else [])))
        return self.sims[-1]

    def setup_run(self, cfg, **ports):
        with open(os.path.join(self.xdg, "kvr-probe", "KVR.conf"), "w") as f:
            f.write("[Ports]\n" + "".join("%s=%s\n" % (k.upper(), p) for k, p in ports.items()))
        with open(os.path.join(self.prog, "Otter.cfg"), "wb") as f:
            f.write("".join(line + "\r\n" for line in cfg).encode())

    def otter(self, answers):
        r = subprocess.run([OTTER, "--unattended", "--folder", self.prog] + sum((["--answer", a] for a in answers), []),
                           env=self.env, capture_output=True, text=True, timeout=120)
        return r.returncode, [json.loads(line) for line in r.stdout.splitlines() if line.startswith('{"box"')], r.stderr

    def data_file(self, folder=None):
        with open(os.path.join(folder or self.prog, "KVR Probe Data.csv"), "rb") as f:
            return f.read().decode("ascii")

    def test_single_runs(self):
        cases = [
            # logger kind, baud rate, SET DATE answer, running file unwritable
            ("ordinary", "9600", "Yes", False),
            ("extended", "56000", "Yes", False),
            ("server", "9600", "No", False),
            ("extended", "9600", "Yes", True),
        ]
        for kind, baud, date, unwritable in cases:
            with self.subTest(kind=kind, baud=baud, unwritable=unwritable):
                data = os.path.join(self.tmp, "data-%s-%s" % (kind, baud))
                os.makedirs(data)
                if unwritable:  # a folder holds the running file's name
                    os.makedirs(os.path.join(data, "KVR Probe Data.csv"))
                s = self.sim("logger-" + kind, ["logger", "--type", kind, "--readings", "20"])
                self.setup_run(["Coms port = 1", "Baud rate = " + baud, "Scan rate = 0",
                                "Dump folder = " + data + "/", "2nd port = 0"], com1=s.path)
                rc, boxes, err = self.otter(["SET DATE=" + date])
                state = s.stop()
                self.assertEqual(state["baud"], 9600)
                self.assertEqual(state["baudSwitches"] != [], baud == "56000" and not unwritable)
                if unwritable:
                    self.assertEqual(rc, 3, err)
                    self.assertFalse(state["cleared"])
                    self.assertIsNone(state["dateSet"])
                    self.assertEqual([b["title"] for b in boxes], ["ERROR"])
                    self.assertIn(os.path.join(data, "KVR Probe Data.csv"), boxes[0]["text"])
                    self.assertIn("left on the logger", boxes[0]["text"])
                    continue
                self.assertEqual(rc, 0, err)
                self.assertEqual([b["title"] for b in boxes], ["SET DATE"])
                self.assertTrue(boxes[0]["text"].startswith("Setting logger date to: "))
                self.assertEqual(self.data_file(data), HEADER + rows_of(state))
                self.assertGreaterEqual(len(state["expectedRows"]), 10)  # some records are planted unusable
                self.assertTrue(state["cleared"])
                self.assertEqual(state["clockSetTo"] is not None or state["dateSet"] is not None, date == "Yes")

    def test_second_port_modem_in_front_of_a_logger(self):
        silent = self.sim("silent", ["logger", "--silent-after", "0"])
        modem = self.sim("modem", ["modem", "--echo", "--behind", "logger", "--",
                                   "--type", "extended", "--readings", "12"])
        self.setup_run(["Coms port = 1", "Baud rate = 56000", "Scan rate = 0", "Dump folder =", "2nd port = 2",
                        "Pin code =", "Tel number = 0821234567 (logger modem)"], com1=silent.path, com2=modem.path)
        rc, boxes, err = self.otter(["SET DATE=Yes"])
        state = modem.stop()
        self.assertEqual(rc, 0, err)  # the logger behind the second port's modem was downloaded
        self.assertEqual([(b["title"], b["text"]) for b in boxes][:1], [("ERROR", NO_COMMS)])
        self.assertEqual([b["title"] for b in boxes][1:], ["SET DATE"])
        self.assertEqual(self.data_file(), HEADER + rows_of(state))
        self.assertEqual(state["dialled"], "0821234567")
        self.assertTrue(state["hung_up"])
        self.assertFalse(state["connected"])
        self.assertTrue(state["device"]["cleared"])
        self.assertIsNotNone(state["device"]["dateSet"])
        self.assertEqual(state["device"]["baudSwitches"], [])  # never over a call
        self.assertIn("Cell disconnected.", err)

    def test_resident_downloads_again_after_unplugging(self):
        link = os.path.join(self.tmp, "com1")
        self.setup_run(["Coms port = 1", "Baud rate = 9600", "Scan rate = 1", "Dump folder =", "2nd port = 0"],
                       com1=link)
        args = ["logger", "--type", "ordinary", "--readings", "8"]
        first = self.sim("first", args, link)
        p = subprocess.Popen([OTTER, "--unattended", "--folder", self.prog, "--answer", "SET DATE=No"],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Boxes and status lines are read as they come, so the test waits for
        # what the program did rather than guess how long it takes on a
        # loaded machine.
        boxes, status = [], []
        readers = [threading.Thread(target=lambda: boxes.extend(iter(p.stdout.readline, "")), daemon=True),
                   threading.Thread(target=lambda: status.extend(iter(p.stderr.readline, "")), daemon=True)]
        for t in readers:
            t.start()

        def set_dates():
            return sum(json.loads(line).get("title") == "SET DATE" for line in list(boxes) if line.strip())

        def scans():  # a scan shows the connecting line once per status request
            return sum("Conecting to logger" in line for line in list(status))

        def wait_for(what, cond, limit=60):
            deadline = time.monotonic() + limit
            while not cond():
                if time.monotonic() > deadline:
                    self.fail(what + " not seen in time")
                time.sleep(0.2)

        try:
            # The date question comes only after the logger was cleared.
            wait_for("first download", lambda: set_dates() >= 1)
            # Later scans find the emptied logger and leave it alone.
            seen = scans()
            wait_for("two more scans", lambda: scans() >= seen + 2)
            st1 = first.stop()
            self.assertEqual(len(st1["clears"]), 1)
            time.sleep(1.5)  # scans find nothing on the port
            second = self.sim("second", args, link)
            wait_for("second download", lambda: set_dates() >= 2)
            seen = scans()
            wait_for("a scan after the second download", lambda: scans() >= seen + 1)
            p.send_signal(signal.SIGTERM)
            p.wait(timeout=30)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
            for t in readers:
                t.join(timeout=10)
            p.stdout.close()
            p.stderr.close()
        self.assertEqual(p.returncode, 0, "".join(status))
        st2 = second.stop()
        self.assertEqual(len(st2["clears"]), 1)
        self.assertEqual(self.data_file(), HEADER + rows_of(st1) + rows_of(st2))
        self.assertEqual(set_dates(), 2)


if __name__ == "__main__":
    unittest.main()
