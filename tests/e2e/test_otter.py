"""Otter end to end: the real program in unattended mode against kvr-sim
loggers and a simulated modem over pseudo-terminals, checking the running
file byte for byte and what the devices were told."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

BUILD = os.environ.get("KVR_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
OTTER = os.path.join(BUILD, "apps", "otter", "otter")
SIM = os.path.join(BUILD, "sim", "kvr-sim")
HEADER = ("Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,"
          "Temp5,Water%5,Temp6,Water%6,Volts\r\n")


class Sim:
    """One kvr-sim device on a pseudo-terminal, stopped (and its state read) by stop()."""

    def __init__(self, workdir, name, args, link=None):
        self.state_path = os.path.join(workdir, name + ".json")
        cmd = [SIM] + args + ["--state", self.state_path]
        if link:
            cmd += ["--link", link]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not self.path:
            self.proc.kill()
            raise RuntimeError("kvr-sim did not start: " + self.proc.stderr.read())

    def snapshot(self):
        """The device's state while it runs (SIGUSR1 makes it write the file)."""
        try:
            os.remove(self.state_path)
        except FileNotFoundError:
            pass
        self.proc.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                with open(self.state_path) as f:
                    return json.load(f)
            except (FileNotFoundError, json.JSONDecodeError):
                time.sleep(0.05)
        raise AssertionError("no state from kvr-sim")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        with open(self.state_path) as f:
            return json.load(f)


def rows_of(state):
    """Rows a complete download writes; a modem's state holds its logger's."""
    dev = state.get("device") if state.get("kind") == "modem" else state
    return "".join(dev["expectedRows"])


class OtterEndToEnd(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="otter-e2e-")
        self.prog = os.path.join(self.tmp, "prog")
        os.makedirs(self.prog)
        self.xdg = os.path.join(self.tmp, "xdg")
        os.makedirs(os.path.join(self.xdg, "kvr-probe"))
        self.sims = []
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        for s in self.sims:
            try:
                s.stop()
            except (OSError, ValueError, FileNotFoundError):
                pass
        shutil.rmtree(self.tmp, ignore_errors=True)

    # ---- helpers ----

    def sim(self, name, args, link=None):
        s = Sim(self.tmp, name, args, link)
        self.sims.append(s)
        return s

    def ports(self, **paths):
        with open(os.path.join(self.xdg, "kvr-probe", "KVR.conf"), "w") as f:
            f.write("[Ports]\n")
            for key, path in paths.items():
                f.write("%s=%s\n" % (key.upper(), path))

    def config(self, lines):
        with open(os.path.join(self.prog, "Otter.cfg"), "wb") as f:
            f.write("".join(line + "\r\n" for line in lines).encode())

    def env(self):
        e = dict(os.environ)
        e["XDG_CONFIG_HOME"] = self.xdg
        return e

    def otter(self, answers=(), timeout=120):
        cmd = [OTTER, "--unattended", "--folder", self.prog]
        for a in answers:
            cmd += ["--answer", a]
        r = subprocess.run(cmd, env=self.env(), capture_output=True, text=True, timeout=timeout)
        boxes = [json.loads(line) for line in r.stdout.splitlines() if line.strip()]
        return r.returncode, boxes, r.stderr

    def data_file(self, folder=None):
        with open(os.path.join(folder or self.prog, "KVR Probe Data.csv"), "rb") as f:
            return f.read().decode("ascii")

    # ---- tests ----

    def test_single_run_for_each_logger_kind(self):
        cases = [
            ("ordinary", "9600", "Yes"),
            ("extended", "56000", "Yes"),
            ("server", "9600", "No"),
        ]
        for kind, baud, date in cases:
            with self.subTest(kind=kind):
                data = os.path.join(self.tmp, "data-" + kind)
                os.makedirs(data)
                s = self.sim("logger-" + kind, ["logger", "--type", kind, "--readings", "20"])
                self.ports(com1=s.path)
                self.config(["Coms port = 1", "Baud rate = " + baud, "Scan rate = 0",
                             "Dump folder = " + data + "/", "2nd port = 0"])
                rc, boxes, err = self.otter(["SET DATE=" + date])
                state = s.stop()
                self.sims.remove(s)
                self.assertEqual(rc, 0, err)
                self.assertEqual([b["title"] for b in boxes], ["SET DATE"])
                self.assertTrue(boxes[0]["text"].startswith("Setting logger date to: "))
                self.assertEqual(self.data_file(data), HEADER + rows_of(state))
                self.assertGreaterEqual(len(state["expectedRows"]), 10)  # some records are planted unusable
                self.assertTrue(state["cleared"])
                clock_set = state["clockSetTo"] is not None or state["dateSet"] is not None
                self.assertEqual(clock_set, date == "Yes")
                self.assertEqual(state["baud"], 9600)

    def test_second_port_modem_in_front_of_a_logger(self):
        silent = self.sim("silent", ["logger", "--silent-after", "0"])
        modem = self.sim("modem", ["modem", "--echo", "--behind", "logger", "--",
                                   "--type", "extended", "--readings", "12"])
        self.ports(com1=silent.path, com2=modem.path)
        self.config(["Coms port = 1", "Baud rate = 56000", "Scan rate = 0", "Dump folder =",
                     "2nd port = 2", "Pin code =", "Tel number = 0821234567 (logger modem)"])
        rc, boxes, err = self.otter(["SET DATE=Yes"])
        state = modem.stop()
        self.assertEqual(rc, 1, err)  # nothing answered on the first port
        self.assertEqual([(b["title"], b["text"]) for b in boxes][:1],
                         [("ERROR", "ERROR, Data download not completed - No comms.")])
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
        self.ports(com1=link)
        self.config(["Coms port = 1", "Baud rate = 9600", "Scan rate = 1", "Dump folder =", "2nd port = 0"])
        args = ["logger", "--type", "ordinary", "--readings", "8"]
        first = self.sim("first", args, link)
        p = subprocess.Popen([OTTER, "--unattended", "--folder", self.prog, "--answer", "SET DATE=No"],
                             env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.procs.append(p)
        # Boxes and status lines are read as they come, so the test can wait
        # for what the program did rather than guess how long it takes on a
        # loaded machine.
        box_lines, status_lines = [], []
        readers = [threading.Thread(target=lambda: box_lines.extend(iter(p.stdout.readline, "")), daemon=True),
                   threading.Thread(target=lambda: status_lines.extend(iter(p.stderr.readline, "")), daemon=True)]
        for t in readers:
            t.start()

        def set_date_boxes():
            return [line for line in list(box_lines) if line.strip() and json.loads(line)["title"] == "SET DATE"]

        def wait_for(what, cond, limit=60):
            deadline = time.monotonic() + limit
            while time.monotonic() < deadline:
                if cond():
                    return
                time.sleep(0.2)
            self.fail(what + " not seen in time")

        def scans_after(n):
            # A scan shows the connecting line once per status request.
            return lambda: sum("Conecting to logger" in line for line in list(status_lines)) >= n

        def wait_cleared(s, clears):
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                st = s.snapshot()
                if len(st["clears"]) >= clears:
                    return st
                time.sleep(0.3)
            self.fail("logger not downloaded in time")

        wait_cleared(first, 1)
        # The run ends with the clock question; then later scans find the
        # emptied logger and leave it alone.
        wait_for("first SET DATE box", lambda: len(set_date_boxes()) >= 1)
        seen = sum("Conecting to logger" in line for line in list(status_lines))
        wait_for("two more scans", scans_after(seen + 2))
        st1 = first.stop()
        self.sims.remove(first)
        self.assertEqual(len(st1["clears"]), 1)
        time.sleep(1.5)  # scans find nothing on the port
        second = self.sim("second", args, link)
        st2 = wait_cleared(second, 1)
        wait_for("second SET DATE box", lambda: len(set_date_boxes()) >= 2)
        seen = sum("Conecting to logger" in line for line in list(status_lines))
        wait_for("a scan after the second download", scans_after(seen + 1))
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=30)
        for t in readers:
            t.join(timeout=10)
        err = "".join(status_lines)
        self.assertEqual(p.returncode, 0, err)
        self.assertEqual(len(second.snapshot()["clears"]), 1)
        self.assertEqual(self.data_file(), HEADER + rows_of(st1) + rows_of(st2))
        self.assertEqual(len(set_date_boxes()), 2)

    def test_unwritable_dump_folder_keeps_the_readings(self):
        s = self.sim("logger", ["logger", "--type", "extended", "--readings", "10"])
        self.ports(com1=s.path)
        # A folder holds the running file's name, so it cannot be opened for appending.
        os.makedirs(os.path.join(self.prog, "KVR Probe Data.csv"))
        self.config(["Coms port = 1", "Baud rate = 9600", "Scan rate = 0", "Dump folder =", "2nd port = 0"])
        rc, boxes, err = self.otter(["SET DATE=Yes"])
        state = s.stop()
        self.assertEqual(rc, 1, err)
        self.assertFalse(state["cleared"])
        self.assertIsNone(state["dateSet"])
        self.assertEqual(len(boxes), 1)
        self.assertEqual(boxes[0]["title"], "ERROR")
        self.assertIn(os.path.join(self.prog, "KVR Probe Data.csv"), boxes[0]["text"])
        self.assertIn("left on the logger", boxes[0]["text"])


if __name__ == "__main__":
    unittest.main()
