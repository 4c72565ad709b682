"""Harness of the end-to-end tests and the fault-injection matrix: runs the real
programs unattended against kvr-sim devices and the stand-in web service, bounds
every run in time, rebuilds Heron's rows from the service's own answers, records
each matrix case in a ledger (JSON lines) and turns the ledger into
docs/RELIABILITY.md (scripts/matrix runs `python3 matrix_lib.py report`).
"""

import concurrent.futures, contextlib, datetime, glob, gzip, itertools, json, os, re, shutil, signal, socket, ssl
import subprocess, sys, tempfile, time, unittest, urllib.request
from decimal import Decimal, ROUND_HALF_UP

BUILD = os.environ.get("KVR_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("KVR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SIM, MARTEN, OTTER, HERON, OSPREY = (os.path.join(BUILD, p) for p in (
    "sim/kvr-sim", "apps/marten/marten", "apps/otter/otter", "apps/heron/heron", "apps/osprey/osprey"))
LONG = os.environ.get("KVR_LONG", "") not in ("", "0")
WORKERS = int(os.environ.get("KVR_MATRIX_JOBS", "3"))
RUN_LIMIT = 60  # seconds a single program run may take before it counts as hung
DUMP_HEADER = ("Probe ,RecNo,Date                               ,T1,SM1,T2,SM2,T3,SM3,T4,SM4,T5,SM5,T6,SM6,"
               "Temp,Volts,PwrFail\r\n")
DATA_HEADER = ("Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,Temp5,"
               "Water%5,Temp6,Water%6,Volts\r\n")

# A run with a file-size limit: the kernel refuses writes past the limit
# (EFBIG) instead of killing the program, which is how a full disk looks.
FSIZE_WRAPPER = ("import os, resource, signal, sys; n = int(sys.argv[1]); resource.setrlimit(resource.RLIMIT_FSIZE, "
                 "(n, n)); signal.signal(signal.SIGXFSZ, signal.SIG_IGN); os.execv(sys.argv[2], sys.argv[2:])")


def fsize_limited(limit):
    return lambda argv: [sys.executable, "-c", FSIZE_WRAPPER, str(limit)] + list(argv)


@contextlib.contextmanager
def noted(kind, case, run, crashed=None, hung=None, **extra):
    """Records the case in the ledger (KVR_MATRIX_LEDGER, one JSON line each), failed
    unless the block ran to its end; the block may add entries (lost, wrong, ...)."""
    entry = {"kind": kind, "case": case, "crashed": run.crashed if crashed is None else crashed,
             "hung": run.hung if hung is None else hung, "lost": 0, "wrong": 0, "ok": False}
    entry.update(extra)
    try:
        yield entry
        entry["ok"] = True
    finally:
        if os.environ.get("KVR_MATRIX_LEDGER"):
            with open(os.environ["KVR_MATRIX_LEDGER"], "a") as f:
                f.write(json.dumps(entry) + "\n")


class Sim:
    """One kvr-sim device or web service; kill() ends it by its own pid, stop() also returns its state."""

    def __init__(self, tmp, name, args):
        self.state_file = os.path.join(tmp, name + ".state.json")
        state = [] if args[0] == "web" else ["--state", self.state_file]  # the web service keeps no state
        self.proc = subprocess.Popen([SIM] + args[:1] + state + args[1:],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not re.match(r"/|https?://127\.0\.0\.1:\d+$", self.path):
            self.kill()
            raise RuntimeError("kvr-sim did not start: %r" % self.path)

    def kill(self):
        stop(self.proc)
        self.proc.stdout.close()

    def stop(self):
        self.kill()
        with open(self.state_file) as f:
            return json.load(f)


def stop(proc):
    """SIGTERM, then SIGKILL after 10 s."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Run:
    """Outcome of one program run: exit status, message boxes, result lines."""

    def __init__(self, rc, stdout, stderr, hung, elapsed):
        self.rc, self.stdout, self.stderr, self.hung, self.elapsed = rc, stdout, stderr, hung, elapsed
        self.crashed = rc is not None and rc < 0
        self.boxes, self.results = [], []
        for line in stdout.splitlines():
            if line.startswith('{"box"'):
                try:
                    self.boxes.append(json.loads(line))
                except ValueError:
                    self.boxes.append({"box": "?", "title": "?", "text": line})
            elif line.startswith('{"result"'):
                self.results.append(json.loads(line)["result"])

    def titles(self):
        return [b.get("title") for b in self.boxes]

    def texts(self):
        return " ".join(b.get("text", "") for b in self.boxes)

    def __repr__(self):
        return "rc=%r hung=%r boxes=%r stderr=%r" % (self.rc, self.hung, self.boxes, self.stderr[-800:])


def run_program(argv, env, timeout=RUN_LIMIT, kill_after=None, grown=None):
    """Runs argv; a run past the time limit is killed (by its pid) and marked hung.
    kill_after: seconds after which the run is ended with SIGKILL on purpose."""
    # With grown, those seconds count from when the file grown[0] first holds more than grown[1] bytes.
    t0 = time.monotonic()
    p = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while grown and p.poll() is None and time.monotonic() - t0 < timeout \
            and len(read_bytes(grown[0]) or "") <= grown[1]:
        time.sleep(0.005)
    try:
        out, err = p.communicate(timeout=kill_after or timeout)
        hung = False
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        hung = kill_after is None
    return Run(None if hung else p.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"),
               hung, time.monotonic() - t0)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
        return None


def rows(blob, header_lines=1):
    """(the rows after the header lines, each with its CR LF; the text after the
    last CR LF, a partial line when not empty); None when the file is missing."""
    if blob is None:
        return None
    parts = blob.split(b"\r\n")
    return [p + b"\r\n" for p in parts[header_lines:-1]], parts[-1]


def remove_blockers(folder):
    """Takes away a folder where the running file belongs and a file where the dump folder belongs."""
    data, dumps = os.path.join(folder, "KVR Probe Data.csv"), os.path.join(folder, "KVR Dumps")
    if os.path.isdir(data):
        os.rmdir(data)
    if os.path.isfile(dumps):
        os.remove(dumps)


def bad_lines(blob, fields):
    """Lines of a probe data file that are neither a header, a marker nor a
    whole row of `fields` fields, or that lack their CR LF."""
    if blob is None:
        return []
    parts = blob.split(b"\r\n")
    bad = [parts[-1]] if parts[-1] else []
    for line in parts[:-1]:
        if b"\r" in line or b"\n" in line or (not line.startswith((b"Probe", b"Date - ", b"! ", b"? "))
                                              and line.count(b",") + 1 != fields):
            bad.append(line)
    return bad


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ------------------------------------------------------------------ Heron's rows, rebuilt from an answer

NUMBER = re.compile(r"\s*([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)")


def leading(text):
    m = NUMBER.match(text)
    return Decimal(m.group(1)) if m else Decimal(0)


def fixed(value, decimals, int_digits=1):
    q = value.quantize(Decimal(1).scaleb(-decimals), rounding=ROUND_HALF_UP)
    sign = "-" if q < 0 else ""
    whole, _, frac = f"{abs(q):f}".partition(".")
    return sign + whole.rjust(int_digits, "0") + ("." + frac if decimals else "")


def expected_rows(body, probe):
    """The dump and running-file rows heron must write for one answer."""
    dump, data = [], []
    for line in re.split(r"\r\n|\r|\n", body):
        f = line.split(",")
        if len(f) < 18 or round(leading(f[0])) != probe or probe < 1:
            continue
        # dd/mm/yyyy hh:mm
        when = datetime.datetime(*(int(leading(f[2][a:b])) for a, b in ((6, 10), (3, 5), (0, 2), (11, 13), (14, 16))))
        stamp = when.strftime("%Y/%m/%d %H:%M:%S")
        rec = int(round(leading(f[1])))
        rec_field = f" {rec} " if rec >= 0 else f"{rec} "
        vals = [leading(x) for x in f[3:17]]
        power_failed = "1" if f[17].upper() == "FALSE)" else "0"
        count = int(round(leading(f[18]))) if len(f) >= 19 else 0
        dump.append(f"{probe}, {rec_field},{stamp}" + "".join("," + fixed(v, 2) for v in vals[:13])
                    + f",{fixed(vals[13], 1)},{power_failed},{count or ''}\r\n")
        data.append(f"{probe:05d}, {stamp}" + "".join(f", {fixed(vals[2 * i], 1, 2)}, {fixed(vals[2 * i + 1], 2, 3)}"
                                                      for i in range(6)) + f",{fixed(vals[13], 1)}\r\n")
    return dump, data


def fetch(url, cafile=None):
    context = ssl.create_default_context(cafile=cafile) if url.startswith("https") else None
    with urllib.request.urlopen(url, timeout=30, context=context) as r:
        body = r.read()
        return (gzip.decompress(body) if r.headers.get("Content-Encoding") == "gzip" else body).decode("ascii")


def requests(d):
    """The requests the web service of folder d logged, in order."""
    with open(os.path.join(d, "requests.log"), encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def assert_files(test, url, app, answers, cafile=None, rows_each=True):
    """answers: (probe, target) of every request answered, in order; the dump and
    the running file hold exactly their rows (each has some when rows_each)."""
    dump, data = [], []
    for probe, target in answers:
        d, r = expected_rows(fetch(url + target, cafile), probe)
        test.assertTrue(d or not rows_each, f"no rows for probe {probe}")
        dump += d
        data += r
    first, _, rest = read_bytes(os.path.join(app, "KVR Dumps", "Dump00.csv")).decode("ascii").partition("\r\n")
    test.assertRegex(first, r"^Date - \d\d/\d\d/\d{4} \d\d:\d\d$")
    test.assertEqual(rest, DUMP_HEADER + "".join(dump))
    test.assertEqual(read_bytes(os.path.join(app, "KVR Probe Data.csv")).decode("ascii"), DATA_HEADER + "".join(data))


# ------------------------------------------------------------------ the tests' common fixture

class Case(unittest.TestCase):
    """Folders of its own per test; devices, services and proxies it starts are ended by their pid."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kvr_e2e_")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.sims, self.n = [], itertools.count(1)
        self.addCleanup(lambda: [s.kill() for s in self.sims])

    def newdir(self, name="run"):
        """d/cfg/kvr-probe holds the settings, d/out is the program folder."""
        d = os.path.join(self.tmp, "%03d-%s" % (next(self.n), name))
        os.makedirs(os.path.join(d, "cfg", "kvr-probe"))
        os.makedirs(os.path.join(d, "out"))
        return d

    def sim(self, d, args, name="sim"):
        self.sims.append(Sim(d, name, args))
        return self.sims[-1]

    @staticmethod
    def env(d):
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(d, "cfg"), QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        return env

    @staticmethod
    def write(path, data):
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)

    def conf(self, d, name, text):
        self.write(os.path.join(d, "cfg", "kvr-probe", name), text)

    @staticmethod
    def data(d):
        return read_bytes(os.path.join(d, "out", "KVR Probe Data.csv"))

    @staticmethod
    def dump(d, n=0):
        return read_bytes(os.path.join(d, "out", "KVR Dumps", "Dump%02d.csv" % n))

    @staticmethod
    def parallel(fn, items):
        """fn over items, a few at a time: the runs mostly wait on time limits, not the CPU."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as pool:
            return list(pool.map(fn, items))

    def program(self, exe, d, *args, answers=(), out=None, wrap=None, unattended=True, rc=None, **limits):
        """One run of a program on folder d/out (or out) with d's settings."""
        cmd = [exe] + ["--unattended"] * unattended + ["--folder", out or os.path.join(d, "out"), *args]
        cmd += sum((["--answer", a] for a in answers), [])
        run = run_program(wrap(cmd) if wrap else cmd, self.env(d), **limits)
        if rc is not None:
            self.assertEqual(run.rc, rc, run)
        return run

    def serial_run(self, prog, d, ports, speed, answers=None, startup=None, cfg=None, dump_folder=None, args=(), **kw):
        """ports: a device path (Marten's COM3, Otter's COM1) or {number: path};
        speed: Marten's option ("0", "1") or Otter's baud rate; startup: Marten's
        NVA5.conf Startup lines, else port 3 at that speed; cfg: Otter.cfg's bytes."""
        marten = prog == "marten"
        ports = ports if isinstance(ports, dict) else {3 if marten else 1: ports}
        self.conf(d, "KVR.conf", "[Ports]\n" + "".join("COM%d=%s\n" % p for p in ports.items()))
        if marten:
            self.conf(d, "NVA5.conf", "[Startup]\n" + (startup or "Port=3\nSpeed=%s\n" % speed))
        else:
            self.write(os.path.join(kw.get("out") or os.path.join(d, "out"), "Otter.cfg"),
                       cfg or "Coms port = 1\r\nBaud rate = %s\r\nScan rate = 0\r\nDump folder =%s\r\n2nd port = 0\r\n"
                       % (speed, " " + dump_folder if dump_folder else ""))
        if answers is None:
            answers = ("No Comms=0",) if marten else ("SET DATE=Yes",)
        return self.program(MARTEN if marten else OTTER, d, *args, answers=answers, **kw)

    def device_run(self, prog, sim_args, speed, d=None, **kw):
        """One run of prog against a kvr-sim device started with sim_args, on folder d
        (a new one when None): (folder, Run, the device's state once stopped)."""
        d = d or self.newdir(prog)
        s = self.sim(d, sim_args)
        run = self.serial_run(prog, d, s.path, speed, **kw)
        return d, run, s.stop()

    def web(self, d, args=(), settings="", ldate=None, probes="12\r\n"):
        """A stand-in service logging to d/requests.log, heron's settings naming it, and Probes.cfg."""
        web = self.sim(d, ["web", "--seed", "5", "--log", os.path.join(d, "requests.log"), *args], "web")
        self.conf(d, "KVR.conf", "[Startup]\nDataServer=%s\n%s" % (web.path.split("://")[1], settings))
        if ldate is not None:
            self.conf(d, "NVA5.conf", "[Startup]\nLDate=%s\n" % ldate)
        self.write(os.path.join(d, "out", "Probes.cfg"), probes)
        return web

    def proxy(self, log=None):
        """A tinyproxy on a free port asking for user "user", password "pass"; its port."""
        port = free_port()
        conf = os.path.join(self.tmp, "tinyproxy-%d.conf" % port)
        self.write(conf, "Port %d\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nBasicAuth user pass\n%s" % (
            port, 'LogFile "%s"\nLogLevel Info\n' % log if log else "LogLevel Critical\n"))
        proc = subprocess.Popen([shutil.which("tinyproxy") or "/usr/bin/tinyproxy", "-d", "-c", conf],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop, proc)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:  # until it listens
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        return port


# ------------------------------------------------------------------ report

def fuzz_counts(source):
    """Target -> [executions, executions per second] of the last scripts/fuzz run."""
    counts = {}
    for log in sorted(glob.glob(os.path.join(source, "build-fuzz", "*.log"))):
        name = os.path.splitext(os.path.basename(log))[0]
        with open(log, errors="replace") as f:
            for line in f:
                m = re.search(r"stat::(number_of_executed_units|average_exec_per_sec):\s*(\d+)", line)
                if m:
                    counts.setdefault(name, [0, 0])[m.group(1) == "average_exec_per_sec"] = int(m.group(2))
    return counts


def report(ledger_path, out_path, source, mode, result_line):
    cases = []
    if os.path.exists(ledger_path):
        with open(ledger_path) as f:
            cases = [json.loads(line) for line in f if line.strip()]
    fields = ("cases", "completed", "faults", "lost", "wrong", "crashed", "hung", "failed")
    kinds = {}
    for c in cases:
        k = kinds.setdefault(c["kind"], dict.fromkeys(fields, 0))
        for f, v in zip(fields, (1, c.get("completed", False), sum(c.get("applied", {}).values()), c["lost"],
                                 c["wrong"], c["crashed"], c["hung"], not c["ok"])):
            k[f] += int(v)
    total = {f: sum(k[f] for k in kinds.values()) for f in fields}
    lines = ["# Reliability", "", "Produced by `scripts/matrix%s` (fault-injection matrix, `tests/e2e/test_matrix.py`):"
             " the real\nprograms run unattended against `kvr-sim` devices and the stand-in web service\nwith faults "
             "injected, and every case checks the files byte for byte and the\ndevice's own record of what it was told "
             "(cleared or not)." % (" --long" if mode == "long" else ""), "",
             "Run: %s, %s mode. Result: %s" % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), mode, result_line),
             "", "| Fault kind | Cases | Device cleared | Faults injected | Readings lost | Wrong rows | Crashes "
             "| Hangs | Failed checks |", "|---|---|---|---|---|---|---|---|---|"]
    lines += ["| %s | %s |" % (name, " | ".join(str(kinds[name][f]) for f in fields)) for name in sorted(kinds)]
    lines += ["| **total** | %d | | | %s |" % (total["cases"], " | ".join(str(total[f]) for f in fields[3:])), "",
              "Columns and fault kinds: see [matrix.md](matrix.md). Readings lost, wrong rows, crashes\n(runs ended by "
              "a signal), hangs (runs still going after %d s) and failed checks must all be 0." % RUN_LIMIT]
    fuzz = fuzz_counts(source)
    if fuzz:
        lines += ["", "## Fuzzing (last `scripts/fuzz` run)", "", "| Target | Executions | Per second |",
                  "|---|---|---|"]
        lines += ["| %s | %d | %d |" % (n, c[0], c[1]) for n, c in sorted(fuzz.items())]
    with open(out_path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    if len(sys.argv) == 7 and sys.argv[1] == "report":
        report(*sys.argv[2:])
    else:
        sys.exit("usage: matrix_lib.py report LEDGER OUT.md SOURCE_DIR MODE RESULT")
