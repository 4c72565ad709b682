"""Harness of the fault-injection matrix: runs the real programs unattended
against kvr-sim devices, bounds every run in time, records each case in a
ledger (JSON lines) and turns the ledger into docs/RELIABILITY.md.

Used by test_matrix.py and by scripts/matrix (`python3 matrix_lib.py report`).
"""

import contextlib
import glob
import json
import os
import re
import resource
import signal
import subprocess
import sys
import time

BUILD = os.environ.get("KVR_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("KVR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SIM = os.path.join(BUILD, "sim", "kvr-sim")
MARTEN = os.path.join(BUILD, "apps", "marten", "marten")
OTTER = os.path.join(BUILD, "apps", "otter", "otter")
HERON = os.path.join(BUILD, "apps", "heron", "heron")
LONG = os.environ.get("KVR_LONG", "") not in ("", "0")
WORKERS = int(os.environ.get("KVR_MATRIX_JOBS", "3"))
RUN_LIMIT = 60  # seconds a single program run may take before it counts as hung

# A run with a file-size limit: the kernel refuses writes past the limit
# (EFBIG) instead of killing the program, which is how a full disk looks.
FSIZE_WRAPPER = (
    "import os, resource, signal, sys\n"
    "n = int(sys.argv[1])\n"
    "resource.setrlimit(resource.RLIMIT_FSIZE, (n, n))\n"
    "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
    "os.execv(sys.argv[2], sys.argv[2:])\n")


def fsize_limited(limit, argv):
    return [sys.executable, "-c", FSIZE_WRAPPER, str(limit)] + list(argv)


class Ledger:
    """One JSON line per fault case; scripts/matrix points KVR_MATRIX_LEDGER at a file."""

    def __init__(self):
        self.path = os.environ.get("KVR_MATRIX_LEDGER")

    def note(self, kind, case, crashed=False, hung=False, lost=0, wrong=0, ok=True, **extra):
        if not self.path:
            return
        entry = {"kind": kind, "case": case, "crashed": crashed, "hung": hung, "lost": lost, "wrong": wrong, "ok": ok}
        entry.update(extra)
        with open(self.path, "a") as f:
            f.write(json.dumps(entry) + "\n")


LEDGER = Ledger()


@contextlib.contextmanager
def noted(kind, case, run, crashed=None, hung=None, **extra):
    """Records the case in the ledger, failed unless the block ran to its end;
    the block may add entries (lost, wrong, ...) to the dict it is given."""
    done = []
    try:
        yield extra
        done.append(True)
    finally:
        LEDGER.note(kind, case, run.crashed if crashed is None else crashed, run.hung if hung is None else hung,
                    ok=bool(done), **extra)


class Sim:
    """One kvr-sim device; stop() ends it by its own pid and returns its state."""

    def __init__(self, tmp, name, args):
        self.state_file = os.path.join(tmp, name + ".state.json")
        state = [] if args[0] == "web" else ["--state", self.state_file]  # the web service keeps no state
        self.proc = subprocess.Popen([SIM] + args[:1] + state + args[1:],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not (self.path.startswith("/") or self.path.startswith("http://")):
            self.kill()
            raise RuntimeError("kvr-sim did not start: %r" % self.path)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self.proc.stdout.closed:
            self.proc.stdout.close()

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


class Run:
    """Outcome of one program run."""

    def __init__(self, rc, stdout, stderr, hung):
        self.rc = rc
        self.stderr = stderr
        self.hung = hung
        self.crashed = rc is not None and rc < 0
        self.boxes = []
        for line in stdout.splitlines():
            if line.startswith('{"box"'):  # not the closing {"result": ...} line
                try:
                    self.boxes.append(json.loads(line))
                except ValueError:
                    self.boxes.append({"box": "?", "title": "?", "text": line})

    def titles(self):
        return [b.get("title") for b in self.boxes]

    def __repr__(self):
        return "rc=%r hung=%r boxes=%r stderr=%r" % (self.rc, self.hung, self.boxes, self.stderr[-800:])


def run_program(argv, env, timeout=RUN_LIMIT, kill_after=None):
    """Runs argv; a run past the time limit is killed (by its pid) and marked hung.
    kill_after: seconds after which the run is ended with SIGKILL on purpose."""
    p = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        out, err = p.communicate(timeout=kill_after or timeout)
        hung = False
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        hung = kill_after is None
    return Run(None if hung else p.returncode, out.decode("utf-8", "replace"),
               err.decode("utf-8", "replace"), hung)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
        return None


def rows(blob, header_lines=1):
    """The rows after the header lines, each with its CR LF; None when the file is missing."""
    if blob is None:
        return None
    parts = blob.split(b"\r\n")
    tail = parts[-1]  # text after the last CR LF: a partial line when not empty
    body = [p + b"\r\n" for p in parts[header_lines:-1]]
    return body, tail


def remove_blockers(folder):
    """Takes away a folder where the running file belongs and a file where the dump folder belongs."""
    data = os.path.join(folder, "KVR Probe Data.csv")
    if os.path.isdir(data):
        os.rmdir(data)
    dumps = os.path.join(folder, "KVR Dumps")
    if os.path.isfile(dumps):
        os.remove(dumps)


HEADER_STARTS = (b"Probe", b"Date - ")
MARKER_STARTS = (b"! ", b"? ")


def bad_lines(blob, fields):
    """Lines of a probe data file that are neither a header, a marker nor a
    whole row of `fields` fields, or that lack their CR LF."""
    if blob is None:
        return []
    parts = blob.split(b"\r\n")
    bad = [parts[-1]] if parts[-1] else []
    for line in parts[:-1]:
        if b"\r" in line or b"\n" in line:
            bad.append(line)
        elif not line.startswith(HEADER_STARTS + MARKER_STARTS) and line.count(b",") + 1 != fields:
            bad.append(line)
    return bad


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
            cases = [json.loads(l) for l in f if l.strip()]
    kinds = {}
    for c in cases:
        k = kinds.setdefault(c["kind"], {"cases": 0, "lost": 0, "wrong": 0, "crashed": 0, "hung": 0, "failed": 0,
                                         "completed": 0, "faults": 0})
        k["cases"] += 1
        k["completed"] += int(c.get("completed", False))
        k["faults"] += sum(c.get("applied", {}).values())
        k["lost"] += c["lost"]
        k["wrong"] += c["wrong"]
        k["crashed"] += int(c["crashed"])
        k["hung"] += int(c["hung"])
        k["failed"] += int(not c["ok"])
    total = {f: sum(k[f] for k in kinds.values()) for f in ("cases", "lost", "wrong", "crashed", "hung", "failed")}
    lines = [
        "# Reliability",
        "",
        "Produced by `scripts/matrix%s` (fault-injection matrix, `tests/e2e/test_matrix.py`): the real"
        % (" --long" if mode == "long" else ""),
        "programs run unattended against `kvr-sim` devices and the stand-in web service",
        "with faults injected, and every case checks the files byte for byte and the",
        "device's own record of what it was told (cleared or not).",
        "",
        "Run: %s, %s mode. Result: %s" % (time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), mode, result_line),
        "",
        "| Fault kind | Cases | Device cleared | Faults injected | Readings lost | Wrong rows | Crashes | Hangs"
        " | Failed checks |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for name in sorted(kinds):
        k = kinds[name]
        lines.append("| %s | %d | %d | %d | %d | %d | %d | %d | %d |" % (
            name, k["cases"], k["completed"], k["faults"], k["lost"], k["wrong"], k["crashed"], k["hung"],
            k["failed"]))
    lines.append("| **total** | %d | | | %d | %d | %d | %d | %d |" % (
        total["cases"], total["lost"], total["wrong"], total["crashed"], total["hung"], total["failed"]))
    lines += [
        "",
        "- *Device cleared*: serial cases whose run completed (then its rows must equal the",
        "  clean run's); the others must have stopped cleanly, the device keeping its",
        "  readings. *Faults injected*: as counted by the simulator (silent, broken",
        "  checks, noisy answers, cut streams, ...).",
        "- *Readings lost*: readings a device no longer holds (it was cleared) that are",
        "  not in the files. Must be 0.",
        "- *Wrong rows*: rows in a file that a clean run of the same device does not",
        "  write, or written twice. Must be 0.",
        "- *Crashes*: runs ended by a signal. *Hangs*: runs still going after %d s. Must be 0." % RUN_LIMIT,
        "- *Failed checks*: cases whose expected outcome (exit status, message naming the",
        "  file, device left uncleared) was not met; each is listed by the test run.",
        "",
        "Kinds: `cut-*` the link goes silent after k exchanges (status, each phase of the",
        "download, set clock, clear); `noise-*` noise bytes, broken checks and wrong",
        "echoes at about 1 % and 10 % of exchanges; `write-*` an unwritable data file, a",
        "dump folder that is a file, a full disk (file-size limit); `input-*` malformed",
        "Otter.cfg / Probes.cfg and garbage settings; `web-*` every fault of the stand-in",
        "web service and a proxy refusing the credentials. Every `write-*` case is followed by a",
        "clean run on the same folder, whose files are checked line by line (each line ends in",
        "CR LF and is a header, a marker or a whole row; the union of rows is a clean run's);",
        "`kill-*` the program is killed (SIGKILL) at a random moment of its download, then a",
        "clean run follows with the same checks; `pair-*` two runs started together on one",
        "folder (one header, both runs' rows, one dump file each); `ring-*` status counts that",
        "disagree with the ring (smaller, larger, zero), reloads past the ring and pointers",
        "outside it; `chatty-*` a port that sends a text line every 100 ms and never a frame.",
    ]
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
