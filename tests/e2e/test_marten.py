"""Marten end to end: the real program in unattended mode against kvr-sim
devices on pseudo-terminals, comparing the files it writes."""

import json, os, sys, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_lib as M  # noqa: E402

NOW = ["--now", "2012-03-04 12:00", "--seed", "11"]


class MartenEndToEnd(M.Case):
    def run_with(self, name, sim_args, speed, answers=(), port_by=None, unwritable=False):
        """One kvr-sim device on COM3 and one Marten run against it; the
        device is stopped by its pid afterwards and its state returned.
        port_by "box" types the device path in the port box instead, "option"
        gives it with --port over a stored port that does not exist."""
        d = self.newdir(name)
        if unwritable:  # a folder where the running file should be
            os.makedirs(os.path.join(d, "out", "KVR Probe Data.csv"))
        self.cfg = os.path.join(d, "cfg", "kvr-probe")
        sim = self.sim(d, sim_args)
        self.tty = sim.path
        run = self.serial_run("marten", d, {} if port_by else sim.path, speed, timeout=90,
                              startup="Port=%s\nSpeed=%d\n" % ({"box": "0", "option": "249"}.get(port_by, "3"), speed),
                              answers=list(answers) + (["Serial Port=" + sim.path] if port_by == "box" else []),
                              args=["--port", sim.path] if port_by == "option" else [])
        state = sim.stop()
        self.assertEqual(len(run.results), 1, run)
        self.result = run.results[0]
        with open(os.path.join(d, "out", "KVR Collections.log")) as f:
            self.assertEqual([json.loads(line)["result"] for line in f], run.results)
        self.assertEqual(self.result["exit_status"], run.rc)
        return run.rc, run.boxes, d, state

    def settings(self):
        return M.read_bytes(os.path.join(self.cfg, "NVA5.conf")).decode()

    def test_every_download_method_writes_the_same_files(self):
        ring = ["server", "--count", "40", "--slots", "100", "--next", "80",
                "--clock-time", "2025-06-15 10:20:45"] + NOW
        # Probe numbers that fit 16 bits keep logger records readable as
        # probe-server records, so rows (not markers) are compared.
        logger = ["logger", "--readings", "12", "--probe-max", "65535"] + NOW
        cases = [
            # name, device, speed, rows expected, the case it must equal
            ("server-lo", ring, 0, 40, None),
            ("server-hi", ring, 1, 40, "server-lo"),
            # Records missing from the stream are fetched again and written in their place.
            ("server-hi-holes", ring + ["--drop-frame", "4", "--garble-frame", "9"], 1, 40, "server-lo"),
            ("logger-lo", logger, 0, 12, None),
            ("logger-hi", logger, 1, 12, "logger-lo"),
        ]
        files = {}
        for name, device, speed, count, same_as in cases:
            with self.subTest(name):
                rc, boxes, d, state = self.run_with(name, device, speed)
                self.assertEqual((rc, state["cleared"]), (0, True), boxes)
                files[name] = data, dump = self.data(d), self.dump(d)
                self.assertTrue(data.startswith(b"Probe, Date               ,Temp1,"))
                self.assertTrue(dump.startswith(b"Probe ,RecNo,Date "))
                self.assertEqual(len(M.rows(data)[0]), count)
                self.assertNotIn("NO COMMS", [b["title"] for b in boxes])
                self.assertIn("Speed=%d" % speed, self.settings())
                r = self.result
                self.assertEqual((r["written"], r["cleared"], r["device"]), (count, True, self.tty))
                if name.startswith("server"):  # a logger counts its readings in blocks
                    self.assertEqual(r["expected"], count)
                # The server's clock as its status gave it, before it was set.
                clock = "2025-06-15T10:20:45" if name.startswith("server") else None
                self.assertEqual((r["device_clock"], r["drift_s"] is None), (clock, clock is None))
                self.assertEqual(r["refetched"] > 0, name == "server-hi-holes")
                if same_as:
                    self.assertEqual(files[name], files[same_as], "files differ from " + same_as)
                if name == "server-hi-holes":
                    self.assertEqual(state["faults"]["applied"], {"framesDropped": 1, "framesGarbled": 1})
                if name == "server-hi":
                    self.assertEqual(len(state["bulkStarts"]), 1)
                    low = [b["text"] for b in boxes if b["title"] == "Low Batteries"]
                    self.assertEqual(len(low), 1)
                    self.assertTrue(low[0].startswith("The following units have low battery readings:\r"))

    def test_readings_not_all_on_disk_stay_on_the_server(self):
        cases = [
            ("cut", ["--silent-after", "12"], False, "NO COMMS", 11, 1),
            ("unwritable", [], True, "ERROR", 0, 3),
        ]
        for name, faults, unwritable, title, count, status in cases:
            with self.subTest(name):
                rc, boxes, d, state = self.run_with(name, ["server", "--count", "30"] + faults + NOW, 0,
                                                    unwritable=unwritable)
                self.assertEqual(rc, status)
                self.assertEqual((self.result["expected"], self.result["written"], self.result["cleared"]),
                                 (30, count, False))
                self.assertFalse(state["cleared"])
                self.assertEqual([b["title"] for b in boxes if b["title"] in ("ERROR", "NO COMMS")], [title])
                text = [b["text"] for b in boxes if b["title"] == title][0]
                if unwritable:
                    self.assertIn(os.path.join(d, "out", "KVR Probe Data.csv"), text)
                    self.assertIn("left on the unit", text)
                else:
                    self.assertEqual(text, "The data download could not be completed. "
                                           "The communications to the server has been lost.")
                    self.assertFalse(state["clock"]["set"])
                    self.assertEqual(len(M.rows(self.data(d))[0]), count)

    def test_a_device_path_is_given_a_port_number(self):
        # The first number without a ttyS device of its own is the free one.
        free = next(n for n in range(1, 256) if not os.path.exists("/dev/ttyS%d" % (n - 1)))
        for port_by, stored in (("box", str(free)), ("option", "249")):
            with self.subTest(port_by):
                rc, boxes, d, state = self.run_with(port_by, ["server", "--count", "5"] + NOW, 0, port_by=port_by)
                self.assertEqual((rc, state["cleared"]), (0, True), boxes)
                self.assertIn("Port=%s\n" % stored, self.settings())  # --port leaves the stored port alone
                self.assertIn("COM%d=%s" % (free, self.tty), M.read_bytes(os.path.join(self.cfg, "KVR.conf")).decode())
                self.assertEqual((self.result["port"], self.result["device"]), (free, self.tty))
                listed = M.run_program([M.MARTEN, "--list-ports"], self.env(d), 30).stdout
                self.assertIn("%-6d%s" % (free, self.tty), listed)

    def test_dial_up_to_a_server(self):
        rc, boxes, d, state = self.run_with(
            "modem", ["modem", "--answer-on-try", "2", "--behind", "server", "--", "--count", "8"] + NOW, 0,
            answers=["Cell Number=0821234567"])
        self.assertEqual((rc, state["dialled"], state["hung_up"], state["device"]["cleared"], state["commands"][-2:]),
                         (0, "0821234567", True, True, ["+++", "ATH"]), boxes)
        self.assertEqual(len(M.rows(self.data(d))[0]), 8)
        self.assertIn("Cell=0821234567", self.settings())


if __name__ == "__main__":
    unittest.main()
