"""Otter end to end: the real program in unattended mode against kvr-sim
loggers and a simulated modem over pseudo-terminals, checking the running
file byte for byte and what the devices were told."""

import json, os, subprocess, sys, threading, time, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_lib as M  # noqa: E402
from matrix_lib import DATA_HEADER as HEADER  # noqa: E402

NO_COMMS = "ERROR, Data download not completed - No comms."


def rows_of(state):
    """Rows a complete download writes; a modem's state holds its logger's."""
    return "".join((state["device"] if state.get("kind") == "modem" else state)["expectedRows"])


class OtterEndToEnd(M.Case):
    def setUp(self):
        super().setUp()
        self.d = self.newdir("otter")
        self.prog = os.path.join(self.d, "out")

    def sim(self, name, args, link=None):
        return super().sim(self.d, args + (["--link", link] if link else []), name)

    def otter(self, cfg, ports, answers):
        run = self.serial_run("otter", self.d, ports, None, answers, cfg="".join(line + "\r\n" for line in cfg),
                              timeout=120)
        return run.rc, run.boxes, run.stderr

    def data_file(self, folder=None):
        return M.read_bytes(os.path.join(folder or self.prog, "KVR Probe Data.csv")).decode("ascii")

    def test_single_runs(self):
        cases = [
            # logger kind, baud rate, SET DATE answer (an unwritable running file: WriteFailures in test_matrix)
            ("ordinary", "9600", "Yes"),
            ("extended", "56000", "Yes"),
            ("server", "9600", "No"),
        ]
        for kind, baud, date in cases:
            with self.subTest(kind=kind, baud=baud):
                data = os.path.join(self.tmp, "data-%s-%s" % (kind, baud))
                os.makedirs(data)
                s = self.sim("logger-" + kind, ["logger", "--type", kind, "--readings", "20"])
                rc, boxes, err = self.otter(["Coms port = 1", "Baud rate = " + baud, "Scan rate = 0", "Dump folder = "
                                             + data + "/", "2nd port = 0"], s.path, ["SET DATE=" + date])
                state = s.stop()
                self.assertEqual((state["baud"], state["baudSwitches"] != []), (9600, baud == "56000"))
                self.assertEqual((rc, state["cleared"], [b["title"] for b in boxes]), (0, True, ["SET DATE"]), err)
                self.assertTrue(boxes[0]["text"].startswith("Setting logger date to: "))
                self.assertEqual(self.data_file(data), HEADER + rows_of(state))
                self.assertGreaterEqual(len(state["expectedRows"]), 10)  # some records are planted unusable
                self.assertEqual(state["clockSetTo"] is not None or state["dateSet"] is not None, date == "Yes")

    def test_second_port_modem_in_front_of_a_logger(self):
        silent = self.sim("silent", ["logger", "--silent-after", "0"])
        modem = self.sim("modem", ["modem", "--echo", "--behind", "logger", "--",
                                   "--type", "extended", "--readings", "12"])
        rc, boxes, err = self.otter(["Coms port = 1", "Baud rate = 56000", "Scan rate = 0", "Dump folder =",
                                     "2nd port = 2", "Pin code =", "Tel number = 0821234567 (logger modem)"],
                                    {1: silent.path, 2: modem.path}, ["SET DATE=Yes"])
        state = modem.stop()
        # The logger behind the second port's modem was downloaded, never switching the baud rate over a call.
        self.assertEqual((rc, [b["title"] for b in boxes], boxes[0]["text"]), (0, ["ERROR", "SET DATE"], NO_COMMS), err)
        self.assertEqual(self.data_file(), HEADER + rows_of(state))
        self.assertEqual((state["dialled"], state["hung_up"], state["connected"], state["device"]["cleared"],
                          state["device"]["baudSwitches"]), ("0821234567", True, False, True, []))
        self.assertIsNotNone(state["device"]["dateSet"])
        self.assertIn("Cell disconnected.", err)

    def test_resident_downloads_again_after_unplugging(self):
        link = os.path.join(self.tmp, "com1")
        self.conf(self.d, "KVR.conf", "[Ports]\nCOM1=%s\n" % link)
        self.write(os.path.join(self.prog, "Otter.cfg"),
                   "Coms port = 1\r\nBaud rate = 9600\r\nScan rate = 1\r\nDump folder =\r\n2nd port = 0\r\n")
        args = ["logger", "--type", "ordinary", "--readings", "8"]
        first = self.sim("first", args, link)
        p = subprocess.Popen([M.OTTER, "--unattended", "--folder", self.prog, "--answer", "SET DATE=No"],
                             env=self.env(self.d), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
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
        finally:
            M.stop(p)  # SIGTERM: the resident program ends cleanly
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
