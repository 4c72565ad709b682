"""Fault-injection matrix: the real programs, unattended, against kvr-sim
devices that go silent or corrupt answers, files that cannot be written, runs
killed or started twice, malformed input and a misbehaving web service. The
checks (files byte for byte against a clean run of the same device, the device
cleared only when every row reached the files, exit statuses, bounded runs)
are listed in docs/matrix.md. KVR_LONG=1 sweeps every cut point instead of a few.
"""

import collections, contextlib, datetime, glob, itertools, os, random, shutil, sys, threading, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_lib as M  # noqa: E402

NOW = ["--now", "2012-03-04 12:00"]
SERVER = ["server", "--count", "30", "--slots", "100", "--next", "80", "--seed", "11"] + NOW
SERVER_BIG = ["server", "--count", "200", "--slots", "300", "--next", "250", "--seed", "11"] + NOW
MARTEN_LOGGER = ["logger", "--readings", "12", "--seed", "3", "--probe-max", "65535"] + NOW
# Otter's loggers keep the present clock: their own expectedRows (what a
# complete download must write) are then the reference of every run.
OTTER_LOGGERS = {t: ["logger", "--type", t, "--readings", "20", "--seed", "4"]
                 for t in ("ordinary", "extended", "server")}


def exchanges(state):
    f = state.get("faults") or {}
    return f.get("exchanges", state.get("requests", 0))


def cut_points(n, extra=()):
    """k values for a run of n exchanges: a few spread over the run, or all of them."""
    if M.LONG:
        return list(range(0, n))
    picks = {1, 2, n // 4, n // 2, (3 * n) // 4, n - 3, n - 2, n - 1} | set(extra)
    return sorted(k for k in picks if 0 < k < n)


def expected(state):
    """The rows an Otter logger's readings give (its clock is the present one)."""
    return [r.encode() for r in state["expectedRows"]]


class MatrixCase(M.Case):
    _refs = {}

    def reference(self, prog, sim_args, speed):
        """(running-file rows, Dump00 rows, seconds, exchanges) of a clean run of this device, made once."""
        key = (prog, tuple(sim_args), speed)
        if key not in self._refs:
            d, run, state = self.device_run(prog, sim_args, speed, rc=0)
            data, dump = M.rows(self.data(d)), M.rows(self.dump(d))
            self.assertEqual((state["cleared"], data[1]), (True, b""), "a clean run must clear and leave whole lines")
            if prog == "otter":
                self.assertEqual(data[0], expected(state))
            self._refs[key] = (data[0], dump[0] if dump else None, run.elapsed, exchanges(state))
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

    def next_run(self, prog, sim_args, speed, d, case, earlier=None):
        """A clean run on the folder a failed or killed run left, against the
        device restarted with the same records: it completes, every line is
        whole, nothing earlier changed, and the rows are exactly a clean run's.
        earlier: the device state of the earlier run (Otter's rows carry its time)."""
        ref_rows = self.reference(prog, sim_args, speed)[0]
        earlier_rows = expected(earlier) if prog == "otter" else ref_rows
        before = (M.rows(self.data(d)) or ([], b""))[0]
        run, state = self.device_run(prog, sim_args, speed, d)[1:]
        self.assertEqual((run.rc, state["cleared"]), (0, True), "next run after %s: %r" % (case, run))
        self.whole_lines(os.path.join(d, "out"), "next run after " + case)
        rows = M.rows(self.data(d))[0]
        if prog == "otter":
            ref_rows = expected(state)
        self.assertEqual(rows[:len(before)], before, "earlier rows changed: %s" % case)
        self.assertEqual(rows[len(before):], ref_rows, "next run's rows: %s" % case)
        self.assertTrue(set(before) <= set(earlier_rows), "rows no clean run writes: %s" % case)

    @contextlib.contextmanager
    def bounded(self, kind, case, run, **extra):
        """The case as a subtest, noted in the ledger; its run neither hung nor crashed."""
        with self.subTest(case=case), M.noted(kind, case, run, **extra) as rec:
            self.assertFalse(run.hung, "hung: %s" % case)
            self.assertFalse(run.crashed, "ended by signal %s: %s" % (run.rc and -run.rc, case))
            self.assertIn(run.rc, (0, 1, 3), run)
            yield rec


# ====================================================================== 1 + 2
class SerialFaults(MatrixCase):
    """Silent links and noisy links for every serial configuration."""

    CONFIGS = [
        dict(name="marten-lo", prog="marten", sim=SERVER, speed="0"),
        dict(name="marten-hi", prog="marten", sim=SERVER, speed="1"),
        dict(name="marten-logger", prog="marten", sim=MARTEN_LOGGER, speed="0"),
        dict(name="marten-logger-hi", prog="marten", sim=MARTEN_LOGGER, speed="1"),
        dict(name="otter-ordinary", prog="otter", sim=OTTER_LOGGERS["ordinary"], speed="9600"),
        dict(name="otter-extended", prog="otter", sim=OTTER_LOGGERS["extended"], speed="56000"),
        dict(name="otter-server", prog="otter", sim=OTTER_LOGGERS["server"], speed="9600"),
    ]

    def clean(self, cfg):
        rows, dump, _, n = self.reference(cfg["prog"], cfg["sim"], cfg["speed"])
        dump = dump if cfg["prog"] == "marten" else None
        self.assertGreater(len(rows if dump is None else dump), 5)
        return {"data": rows, "dump": dump, "exchanges": n}

    def check_rows(self, cfg, case, d, run, state, ref, complete_expected):
        """Common safety checks on the running file and Marten's dump; returns (lost, wrong) for the ledger."""
        cleared = bool(state["cleared"])
        files = [(self.data(d), expected(state) if cfg["prog"] == "otter" else ref["data"])]
        if cfg["prog"] == "marten" and files[0][0] is not None:
            files.append((self.dump(d), ref["dump"]))
        lost = wrong = 0
        for blob, want in files:
            got, tail = M.rows(blob) or ([], b"")
            extra = sum((collections.Counter(got) - collections.Counter(want)).values())
            wrong += extra
            lost = max(lost, len(want) - len(got)) if cleared else 0
            self.assertEqual(tail, b"", "partial line: %s" % case)
            self.assertEqual(extra, 0, "rows not in a clean run (or written twice): %s" % case)
            # Rows go out in ring order, each position once, also after a stream
            # with holes was filled in record by record.
            self.assertEqual(got, want[:len(got)], "rows are not a prefix of the clean run: %s" % case)
            self.assertFalse(cleared and len(got) < len(want), "device cleared without all rows on disk: %s" % case)
        if isinstance(state.get("clock"), dict) and ref["dump"] is not None:
            dump_rows = (M.rows(self.dump(d)) or ([], b""))[0]
            self.assertFalse(len(dump_rows) < len(ref["dump"]) and state["clock"]["set"],
                             "clock set after an incomplete download: %s" % case)
        if complete_expected:
            self.assertEqual((run.rc, cleared), (0, True), run)
        if not cleared:
            self.assertIn(run.rc, (1, 3), "readings kept on the device but exit status %r: %s" % (run.rc, case))
            self.assertNotIn("SET DATE", run.titles())
        return lost, wrong

    def sweep(self, kind, cfg, cases, ref, expect):
        """cases: list of (label, fault options); expect(label): the run must complete."""
        outcomes = self.parallel(lambda c: self.device_run(cfg["prog"], cfg["sim"][:1] + c[1] + cfg["sim"][1:],
                                                           cfg["speed"]), cases)
        for (label, faults), (d, run, state) in zip(cases, outcomes):
            case = "%s %s" % (cfg["name"], label)
            applied = (state.get("faults") or {}).get("applied", {})
            with self.bounded(kind + "-" + cfg["name"], case, run, completed=bool(state.get("cleared")),
                              exchanges=exchanges(state), applied=applied) as rec:
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
                    for k in (2, 2 + (frames - f) // 2):
                        cases.append(("cut-after %d silent-after %d" % (f, k), ["--cut-after", str(f), "--silent-after",
                                                                                str(k)]))
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
                cases += [("garble 1% of frames", ["--garble-frame", str(frames // 2)]),
                          ("garble 10% of frames",
                           [o for i in range(3, frames, 10) for o in ("--garble-frame", str(i))]),
                          ("drop 10% of frames", [o for i in range(5, frames, 10) for o in ("--drop-frame", str(i))])]
            # Either a complete run identical to the clean one, or a clean failure.
            self.sweep("noise", c, cases, ref, lambda label: False)


# ====================================================================== 2b
class ChattyPort(MatrixCase):
    """A port that never stops talking (a GPS, a modem at the wrong speed): a
    text line every 100 ms and never a frame. Each program gives up on it in
    bounded time, writes nothing, and says there were no comms."""

    def test_chatty_port(self):
        for prog in ("marten", "otter"):
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
            with self.bounded("chatty-" + prog, prog + " on a chatty port", run):
                self.assertEqual(run.rc, 1, run)
                self.assertIsNone(self.data(d), prog)


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

        runs = self.parallel(lambda c: self.device_run(c[1], c[3], c[2], answers=c[4]), cases)
        for (name, prog, _, _, _, rc, rows, box), (d, run, state) in zip(cases, runs):
            with self.bounded("ring-" + prog, name, run):
                self.assertEqual((run.rc, bool(state["cleared"])), (rc, rc == 0), run)
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
                    self.assertIn(box, run.texts(), run)


# ====================================================================== 3
class WriteFailures(MatrixCase):
    """Files that cannot be written: the device keeps its readings and the user
    is told which file; a clean run on the folder the failure left follows."""

    def failed(self, kind, case, run, cleared, names):
        # Heron's answer file that cannot be written is a failed download,
        # Otter's missing dump folder a configuration error: both 1.
        self.assertIn(run.rc, (1, 3) if kind == "heron" or "names a file" in case else (3,), run)
        self.assertFalse(cleared, "device cleared although a write failed: %s" % case)
        self.assertTrue(any(n in run.texts() for n in names), "no message names %r: %r" % (names, run.boxes))

    def block(self, out, what):
        if what == "data file is a folder":
            os.makedirs(os.path.join(out, "KVR Probe Data.csv"))
        elif what == "dump folder is a file":
            self.write(os.path.join(out, "KVR Dumps"), "not a folder")

    def test_marten_and_otter(self):
        ext = OTTER_LOGGERS["extended"]
        cases = [
            # name, device, speed, what breaks (disk full: at this file size), the names a message must carry
            ("marten", SERVER, "0", "data file is a folder", ["KVR Probe Data.csv"]),
            ("marten", SERVER, "0", "dump folder is a file", ["KVR Dumps"]),
            ("marten", SERVER, "0", 1500, ["KVR Probe Data.csv", "Dump00.csv"]),
            ("marten-hi", SERVER, "1", 1500, ["KVR Probe Data.csv", "Dump00.csv"]),
            ("marten-logger", MARTEN_LOGGER, "0", 200, ["KVR Probe Data.csv", "Dump00.csv"]),
            ("otter", ext, "9600", "data file is a folder", ["KVR Probe Data.csv"]),
            ("otter", ext, "9600", 600, ["KVR Probe Data.csv"]),
            # Otter's dump folder names a file: a configuration error before anything is read
            ("otter", ext, "9600", "dump folder names a file", ["Invalid data dump folder specified."]),
        ]
        for name, sim_args, speed, what, names in cases:
            case = "%s: %s" % (name, "disk full" if isinstance(what, int) else what)
            prog = name.split("-")[0]
            d = self.newdir(name)
            out = os.path.join(d, "out")
            self.block(out, what)
            blocker = what == "dump folder names a file"
            if blocker:
                self.write(os.path.join(out, "blocker"), "x")
            run, state = self.device_run(prog, sim_args, speed, d, wrap=isinstance(what, int) and M.fsize_limited(what),
                                         dump_folder=os.path.join(out, "blocker") if blocker else None)[1:]
            with self.bounded("write-" + prog, case, run):
                self.failed(prog, case, run, state["cleared"], names)
                if prog == "otter":  # nor was its date set
                    self.assertEqual((state["dateSet"], "SET DATE" in run.titles()), (None, False), run)
                if not blocker:
                    self.whole_lines(out, case)
                    M.remove_blockers(out)
                    self.next_run(prog, sim_args, speed, d, case, state)

    def test_heron(self):
        # Each answer (about 1.9 KB) fits in 3,000 bytes; the second takes the dump and running file past it.
        ldate = (datetime.date.today() - datetime.timedelta(days=3)).strftime("%d/%m/%Y")
        cases = [("data file is a folder", ["KVR Probe Data.csv"]), ("dump folder is a file", ["KVR Dumps"]),
                 (3000, ["KVR Probe Data.csv", "Dump00.csv", "WebResponse.html", "WebProbeData.csv"])]
        for what, names in cases:
            case = "heron: " + ("disk full" if isinstance(what, int) else what)
            d = self.newdir("heron")
            app = os.path.join(d, "out")
            self.web(d, ["--interval", "360"], "ProxySetting=1\n", ldate, "12\r\n7\r\n")
            self.block(app, what)
            run = self.program(M.HERON, d, wrap=isinstance(what, int) and M.fsize_limited(what))
            with self.bounded("write-heron", case, run):
                # "not cleared" for heron: the start date of the next download is kept
                kept = ("LDate=" + ldate).encode() in M.read_bytes(os.path.join(d, "cfg", "kvr-probe", "NVA5.conf"))
                self.failed("heron", case, run, not kept, names)
                # The next run asks for the same days again and takes them cleanly.
                self.whole_lines(app, case)
                before = (M.rows(self.data(d)) or ([], b""))[0]
                M.remove_blockers(app)
                self.program(M.HERON, d, rc=0)
                self.whole_lines(app, "next run after " + case)
                rows = M.rows(self.data(d))[0]
                self.assertEqual(rows[:len(before)], before)
                self.assertTrue(set(before) <= set(rows[len(before):]), case)
                self.assertEqual(len(rows[len(before):]), len(M.rows(self.dump(d), 2)[0]), case)


# ====================================================================== 3b
class NextRuns(MatrixCase):
    """Runs killed inside their download, and two runs started together on one folder:
    whole lines afterwards, one header, no row lost or glued, each run's rows one block."""
    # Paced answers stretch downloads over seconds: a kill is drawn inside one (after the running file
    # grew past a size), and a pair's downloads overlap, so only the folder lock keeps them apart.

    KILLED = [  # name, program, device, speed, wait for a row (Hi writes all after its stream), seconds to draw in
        ("marten-lo", "marten", SERVER_BIG, "0", True, 7.5),
        ("marten-hi", "marten", SERVER_BIG, "1", False, 6.5),
        ("otter-extended", "otter", OTTER_LOGGERS["extended"][:4] + ["250", "--slots", "300"], "56000", True, 1.8),
    ]

    def test_kill_9_then_a_clean_run(self):
        rnd = random.Random(13)
        tries = 10 if M.LONG else 3
        for name, prog, sim_args, speed, row, window in self.KILLED:
            full = self.reference(prog, sim_args, speed)[0]
            kills = [(self.newdir(prog), rnd.uniform(0.02, window)) for _ in range(tries)]
            runs = self.parallel(lambda k: self.device_run(prog, sim_args + ["--pace"], speed, k[0], kill_after=k[1],
                                 grown=(k[0] + "/out/KVR Probe Data.csv", len(M.DATA_HEADER) * row)), kills)
            for (_, delay), (d, run, state) in zip(kills, runs):
                case = "%s killed %.2f s into its download" % (name, delay)
                with self.subTest(case=case), M.noted("kill-" + name, case, run, crashed=False):
                    self.assertFalse(run.hung, case)
                    self.whole_lines(os.path.join(d, "out"), case)
                    if state["cleared"]:
                        self.assertEqual(M.rows(self.data(d))[0], expected(state) if prog == "otter" else full, case)
                    self.next_run(prog, sim_args, speed, d, case, state)

    def test_two_runs_on_one_folder(self):
        pairs = 10 if M.LONG else 1
        serial = [
            ("marten", [SERVER, SERVER[:-3] + ["12"] + NOW], "0"),
            ("otter", [OTTER_LOGGERS["extended"][:4] + ["40", "--seed", s] for s in "45"], "9600"),
            ("heron", [None, None], None),
        ]
        for (prog, sims, speed), i in itertools.product(serial, range(pairs)):
            case = "%s pair %d" % (prog, i + 1)
            with self.subTest(case=case):
                ds = [self.newdir(prog + "-pair") for _ in sims]
                out = os.path.join(ds[0], "out")
                if prog == "heron":
                    web = self.web(ds[0], ["--interval", "60"], "ProxySetting=1\n", "01/02/2020", "12\r\n7\r\n")
                    shutil.rmtree(os.path.join(ds[1], "cfg"))
                    shutil.copytree(os.path.join(ds[0], "cfg"), os.path.join(ds[1], "cfg"))
                    runs = self.parallel(lambda d: self.program(M.HERON, d, out=out), ds)
                    web.kill()
                else:
                    refs = [self.reference(prog, a, speed) for a in sims] if prog == "marten" else []
                    ss = [self.sim(d, a + ["--pace"]) for d, a in zip(ds, sims)]
                    runs = self.parallel(lambda k: self.serial_run(prog, ds[k], ss[k].path, speed, out=out), [0, 1])
                    states = [s.stop() for s in ss]
                with M.noted("pair-" + prog, case, None, False, any(r.hung for r in runs)):
                    self.assertEqual([run.rc for run in runs], [0, 0], runs)
                    self.whole_lines(out, case)
                    rows = M.rows(self.data(ds[0]))[0]
                    dumps = [M.rows(self.dump(ds[0], n), 2 if prog == "heron" else 1) for n in (0, 1)]
                    if prog == "heron":  # one dump file per run, the running file holding both
                        self.assertTrue(all(dumps), case)
                        self.assertEqual(len(rows), len(dumps[0][0]) + len(dumps[1][0]), case)
                        self.assertGreater(len(rows), 10)
                        continue
                    self.assertTrue(all(st["cleared"] for st in states), case)
                    want = [expected(st) for st in states] if prog == "otter" else [r[0] for r in refs]
                    self.assertIn(rows, (want[0] + want[1], want[1] + want[0]), "rows lost or interleaved: " + case)
                    if prog == "marten":
                        self.assertCountEqual([dd[0] for dd in dumps if dd], [r[1] for r in refs], case)


# ====================================================================== 4
class BadInput(MatrixCase):
    """Malformed configuration files and garbage settings: documented behaviour or a clear message."""

    def test_otter_cfg_and_marten_settings(self):
        rnd = random.Random(7)
        junk = bytes(b for b in (rnd.randrange(256) for _ in range(4000)) if b not in b"Ss")
        valid = b"Coms port = 1\r\nBaud rate = 9600\r\nScan rate = 0\r\nDump folder =\r\n2nd port = 0\r\n"
        cases = [
            # label, Otter.cfg bytes or Marten's NVA5.conf Startup lines, outcome: "rows" (a complete download,
            # as a clean run writes it), "either", or what the failure's message says ("port": Marten asks for it)
            ("Otter.cfg binary junk after the settings", valid + junk, "either"),
            ("Otter.cfg binary junk only", junk, "either"),
            ("Otter.cfg 1 MB comment line", valid + b"x" * (1 << 20) + b"\r\n", "rows"),
            ("Otter.cfg 1 MB telephone number", valid + b"Tel number = " + b"9" * (1 << 20) + b"\r\n", "rows"),
            ("Otter.cfg 1 MB line without =", b"C" + b"o" * (1 << 20) + b"\r\n" + valid, "Invalid line in Otter.cfg"),
            ("Otter.cfg missing =", b"Coms port 1\r\nBaud rate = 9600\r\nScan rate = 0\r\n",
             "Invalid line in Otter.cfg"),
            ("Otter.cfg non-ASCII bytes in values", b"Coms port = 1\xe9\xff\r\nBaud rate = 9600\xc3\xa9\r\n"
             b"Scan rate = 0\r\nPin code = \xff\xfe12\r\nTel number = \x80\x81\r\n\xe9\xe9 = 1\r\n", "rows"),
            ("Otter.cfg non-ASCII dump folder", valid + b"Dump folder = /no/such/\xe9\xff\r\n",
             "Invalid data dump folder"),
            ("Otter.cfg no line endings at all", b"Coms port = 1", "rows"),
            ("Otter.cfg NUL bytes", b"Coms port = 1\x00\x00\r\nScan rate = 0\x00\r\n\x00\x00\x00\r\n", "rows"),
            ("Marten settings Port abc", "Port=abc\nSpeed=0\n", "port"),
            ("Marten settings Port of 300 digits", "Port=%s\nSpeed=0\n" % ("9" * 300), "port"),
            ("Marten settings Port negative", "Port=-3\nSpeed=0\n", "port"),
            ("Marten settings Speed 7", "Port=3\nSpeed=7\n", "rows"),
            ("Marten settings Speed of 300 characters", "Port=3\nSpeed=%s\n" % ("x" * 300), "rows"),
            ("Marten settings Port 3.4 with trailing junk", "Port=3.4zz\nSpeed=1\n", "rows"),
        ]
        ref = None
        for case, cfg, outcome in cases:
            if case.startswith("Otter"):
                d, run, state = self.device_run("otter", OTTER_LOGGERS["ordinary"], "9600", cfg=cfg,
                                                answers=("SET DATE=No",))
            else:
                d, run, state = self.device_run("marten", SERVER, "0", startup=cfg)
            with self.bounded("input", case, run):
                complete = run.rc == 0 and bool(state["cleared"])
                if outcome != "either":
                    self.assertEqual(complete, outcome == "rows", run)
                if complete and case.startswith("Otter"):
                    self.assertEqual(self.data(d).decode("ascii").split("\r\n", 1)[1], "".join(state["expectedRows"]))
                elif complete:  # every Marten run that completes writes the same file
                    ref = ref or self.data(d)
                    self.assertEqual(self.data(d), ref)
                else:
                    self.assertFalse(state["cleared"])
                    self.assertEqual(run.rc, 1, run)
                    self.assertTrue(run.boxes, "failed without a message")
                    if outcome == "port":
                        self.assertTrue(set(run.titles()) & {"Serial Port", "ERROR"}, run)
                    elif outcome != "either":
                        self.assertIn(outcome, " ".join(b.get("text", "")[:300] for b in run.boxes))

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
            d = self.newdir("heron-input")
            log = os.path.join(d, "requests.log")
            web = self.web(d, ["--interval", "720"], extra, ldate, probes)
            run = self.program(M.HERON, d)
            with self.bounded("input", "heron " + label, run):
                if outcome == "rows":
                    self.assertEqual(run.rc, 0, run)
                elif outcome != "either":
                    self.assertIn(outcome, " ".join(b.get("title", "") + " " + b.get("text", "") for b in run.boxes))
                if run.rc == 0 and os.path.exists(log) and os.path.getsize(log):
                    check_heron_files(self, web, d)
                elif run.rc in (1, 3):
                    self.assertTrue(run.boxes, "failed without a message")


def check_heron_files(test, web, d, failed_probes=()):
    """Files hold exactly the rows of every successful answer, in request order."""
    answers = [(int(q["target"].rsplit("probeid=", 1)[1]), q["target"]) for q in M.requests(d)]
    M.assert_files(test, web.path, os.path.join(d, "out"), [a for a in answers if a[0] not in failed_probes],
                   rows_each=False)


# ====================================================================== 5
# The close of a short chunked answer can reach the HTTP client with no
# bytes left to read; only the answer's own framing tells it was cut.
SHORT_CUT_TRIES = 6


class WebFaults(MatrixCase):
    """Heron against each fault of the stand-in service, and a proxy refusing the credentials."""

    def run_case(self, case, service_args, settings, expect_fail, failed_probes=(), probes="12\r\n7\r\n"):
        d = self.newdir("web")
        web = self.web(d, ["--interval", "360"] + service_args, "HttpTimeout=3\n" + settings, "01/11/2026", probes)
        start = (datetime.date.today() - datetime.timedelta(days=10)).strftime("%Y/%m/%d")
        run = self.program(M.HERON, d, answers=["Reload Data=" + start])
        with self.bounded("web", case, run):
            ldate_kept = b"LDate=01/11/2026" in M.read_bytes(os.path.join(d, "cfg", "kvr-probe", "NVA5.conf"))
            self.assertEqual((run.rc, ldate_kept), (1, True) if expect_fail else (0, False),
                             "a failed download must keep the start date, a complete one move it: %r" % run)
            if expect_fail:
                self.assertIn("could not be downloaded", run.texts())
            if not expect_fail or (failed_probes and os.path.exists(os.path.join(d, "requests.log"))):
                check_heron_files(self, web, d, failed_probes)

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
        # A short chunked answer whose connection closes halfway, tried a few
        # times since the order in which the close and the last bytes arrive
        # varies: every try must fail and keep the start date.
        cases += [("short answer cut halfway #%d" % i, ["--fault", "cut"], True, (12,)) for i in range(SHORT_CUT_TRIES)]
        for label, args, fail, failed in cases:
            self.run_case("web " + label, args, "ProxySetting=1\n", fail, failed,
                          "12\r\n" if label.startswith("short answer") else "12\r\n7\r\n")

    def test_proxy_refusing_credentials(self):
        port = self.proxy()
        for label, creds in [("wrong password", "ProxyUsername=user\nProxyPassword=wrong\n"),
                             ("no credentials", ""), ("right user, empty password", "ProxyUsername=user\n")]:
            self.run_case("web proxy " + label, [], creds + "ProxySetting=2\nProxyServer=127.0.0.1:%d\n" % port, True)


if __name__ == "__main__":
    unittest.main()
