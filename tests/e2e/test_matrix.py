"""Fault-injection matrix: the real programs, unattended, against kvr-sim
devices that go silent, corrupt answers, or whose files cannot be written,
and against malformed input files, garbage settings and a misbehaving web
service. Every case checks the written files byte for byte against a clean
run of the same device, and the device's own state (was it cleared?).

The safety rules checked throughout:
  - a device is cleared only when every row reached the files;
  - rows written are a prefix of a clean run's rows (no duplicate, no partial
    line, no row a clean run does not write);
  - a lost link ends with exit status 1, a failed write with 3 and, for a write,
    a message naming the file;
  - no run crashes (ends by a signal) or hangs (every run is time-bounded).

KVR_LONG=1 sweeps every k of the silent-link table instead of a few.
"""

import collections
import concurrent.futures
import datetime
import glob
import itertools
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_lib as M  # noqa: E402
import test_heron  # noqa: E402  (expected_rows: the rows heron must write for an answer)

NOW = ["--now", "2012-03-04 12:00"]
SERVER = ["server", "--count", "30", "--slots", "100", "--next", "80", "--seed", "11"] + NOW
SERVER_BIG = ["server", "--count", "200", "--slots", "300", "--next", "250", "--seed", "11"] + NOW
MARTEN_LOGGER = ["logger", "--readings", "12", "--seed", "3", "--probe-max", "65535"] + NOW
# Otter's loggers keep the present clock: their own expectedRows (what a
# complete download must write) are then the reference of every run.
OTTER_LOGGERS = {
    "ordinary": ["logger", "--type", "ordinary", "--readings", "20", "--seed", "4"],
    "extended": ["logger", "--type", "extended", "--readings", "20", "--seed", "4"],
    "server": ["logger", "--type", "server", "--readings", "20", "--seed", "4"],
}


def exchanges(state):
    f = state.get("faults") or {}
    return f.get("exchanges", state.get("requests", 0))


def cut_points(n, extra=()):
    """k values for a run of n exchanges: a few spread over the run, or all of them."""
    if M.LONG:
        return list(range(0, n))
    picks = {1, 2, n // 4, n // 2, (3 * n) // 4, n - 3, n - 2, n - 1} | set(extra)
    return sorted(k for k in picks if 0 < k < n)


def counter_le(a, b):
    ca, cb = collections.Counter(a), collections.Counter(b)
    return all(ca[r] <= cb[r] for r in ca)


class MatrixCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.mkdtemp(prefix="matrix_e2e_")
        self.addCleanup(shutil.rmtree, self._tmp, True)
        self.sims = []
        self.addCleanup(self._stop_sims)
        self.n = itertools.count(1)

    def _stop_sims(self):
        for s in self.sims:
            s.kill()

    def newdir(self, name):
        d = os.path.join(self._tmp, "%03d-%s" % (next(self.n), name))
        os.makedirs(os.path.join(d, "cfg", "kvr-probe"))
        os.makedirs(os.path.join(d, "out"))
        return d

    def sim(self, d, args):
        s = M.Sim(d, "sim", args)
        self.sims.append(s)
        return s

    @staticmethod
    def env(d):
        return dict(os.environ, XDG_CONFIG_HOME=os.path.join(d, "cfg"), QT_QPA_PLATFORM="offscreen")

    @staticmethod
    def write(path, data, mode="w"):
        with open(path, "wb" if isinstance(data, bytes) else mode) as f:
            f.write(data)

    def web(self, d, service_args, settings="ProxySetting=1\n", ldate="01/02/2020", probes="12\r\n7\r\n"):
        """A stand-in service and heron's settings and Probes.cfg in the folder d/out."""
        web = self.sim(d, ["web", "--seed", "5"] + service_args)
        self.write(os.path.join(d, "cfg", "kvr-probe", "KVR.conf"),
                   "[Startup]\nDataServer=%s\n%s" % (web.path[len("http://"):], settings))
        if ldate is not None:
            self.write(os.path.join(d, "cfg", "kvr-probe", "NVA5.conf"), "[Startup]\nLDate=%s\n" % ldate)
        self.write(os.path.join(d, "out", "Probes.cfg"), probes)
        return web

    # ---------------------------------------------------------------- programs

    def serial_run(self, prog, d, port_path, speed, answers=None, startup=None, cfg=None, dump_folder=None,
                   wrap=None, out=None, kill_after=None):
        """speed: Marten's option ("0", "1") or Otter's baud rate; startup: Marten's
        NVA5.conf Startup lines, else port 3 at that speed; cfg: Otter.cfg's bytes."""
        out = out or os.path.join(d, "out")
        marten = prog == "marten"
        self.write(os.path.join(d, "cfg", "kvr-probe", "KVR.conf"), "[Ports]\nCOM%d=%s\n" % (3 if marten else 1,
                                                                                             port_path))
        if marten:
            self.write(os.path.join(d, "cfg", "kvr-probe", "NVA5.conf"),
                       "[Startup]\n" + (startup or "Port=3\nSpeed=%s\n" % speed))
        else:
            self.write(os.path.join(out, "Otter.cfg"), cfg or "Coms port = 1\r\nBaud rate = %s\r\nScan rate = 0\r\n"
                       "Dump folder =%s\r\n2nd port = 0\r\n" % (speed, " " + dump_folder if dump_folder else ""))
        if answers is None:
            answers = ("No Comms=0",) if marten else ("SET DATE=Yes",)
        cmd = [M.MARTEN if marten else M.OTTER, "--unattended", "--folder", out]
        cmd += sum((["--answer", a] for a in answers), [])
        return M.run_program(wrap(cmd) if wrap else cmd, self.env(d), kill_after=kill_after)

    _refs = {}

    def reference(self, prog, sim_args, speed):
        """(running-file rows, Dump00 rows, seconds, exchanges) of a clean run of this device, made once."""
        key = (prog, tuple(sim_args), speed)
        if key not in self._refs:
            d = self.newdir("reference")
            s = self.sim(d, sim_args)
            t0 = time.monotonic()
            run = self.serial_run(prog, d, s.path, speed)
            took = time.monotonic() - t0
            state = s.stop()
            self.assertEqual(run.rc, 0, run)
            self.assertTrue(state["cleared"], "clean run did not clear the device")
            data, dump = M.rows(self.data(d)), M.rows(self.dump(d))
            self.assertEqual(data[1], b"", "clean run left a partial line")
            if prog == "otter":
                self.assertEqual(data[0], self.expected(state))
            self._refs[key] = (data[0], dump[0] if dump else None, took, exchanges(state))
        return self._refs[key]

    def whole_lines(self, out, case):
        """Every line of the running file and the dump files ends with CR LF and
        is a header, a marker or a whole row; the running file has one header."""
        data = M.read_bytes(os.path.join(out, "KVR Probe Data.csv"))
        bad = M.bad_lines(data, 15)
        for p in glob.glob(os.path.join(out, "KVR Dumps", "Dump*.csv")):
            bad += M.bad_lines(M.read_bytes(p), 19)
        self.assertEqual(bad, [], "garbled lines: %s" % case)
        if data:
            self.assertEqual(data.count(b"Probe, Date"), 1, "header not once at the top: %s" % case)
            self.assertTrue(data.startswith(b"Probe, Date"), "header not once at the top: %s" % case)

    @staticmethod
    def expected(state):
        """The rows an Otter logger's readings give (its clock is the present one)."""
        return [r.encode() for r in state["expectedRows"]]

    def next_run(self, prog, sim_args, speed, d, case, earlier=None):
        """A clean run on the folder a failed or killed run left, against the
        device restarted with the same records: it completes, every line is
        whole, nothing earlier changed, and the rows are exactly a clean run's.
        earlier: the device state of the earlier run (Otter's rows carry its time)."""
        ref_rows = self.reference(prog, sim_args, speed)[0]
        earlier_rows = self.expected(earlier) if prog == "otter" else ref_rows
        before = (M.rows(self.data(d)) or ([], b""))[0]
        s = self.sim(d, sim_args)
        run = self.serial_run(prog, d, s.path, speed)
        state = s.stop()
        self.assertEqual(run.rc, 0, "next run after %s: %r" % (case, run))
        self.assertTrue(state["cleared"], "next run after %s did not clear" % case)
        self.whole_lines(os.path.join(d, "out"), "next run after " + case)
        rows = M.rows(self.data(d))[0]
        if prog == "otter":
            ref_rows = self.expected(state)
        self.assertEqual(rows[:len(before)], before, "earlier rows changed: %s" % case)
        self.assertEqual(rows[len(before):], ref_rows, "next run's rows: %s" % case)
        self.assertTrue(set(before) <= set(earlier_rows), "rows no clean run writes: %s" % case)

    @staticmethod
    def data(d):
        return M.read_bytes(os.path.join(d, "out", "KVR Probe Data.csv"))

    @staticmethod
    def dump(d):
        return M.read_bytes(os.path.join(d, "out", "KVR Dumps", "Dump00.csv"))

    @staticmethod
    def parallel(fn, items):
        """fn over items, a few at a time: the runs mostly wait on time limits, not the CPU."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=M.WORKERS) as pool:
            return list(pool.map(fn, items))

    def assert_bounded(self, run, kind, case):
        self.assertFalse(run.hung, "hung: %s" % case)
        self.assertFalse(run.crashed, "ended by signal %s: %s" % (run.rc and -run.rc, case))
        self.assertIn(run.rc, (0, 1, 3), run)


# ====================================================================== 1 + 2
class SerialFaults(MatrixCase):
    """Silent links and noisy links for every serial configuration."""

    # name, program, sim args, speed/baud
    CONFIGS = [
        dict(name="marten-lo", prog="marten", sim=SERVER, speed="0"),
        dict(name="marten-hi", prog="marten", sim=SERVER, speed="1"),
        dict(name="marten-logger", prog="marten", sim=MARTEN_LOGGER, speed="0"),
        dict(name="marten-logger-hi", prog="marten", sim=MARTEN_LOGGER, speed="1"),
        dict(name="otter-ordinary", prog="otter", sim=OTTER_LOGGERS["ordinary"], speed="9600"),
        dict(name="otter-extended", prog="otter", sim=OTTER_LOGGERS["extended"], speed="56000"),
        dict(name="otter-server", prog="otter", sim=OTTER_LOGGERS["server"], speed="9600"),
    ]
    def one_run(self, cfg, faults, tag):
        d = self.newdir(cfg["name"] + "-" + tag)
        s = self.sim(d, cfg["sim"][:1] + faults + cfg["sim"][1:])
        run = self.serial_run(cfg["prog"], d, s.path, cfg["speed"])
        state = s.stop()
        return d, run, state

    def clean(self, cfg):
        rows, dump, _, n = self.reference(cfg["prog"], cfg["sim"], cfg["speed"])
        dump = dump if cfg["prog"] == "marten" else None
        self.assertGreater(len(rows if dump is None else dump), 5)
        return {"data": rows, "dump": dump, "exchanges": n}

    def check_rows(self, cfg, case, d, run, state, ref, complete_expected):
        """Common safety checks; returns (lost, wrong) for the ledger."""
        got = M.rows(self.data(d))
        got_rows, tail = got if got else ([], b"")
        if cfg["prog"] == "otter":
            ref_rows = [r.encode() for r in state["expectedRows"]]
        else:
            ref_rows = ref["data"]
        cleared = bool(state["cleared"])
        wrong = sum((collections.Counter(got_rows) - collections.Counter(ref_rows)).values())
        lost = len(ref_rows) - len(got_rows) if cleared and len(got_rows) < len(ref_rows) else 0
        self.assertEqual(tail, b"", "partial line in %s" % case)
        self.assertEqual(wrong, 0, "rows not in a clean run (or written twice): %s" % case)
        # Rows go out in ring order, each position once, also after a stream
        # with holes was filled in record by record.
        self.assertEqual(got_rows, ref_rows[:len(got_rows)], "rows are not a prefix of the clean run: %s" % case)
        if cleared:
            self.assertEqual(collections.Counter(got_rows), collections.Counter(ref_rows),
                             "device cleared without all rows on disk: %s" % case)
        if cfg["prog"] == "marten" and got is not None:
            dump = M.rows(self.dump(d))
            if dump:
                self.assertEqual(dump[1], b"", "partial line in the dump: %s" % case)
                extra = sum((collections.Counter(dump[0]) - collections.Counter(ref["dump"])).values())
                wrong += extra
                self.assertEqual(extra, 0, "dump rows not in a clean run (or twice): %s" % case)
                self.assertEqual(dump[0], ref["dump"][:len(dump[0])], "dump is not a prefix: %s" % case)
                if cleared:
                    lost = max(lost, len(ref["dump"]) - len(dump[0]))
                    self.assertEqual(collections.Counter(dump[0]), collections.Counter(ref["dump"]), case)
            elif cleared:
                lost = max(lost, len(ref["dump"]))
                self.fail("device cleared without a dump file: %s" % case)
        clock = state.get("clock")
        if isinstance(clock, dict) and ref["dump"] is not None:
            dump_rows = (M.rows(self.dump(d)) or ([], b""))[0]
            if len(dump_rows) < len(ref["dump"]):
                self.assertFalse(clock["set"], "clock set after an incomplete download: %s" % case)
        if complete_expected:
            self.assertEqual(run.rc, 0, run)
            self.assertTrue(cleared)
        if not cleared:
            self.assertIn(run.rc, (1, 3), "readings kept on the device but exit status %r: %s" % (run.rc, case))
            self.assertNotIn("SET DATE", run.titles())
        return lost, wrong

    def sweep(self, kind, cfg, cases, ref, expect):
        """cases: list of (label, fault options); expect(label): the run must complete."""
        outcomes = self.parallel(lambda c: self.one_run(cfg, c[1], c[0].replace(" ", "_")), cases)
        for (label, faults), (d, run, state) in zip(cases, outcomes):
            case = "%s %s" % (cfg["name"], label)
            with self.subTest(case=case):
                with M.noted(kind + "-" + cfg["name"], case, run, completed=bool(state.get("cleared")),
                             exchanges=exchanges(state), applied=(state.get("faults") or {}).get("applied", {})) as rec:
                    self.assert_bounded(run, kind, case)
                    rec["lost"], rec["wrong"] = self.check_rows(cfg, case, d, run, state, ref, expect(label))

    def test_link_cut_after_k_exchanges(self):
        for cfg in self.CONFIGS:
            ref = self.clean(cfg)
            n = ref["exchanges"]
            cases = [("silent-after %d" % k, ["--silent-after", str(k)]) for k in cut_points(n)]
            if cfg["name"] == "marten-hi":
                # A bulk stream cut part-way: the missing records are fetched one by
                # one; with the link dead after the bulk request that fails too.
                frames = len(ref["dump"])
                for f in ([0, 7, frames // 2, frames - 1] if not M.LONG else range(0, frames)):
                    cases.append(("cut-after %d silent-after 2" % f, ["--cut-after", str(f), "--silent-after", "2"]))
                    cases.append(("cut-after %d silent-after %d" % (f, 2 + (frames - f) // 2),
                                  ["--cut-after", str(f), "--silent-after", str(2 + (frames - f) // 2)]))
                cases.append(("cut-after 12", ["--cut-after", "12"]))
            self.sweep("cut", cfg, cases, ref, lambda label: label == "cut-after 12")

    def test_noisy_links(self):
        levels = [
            ("corrupt 1%", ["--corrupt-every", "100"]),
            ("corrupt 10%", ["--corrupt-every", "10"]),
            ("wrong-echo 10%", ["--wrong-echo-every", "10"]),
            ("noise 3", ["--noise", "3"]),
            ("noise 40 corrupt 10%", ["--noise", "40", "--corrupt-every", "10"]),
        ]
        for cfg in self.CONFIGS:
            c = dict(cfg)
            if cfg["prog"] == "marten" and cfg["sim"] is SERVER:
                c["sim"] = SERVER_BIG  # enough exchanges for a 1 % rate to hit
            ref = self.clean(c)
            cases = list(levels)
            if cfg["name"] == "marten-hi":
                frames = len(ref["dump"])
                cases.append(("garble 1% of frames", ["--garble-frame", str(frames // 2)]))
                cases.append(("garble 10% of frames", sum((["--garble-frame", str(i)]
                                                           for i in range(3, frames, 10)), [])))
                cases.append(("drop 10% of frames", sum((["--drop-frame", str(i)]
                                                         for i in range(5, frames, 10)), [])))
            # Either a complete run identical to the clean one, or a clean failure.
            self.sweep("noise", c, cases, ref, lambda label: False)


# ====================================================================== 2b
class ChattyPort(MatrixCase):
    """A port that never stops talking (a GPS, a modem at the wrong speed): a
    text line every 100 ms and never a frame. Each program gives up on it in
    bounded time, writes nothing, and says there were no comms."""

    def test_chatty_port(self):
        for prog in ("marten", "otter"):
            case = prog + " on a chatty port"
            with self.subTest(case=case):
                d = self.newdir(prog + "-chatty")
                master, slave = os.openpty()
                stop = threading.Event()

                def talk():
                    while not stop.wait(0.1):
                        try:
                            os.write(master, b"$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n")
                        except OSError:
                            return

                t = threading.Thread(target=talk)
                t.start()
                try:
                    run = self.serial_run(prog, d, os.ttyname(slave), "0" if prog == "marten" else "9600")
                finally:
                    stop.set()
                    t.join()
                    os.close(master)
                    os.close(slave)
                with M.noted("chatty-" + prog, case, run):
                    self.assert_bounded(run, "chatty", case)
                    self.assertEqual(run.rc, 1, run)
                    self.assertIsNone(self.data(d), case)


# ====================================================================== 2c
SERVER60 = ["server", "--count", "60", "--slots", "100", "--next", "80", "--seed", "11"] + NOW
SERVER_OLD = ["server", "--count", "0", "--slots", "100", "--next", "30", "--seed", "11"] + NOW


class RingStatus(MatrixCase):
    """Status values that disagree with the ring: both speeds take the same
    records, and the device is cleared only when they are all on disk."""

    def test_status_against_the_ring(self):
        ref = self.reference("marten", SERVER60, "0")[0]
        ext = OTTER_LOGGERS["extended"]
        cases = []  # name, program, speed, device, answers, exit status (0: cleared), rows written, message
        for speed, sp in (("0", "lo"), ("1", "hi")):
            for what, num in (("smaller", "30"), ("larger", "90"), ("zero", "0")):
                # the ring's 60 records written, the server not cleared, the values told
                cases.append(("marten-%s count %s than the ring" % (sp, what), "marten", speed,
                              SERVER60[:1] + ["--num", num] + SERVER60[1:], None, 1, ref, "inconsistent record ring"))
            # 105 in a ring of 100 names the same five records as 5
            cases.append(("marten-%s reload past the ring" % sp, "marten", speed, SERVER_OLD,
                          ("No Comms=0", "No Readings=105"), 0, 5, None))
            cases.append(("marten-%s end outside the ring" % sp, "marten", speed,
                          SERVER60[:1] + ["--report-end", "130"] + SERVER60[1:], None, 1, None, "end record 130"))
        cases.append(("otter-extended end outside the ring", "otter", "56000",
                      ext[:1] + ["--report-end", "70"] + ext[1:], None, 1, None, "end record 70"))

        def one(c):
            d = self.newdir(c[1] + "-ring")
            s = self.sim(d, c[3])
            run = self.serial_run(c[1], d, s.path, c[2], answers=c[4])
            return d, run, s.stop()

        for (name, prog, _, _, _, rc, rows, box), (d, run, state) in zip(cases, self.parallel(one, cases)):
            with self.subTest(case=name):
                with M.noted("ring-" + prog, name, run):
                    self.assert_bounded(run, "ring", name)
                    self.assertEqual(run.rc, rc, run)
                    self.assertEqual(bool(state["cleared"]), rc == 0, name)
                    self.whole_lines(os.path.join(d, "out"), name)
                    got = M.rows(self.data(d))
                    if rows is None:
                        self.assertIsNone(got, "rows written from a broken ring: %s" % name)
                    elif isinstance(rows, int):
                        self.assertEqual(len(M.rows(self.dump(d))[0]), rows, name)
                        self.assertEqual(len(set(got[0])), len(got[0]), "a row twice: %s" % name)
                    else:
                        self.assertEqual(got[0], rows, name)
                    if box:
                        self.assertIn(box, " ".join(b.get("text", "") for b in run.boxes), run)


# ====================================================================== 3
class WriteFailures(MatrixCase):
    """Files that cannot be written: the device keeps its readings and the user is told which file."""

    def check_failure(self, kind, case, run, cleared, names):
        with M.noted("write-" + kind, case, run):
            self.assert_bounded(run, kind, case)
            # Heron's answer file that cannot be written is a failed download,
            # Otter's missing dump folder a configuration error: both 1.
            self.assertIn(run.rc, (3,) if kind == "marten" else (1, 3), run)
            self.assertFalse(cleared, "device cleared although a write failed: %s" % case)
            texts = " ".join(b.get("text", "") for b in run.boxes)
            self.assertTrue(any(n in texts for n in names), "no message names %r: %r" % (names, run.boxes))

    def test_marten_and_otter(self):
        def data_dir(d):
            os.makedirs(os.path.join(d, "out", "KVR Probe Data.csv"))

        def dumps_file(d):
            self.write(os.path.join(d, "out", "KVR Dumps"), "not a folder")

        def blocker(d):
            self.write(os.path.join(d, "out", "blocker"), "x")

        ext = OTTER_LOGGERS["extended"]
        cases = [
            # name, device, speed, what breaks, setup, file-size limit, the names a message must carry
            ("marten", SERVER, "0", "data file is a folder", data_dir, None, ["KVR Probe Data.csv"]),
            ("marten", SERVER, "0", "dump folder is a file", dumps_file, None, ["KVR Dumps"]),
            ("marten", SERVER, "0", "disk full", None, 1500, ["KVR Probe Data.csv", "Dump00.csv"]),
            ("marten-hi", SERVER, "1", "disk full", None, 1500, ["KVR Probe Data.csv", "Dump00.csv"]),
            ("marten-logger", MARTEN_LOGGER, "0", "disk full", None, 200, ["KVR Probe Data.csv", "Dump00.csv"]),
            ("otter", ext, "9600", "data file is a folder", data_dir, None, ["KVR Probe Data.csv"]),
            ("otter", ext, "9600", "disk full", None, 600, ["KVR Probe Data.csv"]),
            ("otter", ext, "9600", "dump folder is a file", blocker, None, ["Invalid data dump folder specified."]),
        ]
        for name, sim_args, speed, what, setup, limit, names in cases:
            case = "%s: %s" % (name, what)
            prog = name.split("-")[0]
            with self.subTest(case=case):
                d = self.newdir(name)
                if setup:
                    setup(d)
                s = self.sim(d, sim_args)
                run = self.serial_run(prog, d, s.path, speed, dump_folder=os.path.join(d, "out", "blocker")
                                      if setup is blocker else None,
                                      wrap=limit and (lambda c, limit=limit: M.fsize_limited(limit, c)))
                state = s.stop()
                self.check_failure(prog, case, run, state["cleared"], names)
                if prog == "otter":
                    self.assertIsNone(state["dateSet"])
                    self.assertNotIn("SET DATE", run.titles())
                if setup is blocker:
                    continue
                # What the failure left must take the next run's rows cleanly.
                self.whole_lines(os.path.join(d, "out"), case)
                M.remove_blockers(os.path.join(d, "out"))
                self.next_run(prog, sim_args, speed, d, case, state)

    def test_heron(self):
        cases = [
            dict(what="data file is a folder", setup=lambda app: os.makedirs(os.path.join(app, "KVR Probe Data.csv")),
                 wrap=None, names=["KVR Probe Data.csv"]),
            dict(what="dump folder is a file", setup=lambda app: self.write(os.path.join(app, "KVR Dumps"), "x"),
                 wrap=None, names=["KVR Dumps"]),
            dict(what="disk full", setup=None, wrap=lambda c: M.fsize_limited(3000, c),
                 names=["KVR Probe Data.csv", "Dump00.csv", "WebResponse.html", "WebProbeData.csv"]),
        ]
        for c in cases:
            case = "heron: " + c["what"]
            with self.subTest(case=case):
                d = self.newdir("heron")
                app = os.path.join(d, "out")
                web = self.web(d, ["--interval", "60"])
                if c["setup"]:
                    c["setup"](app)
                cmd = [M.HERON, "--unattended", "--folder", app]
                run = M.run_program(c["wrap"](cmd) if c["wrap"] else cmd, self.env(d))
                with open(os.path.join(d, "cfg", "kvr-probe", "NVA5.conf")) as f:
                    kept = "LDate=01/02/2020" in f.read()
                # "not cleared" for heron: the start date of the next download is kept
                self.check_failure("heron", case, run, not kept, c["names"])
                # The next run asks for the same days again and takes them cleanly.
                self.whole_lines(app, case)
                before = (M.rows(M.read_bytes(os.path.join(app, "KVR Probe Data.csv"))) or ([], b""))[0]
                M.remove_blockers(app)
                run = M.run_program(cmd, self.env(d))
                web.kill()
                self.assertEqual(run.rc, 0, run)
                self.whole_lines(app, "next run after " + case)
                rows = M.rows(M.read_bytes(os.path.join(app, "KVR Probe Data.csv")))[0]
                self.assertEqual(rows[:len(before)], before)
                self.assertTrue(set(before) <= set(rows[len(before):]), case)
                self.assertEqual(len(rows[len(before):]), len(M.rows(self.dump(d), 2)[0]), case)


# ====================================================================== 3b
class NextRuns(MatrixCase):
    """Runs killed at random moments, and two runs started together on one
    folder: whole lines afterwards, one header, no row lost or glued."""

    KILLED = [
        ("marten-lo", "marten", SERVER_BIG, "0"),
        ("marten-hi", "marten", SERVER_BIG, "1"),
        ("otter-extended", "otter", OTTER_LOGGERS["extended"], "56000"),
    ]

    def test_kill_9_then_a_clean_run(self):
        rnd = random.Random(13)
        tries = 10 if M.LONG else 3
        for name, prog, sim_args, speed in self.KILLED:
            took = self.reference(prog, sim_args, speed)[2]
            delays = [rnd.uniform(0.05, took) for _ in range(tries)]

            def killed(delay, name=name, prog=prog, sim_args=sim_args, speed=speed):
                d = self.newdir(name + "-killed")
                s = self.sim(d, sim_args)
                run = self.serial_run(prog, d, s.path, speed, kill_after=delay)
                return d, run, s.stop()

            for delay, (d, run, state) in zip(delays, self.parallel(killed, delays)):
                case = "%s killed after %.2f s" % (name, delay)
                with self.subTest(case=case):
                    with M.noted("kill-" + name, case, run, crashed=False):
                        self.assertFalse(run.hung, case)
                        self.whole_lines(os.path.join(d, "out"), case)
                        if state["cleared"]:
                            rows = M.rows(self.data(d))[0]
                            full = self.expected(state) if prog == "otter" else self.reference(prog, sim_args, speed)[0]
                            self.assertEqual(rows, full, case)
                        self.next_run(prog, sim_args, speed, d, case, state)

    def test_two_runs_on_one_folder(self):
        pairs = 10 if M.LONG else 1
        serial = [
            ("marten", [SERVER, SERVER[:-3] + ["12"] + NOW], "0"),
            ("otter", [OTTER_LOGGERS["extended"], OTTER_LOGGERS["extended"][:-1] + ["5"]], "56000"),
        ]
        for prog, sims, speed in serial:
            refs = [self.reference(prog, a, speed) for a in sims]
            for i in range(pairs):
                case = "%s pair %d" % (prog, i + 1)
                with self.subTest(case=case):
                    ds = [self.newdir(prog + "-pair") for _ in sims]
                    out = os.path.join(ds[0], "out")
                    ss = [self.sim(d, a) for d, a in zip(ds, sims)]
                    runs = self.parallel(lambda k: self.serial_run(prog, ds[k], ss[k].path, speed, out=out), [0, 1])
                    states = [s.stop() for s in ss]
                    with M.noted("pair-" + prog, case, None, False, any(r.hung for r in runs)):
                        for run, st in zip(runs, states):
                            self.assertEqual(run.rc, 0, run)
                            self.assertTrue(st["cleared"], case)
                        self.whole_lines(out, case)
                        rows = M.rows(self.data(ds[0]))[0]
                        want = [self.expected(st) for st in states] if prog == "otter" else [r[0] for r in refs]
                        self.assertEqual(collections.Counter(rows), collections.Counter(want[0] + want[1]), case)
                        if prog == "marten":
                            dumps = [M.rows(M.read_bytes(os.path.join(out, "KVR Dumps", "Dump0%d.csv" % n)))
                                     for n in (0, 1)]
                            self.assertCountEqual([dd[0] for dd in dumps if dd], [r[1] for r in refs], case)
        for i in range(pairs):
            case = "heron pair %d" % (i + 1)
            with self.subTest(case=case):
                ds = [self.newdir("heron-pair") for _ in range(2)]
                app = os.path.join(ds[0], "out")
                web = self.web(ds[0], ["--interval", "60"])
                shutil.rmtree(os.path.join(ds[1], "cfg"))
                shutil.copytree(os.path.join(ds[0], "cfg"), os.path.join(ds[1], "cfg"))
                runs = self.parallel(
                    lambda d: M.run_program([M.HERON, "--unattended", "--folder", app], self.env(d)), ds)
                web.kill()
                with M.noted("pair-heron", case, None, False, any(r.hung for r in runs)):
                    for run in runs:
                        self.assertEqual(run.rc, 0, run)
                    self.whole_lines(app, case)
                    dumps = [M.rows(M.read_bytes(os.path.join(app, "KVR Dumps", "Dump0%d.csv" % n)), 2)
                             for n in (0, 1)]
                    self.assertTrue(all(dumps), case)
                    rows = M.rows(M.read_bytes(os.path.join(app, "KVR Probe Data.csv")))[0]
                    self.assertEqual(len(rows), len(dumps[0][0]) + len(dumps[1][0]), case)
                    self.assertGreater(len(rows), 10)


# ====================================================================== 4
class BadInput(MatrixCase):
    """Malformed configuration files and garbage settings: documented behaviour or a clear message."""

    def test_otter_cfg(self):
        rnd = random.Random(7)
        junk = bytes(b for b in (rnd.randrange(256) for _ in range(4000)) if b not in b"Ss")
        valid = b"Coms port = 1\r\nBaud rate = 9600\r\nScan rate = 0\r\nDump folder =\r\n2nd port = 0\r\n"
        cases = [
            # label, Otter.cfg bytes, outcome: "rows" (complete download) / message text / "either"
            ("binary junk after the settings", valid + junk, "either"),
            ("binary junk only", junk, "either"),
            ("1 MB comment line", valid + b"x" * (1 << 20) + b"\r\n", "rows"),
            ("1 MB telephone number", valid + b"Tel number = " + b"9" * (1 << 20) + b"\r\n", "rows"),
            ("1 MB line without =", b"C" + b"o" * (1 << 20) + b"\r\n" + valid, "Invalid line in Otter.cfg"),
            ("missing =", b"Coms port 1\r\nBaud rate = 9600\r\nScan rate = 0\r\n", "Invalid line in Otter.cfg"),
            ("non-ASCII bytes in values", b"Coms port = 1\xe9\xff\r\nBaud rate = 9600\xc3\xa9\r\nScan rate = 0\r\n"
                                          b"Pin code = \xff\xfe12\r\nTel number = \x80\x81\r\n\xe9\xe9 = 1\r\n", "rows"),
            ("non-ASCII dump folder", valid + b"Dump folder = /no/such/\xe9\xff\r\n", "Invalid data dump folder"),
            ("no line endings at all", b"Coms port = 1", "rows"),
            ("NUL bytes", b"Coms port = 1\x00\x00\r\nScan rate = 0\x00\r\n\x00\x00\x00\r\n", "rows"),
        ]
        for label, cfg, outcome in cases:
            case = "Otter.cfg " + label
            with self.subTest(case=case):
                d = self.newdir("otter-cfg")
                s = self.sim(d, OTTER_LOGGERS["ordinary"])
                run = self.serial_run("otter", d, s.path, "9600", cfg=cfg, answers=("SET DATE=No",))
                state = s.stop()
                with M.noted("input", case, run):
                    self.assert_bounded(run, "input", case)
                    texts = " ".join(b.get("text", "")[:300] for b in run.boxes)
                    complete = run.rc == 0 and state["cleared"]
                    if complete:
                        self.assertEqual(self.data(d).decode("ascii").split("\r\n", 1)[1],
                                         "".join(state["expectedRows"]))
                    else:
                        self.assertFalse(state["cleared"])
                        self.assertEqual(run.rc, 1)
                        self.assertTrue(run.boxes, "failed without a message")
                    if outcome == "rows":
                        self.assertTrue(complete, run)
                    elif outcome != "either":
                        self.assertIn(outcome, texts)

    def test_marten_settings(self):
        cases = [
            # label, NVA5.conf Startup lines, outcome
            ("Port abc", "Port=abc\nSpeed=0\n", "asks for the port"),
            ("Port of 300 digits", "Port=%s\nSpeed=0\n" % ("9" * 300), "asks for the port"),
            ("Port negative", "Port=-3\nSpeed=0\n", "asks for the port"),
            ("Speed 7", "Port=3\nSpeed=7\n", "rows"),
            ("Speed of 300 characters", "Port=3\nSpeed=%s\n" % ("x" * 300), "rows"),
            ("Port 3.4 with trailing junk", "Port=3.4zz\nSpeed=1\n", "rows"),
        ]
        ref = None
        for label, startup, outcome in cases:
            case = "Marten settings " + label
            with self.subTest(case=case):
                d = self.newdir("marten-settings")
                s = self.sim(d, SERVER)
                run = self.serial_run("marten", d, s.path, "0", startup=startup)
                state = s.stop()
                with M.noted("input", case, run):
                    self.assert_bounded(run, "input", case)
                    if outcome == "rows":
                        self.assertEqual(run.rc, 0, run)
                        self.assertTrue(state["cleared"])
                        if ref is None:
                            ref = self.data(d)
                        self.assertEqual(self.data(d), ref)
                    else:
                        self.assertEqual(run.rc, 1, run)
                        self.assertFalse(state["cleared"])
                        self.assertTrue(set(run.titles()) & {"Serial Port", "ERROR"}, run)

    def test_heron_inputs(self):
        cases = [
            # label, Probes.cfg bytes, extra KVR.conf lines, NVA5.conf LDate or None, outcome
            ("Probes.cfg binary junk", bytes(range(256)) * 4 + b"\r\n12\r\n", "", None, "either"),
            ("Probes.cfg 1 MB line", b" " * (1 << 20) + b"12\r\n", "", None, "rows"),
            ("Probes.cfg non-ASCII", b"12\xe9\xff,\xc3\xa9 7\r\n", "", None, "either"),
            ("Probes.cfg no numbers", b"abc\r\n=,=\r\n", "", None, "No Probe Numbers"),
            ("ProxySetting 9", b"12\r\n", "ProxySetting=9\n", None, "rows"),
            ("HttpTimeout abc", b"12\r\n", "HttpTimeout=abc\n", None, "rows"),
            ("LDate of 300 characters", b"12\r\n", "", "7" * 300, "either"),
            ("LDate of non-ASCII text", b"12\r\n", "", "\u00e9\u00e9/\u00ff", "either"),
        ]
        for label, probes, extra, ldate, outcome in cases:
            case = "heron " + label
            with self.subTest(case=case):
                d = self.newdir("heron-input")
                app = os.path.join(d, "out")
                log = os.path.join(d, "requests.log")
                web = self.web(d, ["--interval", "720", "--log", log], extra, ldate, probes)
                run = M.run_program([M.HERON, "--unattended", "--folder", app], self.env(d))
                with M.noted("input", case, run):
                    self.assert_bounded(run, "input", case)
                    texts = " ".join(b.get("title", "") + " " + b.get("text", "") for b in run.boxes)
                    if outcome == "rows":
                        self.assertEqual(run.rc, 0, run)
                    if outcome not in ("rows", "either"):
                        self.assertIn(outcome, texts)
                    if run.rc == 0 and os.path.exists(log) and os.path.getsize(log):
                        check_heron_files(self, web, log, app)
                    elif run.rc in (1, 3):
                        self.assertTrue(run.boxes, "failed without a message")


def check_heron_files(test, web, log, app, failed_probes=()):
    """Files hold exactly the rows of every successful answer, in request order."""
    with open(log) as f:
        targets = [json.loads(l)["target"] for l in f if l.strip()]
    answers = [(int(t.rsplit("probeid=", 1)[1]), t) for t in targets]
    test_heron.assert_files(test, web.path, app, [a for a in answers if a[0] not in failed_probes], rows_each=False)


# ====================================================================== 5
# The close of a short chunked answer can reach the HTTP client with no
# bytes left to read; only the answer's own framing tells it was cut.
SHORT_CUT_TRIES = 6


class WebFaults(MatrixCase):
    """Heron against each fault of the stand-in service, and a proxy refusing the credentials."""

    def run_case(self, case, service_args, settings, expect_fail, failed_probes=(), proxy=None,
                 probes="12\r\n7\r\n"):
        d = self.newdir("web")
        app = os.path.join(d, "out")
        log = os.path.join(d, "requests.log")
        if proxy:
            settings += "ProxySetting=2\nProxyServer=127.0.0.1:%d\n" % proxy
        web = self.web(d, ["--interval", "360", "--log", log] + service_args, "HttpTimeout=3\n" + settings,
                       "01/11/2026", probes)
        start = (datetime.date.today() - datetime.timedelta(days=10)).strftime("%Y/%m/%d")
        run = M.run_program([M.HERON, "--unattended", "--folder", app, "--answer", "Reload Data=" + start],
                            self.env(d))
        with M.noted("web", case, run):
            self.assert_bounded(run, "web", case)
            with open(os.path.join(d, "cfg", "kvr-probe", "NVA5.conf")) as f:
                ldate_kept = "LDate=01/11/2026" in f.read()
            if expect_fail:
                self.assertEqual(run.rc, 1, run)
                self.assertTrue(ldate_kept, "a failed download moved the start date on")
                self.assertTrue(any("could not be downloaded" in b.get("text", "") for b in run.boxes), run)
                if failed_probes and os.path.exists(log):
                    check_heron_files(self, web, log, app, failed_probes)
            else:
                self.assertEqual(run.rc, 0, run)
                self.assertFalse(ldate_kept)
                check_heron_files(self, web, log, app)

    def test_service_faults(self):
        cases = [
            # label, service options, expect failure, probes whose request fails
            ("404 for every probe", ["--fault", "404"], True, (12, 7)),
            ("500 for probe 7", ["--fault", "500", "--fault-probe", "7"], True, (7,)),
            ("hang for probe 12", ["--fault", "hang", "--fault-probe", "12"], True, (12,)),
            ("cut halfway for probe 7", ["--fault", "cut", "--fault-probe", "7", "--interval", "5"], True, (7,)),
            ("cut halfway for every probe", ["--fault", "cut", "--interval", "5"], True, (12, 7)),
            ("trickle", ["--fault", "trickle", "--trickle-ms", "20"], False, ()),
            ("other probe's rows", ["--fault", "other-probe", "--fault-probe", "7"], False, ()),
            ("short lines", ["--fault", "short-lines"], False, ()),
            ("huge answer (20 MB)", ["--fault", "huge", "--huge-mb", "20", "--fault-probe", "7"], False, ()),
        ]
        for label, args, fail, failed in cases:
            with self.subTest(case=label):
                self.run_case("web " + label, args, "ProxySetting=1\n", fail, failed)

    def test_short_answer_cut_halfway(self):
        # A short chunked answer whose connection closes halfway, tried a few
        # times since the order in which the close and the last bytes arrive
        # varies: every try must fail and keep the start date.
        for i in range(SHORT_CUT_TRIES):
            with self.subTest(case=i):
                self.run_case("web short answer cut halfway #%d" % i, ["--fault", "cut"], "ProxySetting=1\n", True,
                              (12,), probes="12\r\n")

    def test_proxy_refusing_credentials(self):
        tinyproxy = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
        if not os.path.exists(tinyproxy):
            self.skipTest("tinyproxy not installed")
        cases = [
            ("wrong password", "ProxyUsername=user\nProxyPassword=wrong\n"),
            ("no credentials", ""),
            ("right user, empty password", "ProxyUsername=user\n"),
        ]
        for label, creds in cases:
            with self.subTest(case=label):
                port = test_heron.free_port()
                conf = os.path.join(self._tmp, "tinyproxy-%d.conf" % port)
                self.write(conf, "Port %d\nListen 127.0.0.1\nTimeout 60\nLogLevel Critical\nAllow 127.0.0.1\n"
                                 "BasicAuth user pass\n" % port)
                proxy = subprocess.Popen([tinyproxy, "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
                try:
                    test_heron.wait_for_port(port)
                    self.run_case("web proxy " + label, [], creds, True, proxy=port)
                finally:
                    proxy.send_signal(signal.SIGTERM)
                    try:
                        proxy.wait(10)
                    except subprocess.TimeoutExpired:
                        proxy.kill()
                        proxy.wait()


if __name__ == "__main__":
    unittest.main()
