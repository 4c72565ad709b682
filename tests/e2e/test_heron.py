"""End-to-end runs of heron in unattended mode against kvr-sim web.

Each test starts its own stand-in service (and proxy), runs the real heron
binary with a private settings folder and program folder, and compares what
heron wrote with rows rebuilt here from the service's own answer.
"""
import datetime, hashlib, http.server, os, re, resource, subprocess, sys, threading, unittest, urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_lib as M  # noqa: E402
from matrix_lib import DATA_HEADER, DUMP_HEADER, HERON, expected_rows  # noqa: E402


def day(offset, fmt="%Y/%m/%d"):
    return (datetime.date.today() + datetime.timedelta(days=offset)).strftime(fmt)


class Quiet(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in list(headers) + [("Content-Length", str(len(body)))]:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


class HeronRun(M.Case):
    def setUp(self):
        super().setUp()
        self.cert = None
        self.fresh()

    def fresh(self):
        """A new program folder, settings and request log: one per table row."""
        self.d = self.newdir("heron")
        self.app = os.path.join(self.d, "out")

    # ---------------------------------------------------------------- helpers

    def start_service(self, *args):
        self.url = self.sim(self.d, ["web", "--seed", "5", "--log", os.path.join(self.d, "requests.log"), *args],
                            "web").path
        return self.url.split("://")[1]

    def settings(self, **startup):
        self.conf(self.d, "KVR.conf", "[Startup]\n" + "".join(f"{k}={v}\n" for k, v in startup.items()))

    def probes(self, text):
        self.write(os.path.join(self.app, "Probes.cfg"), text)

    def setup(self, *args, probes="12\r\n", **startup):
        """A stand-in service started with args, the settings naming it, and Probes.cfg."""
        self.settings(DataServer=self.start_service(*args), **startup)
        self.probes(probes)

    def run_heron(self, *args, timeout=120, rc=None):
        run = self.program(HERON, self.d, *args, timeout=timeout, rc=rc)
        self.boxes = run.boxes
        return run

    def requests(self):
        return M.requests(self.d)
    def last_date(self):
        m = re.search(r"^LDate=(.*)$", (M.read_bytes(os.path.join(self.d, "cfg", "kvr-probe", "NVA5.conf")) or
                                        b"").decode(), re.M)
        return m and m.group(1)

    def read(self, *parts):
        return M.read_bytes(os.path.join(self.app, *parts)).decode("ascii")

    def check_files(self, answers):
        """answers: list of (probe, target) that heron fetched successfully, in order."""
        M.assert_files(self, self.url, self.app, answers, self.cert)

    def serve(self, handler):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server.server_address[1]

    def assert_small(self):
        """The largest program run so far peaked under 100 MB. The sanitizers keep freed
        memory in quarantine, so the figure only means something in a plain build."""
        peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        if os.environ.get("KVR_SANITIZED") != "1":
            self.assertLess(peak_kb, 100 * 1024, f"peak RSS {peak_kb} kB")

    def fdates(self):
        return [q["target"].split("fdate=")[1].split("&")[0] for q in self.requests()]

    # ---------------------------------------------------------------- tests

    def reload_probe_12(self, days=5):
        """Reload of probe 12 from `days` back: one request, files as answered."""
        self.probes("12\r\n")
        start = day(-days)
        self.run_heron("--answer", f"Reload Data={start}", rc=0)
        reqs = self.requests()
        self.assertEqual(len(reqs), 1)
        self.check_files([(12, reqs[0]["target"])])
        return reqs, start

    def test_three_probes_byte_exact(self):
        self.setup("--fault", "short-lines", "--fault-probe", "7", probes="12\r\n7, 1003\r\n", ProxySetting="1")
        start = day(-20)
        r = self.run_heron("--answer", f"Reload Data={start}", rc=0)
        self.assertEqual(self.boxes, [{"box": "input", "title": "Reload Data",
                                       "text": "Enter the date for which the probe data should be downloaded.",
                                       "answer": start}])
        tomorrow = day(1)
        targets = [f"/site/pull.ashx?fdate={start}&tdate={tomorrow}&probeid={p}" for p in (12, 7, 1003)]
        reqs = self.requests()
        self.assertEqual([q["target"] for q in reqs], targets)
        self.assertEqual([(q["method"], q.get("Content-Type"), q.get("Via")) for q in reqs],
                         [("GET", "multipart/form-data; boundary=AaB03x", None)] * 3)
        self.check_files(zip((12, 7, 1003), targets))
        self.assertEqual(self.last_date(), day(0, "%d/%m/%Y"))
        self.assertFalse({"WebProbeData.csv", "WebResponse.html"} & set(os.listdir(self.app)))  # no answer kept
        self.assertIn("Downloading probe 1003", r.stderr)

    def test_framings_cuts_and_redirects(self):
        # A self-signed certificate for the https rows, made here.
        self.cert, key = os.path.join(self.tmp, "cert.pem"), os.path.join(self.tmp, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", self.cert,
                        "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        tls = ["--cert", self.cert, "--key", key]
        # origin's options, a front service redirecting to it ("loop": to
        # itself), CaFile set, the probes that must fail and the error number.
        cases = [
            (["--framing", "length"], None, False, (), None),
            (["--framing", "close"], None, False, (), None),
            (["--framing", "length", "--fault", "gzip"], None, False, (), None),
            (["--framing", "close", "--fault", "reset"], None, False, (7,), 12030),
            (["--framing", "chunked", "--fault", "reset"], None, False, (7,), 12030),
            (["--framing", "close", "--fault", "cut-line"], None, False, (7,), 12030),
            (["--framing", "length", "--fault", "cut-line"], None, False, (7,), 12030),
            (["--framing", "chunked", "--fault", "cut-line"], None, False, (7,), 12030),
            (["--framing", "length", "--fault", "two-lengths"], None, False, (7,), 12152),
            (tls, "port", True, (), None),
            (tls, "port", False, (12, 7), 12175),
            ([], "loop", False, (12, 7), 12156),
        ]
        start, tomorrow = day(-5), day(1)
        for origin, front, trust, failing, error in cases:
            with self.subTest(origin=origin, front=front, trust=trust):
                self.fresh()
                host = self.start_service("--interval", "60", "--fault-probe", "7", *origin)
                if front:  # the files are checked against the origin's answers
                    redirect = self.sim(self.d, ["web", "--redirect", "self" if front == "loop" else self.url])
                    host = redirect.path.split("://")[1]
                self.settings(DataServer=host, **({"CaFile": self.cert} if trust else {}))
                self.probes("12\r\n7\r\n")
                self.run_heron("--answer", f"Reload Data={start}", rc=1 if failing else 0)
                if error:
                    self.assertTrue(self.boxes[1]["text"].startswith(
                        f"ERROR({error}): The HTTP server could not process the data. "), self.boxes)
                    self.assertIn(", ".join(map(str, failing)) + " could not be downloaded", self.boxes[-1]["text"])
                    self.assertIsNone(self.last_date())
                self.check_files([(p, f"/site/pull.ashx?fdate={start}&tdate={tomorrow}&probeid={p}")
                                  for p in (12, 7) if p not in failing])

    def test_digest_only_proxy(self):
        host = self.start_service()
        schemes = []

        def md5(text):
            return hashlib.md5(text.encode()).hexdigest()

        class Digest(Quiet):
            def do_GET(self):
                auth = self.headers.get("Proxy-Authorization", "")
                f = dict(re.findall(r'(\w+)="?([^",]*)"?', auth)) if auth.startswith("Digest ") else {}
                want = md5(":".join([md5("user:kvr:pass"), f.get("nonce", ""), f.get("nc", ""), f.get("cnonce", ""),
                                     f.get("qop", ""), md5("GET:" + f.get("uri", ""))]))
                uri = f.get("uri", "-")
                if (f.get("username"), f.get("response")) != ("user", want) or not self.path.endswith(uri):
                    schemes.append(auth.split(" ")[0])
                    return self.reply(407, b"", [("Proxy-Authenticate",
                                                  'Digest realm="kvr", nonce="n1", qop="auth", algorithm=MD5')])
                req = urllib.request.Request(self.path, headers={"Via": "1.1 digest-proxy"})
                with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(req, timeout=30) as a:
                    self.reply(a.status, a.read())

        port = self.serve(Digest)
        # The platform's per-scheme form; quoted, as ";" starts a comment.
        self.settings(DataServer=host, ProxySetting="2", ProxyUsername="user", ProxyPassword="pass",
                      ProxyServer=f"\"https=127.0.0.1:1;http=127.0.0.1:{port}\"")
        self.probes("12\r\n13\r\n")
        self.run_heron("--answer", "Reload Data=2014/05/01", rc=0)
        reqs = self.requests()
        self.assertEqual([q.get("Via") for q in reqs], ["1.1 digest-proxy"] * 2)
        self.check_files([(12, reqs[0]["target"]), (13, reqs[1]["target"])])
        # One challenge for the whole run (the scheme is then answered at
        # once), and never a Basic try.
        self.assertEqual(schemes, [""])

    def test_redirects_are_followed_and_their_pages_not_stored(self):
        service = self.start_service("--interval", "1440")

        class Redirect(Quiet):
            def do_GET(self):
                # /site/... -> /hop/site/... here -> the service.
                hop = self.path.startswith("/hop")
                self.reply(302 if hop else 301, b"moved",
                           [("Location", "http://" + service + self.path[4:] if hop else "/hop" + self.path)])

        self.settings(DataServer="127.0.0.1:%d" % self.serve(Redirect))
        self.reload_probe_12()

    def test_dump_data_starts_a_year_back_without_a_last_date(self):
        # Unattended, and by the window's own path: the menu's button starts the run on a
        # worker thread with the download window, and the finished run ends the program.
        for window in (False, True):
            with self.subTest(window=window):
                self.fresh()
                self.setup("--interval", "1440", probes="3\r\n")
                self.program(HERON, self.d, *(["--press", "Dump Data"] if window else []), unattended=not window,
                             timeout=120, rc=0)
                target = self.requests()[0]["target"]
                self.assertTrue(target.startswith(f"/site/pull.ashx?fdate={day(-365)}&tdate="), target)
                self.check_files([(3, target)])
                self.assertEqual(self.last_date(), day(0, "%d/%m/%Y"))
        self.probes("")  # unattended, nothing to fetch is a failure
        self.run_heron(rc=1)

    def test_404_for_one_probe_keeps_the_last_date_and_the_next_run_fetches_what_was_missed(self):
        # The failing probe last: its answer stays on disk.
        self.setup("--fault", "404", "--fault-probe", "7", probes="12\r\n13\r\n7\r\n", ProxySetting="1")
        today, last = day(0, "%d/%m/%Y"), day(-10, "%d/%m/%Y")
        self.conf(self.d, "NVA5.conf", f"[Startup]\nLDate={last}\n")
        self.run_heron(rc=1)
        self.assertEqual(self.boxes[0], {
            "box": "question", "title": "ERROR", "answer": "No",
            "text": "ERROR(404): The web server could not process the data. Not Found\r\r"
                    "Do you want to view the web response?"})
        self.assertEqual([b["title"] for b in self.boxes], ["ERROR", "ERROR"])
        self.assertIn("probe 7 could not be downloaded", self.boxes[1]["text"])
        self.assertEqual((self.last_date(), self.fdates()), (last, [last] * 3))
        first = [q["target"] for q in self.requests()][:2]
        self.check_files([(12, first[0]), (13, first[1])])  # our own fetches are logged too
        self.assertIn("404 from the stand-in service", self.read("WebResponse.html"))
        # The same readings without the fault: the probes answered before are
        # asked from today on, the failed one from the kept date.
        self.settings(DataServer=self.start_service(), ProxySetting="1")
        self.run_heron(rc=0)
        self.assertEqual(self.fdates()[5:], [today, today, last])
        targets = first + [q["target"] for q in self.requests()][5:]
        rows = [expected_rows(M.fetch(self.url + t, self.cert), p) for t, p in zip(targets, (12, 13, 12, 13, 7))]
        self.assertLess(len(rows[2][0]), len(rows[0][0]) / 5)
        self.assertEqual(self.read("KVR Dumps", "Dump00.csv").split("\r\n", 1)[1],
                         DUMP_HEADER + "".join(sum((r[0] for r in rows[2:]), [])))
        self.assertEqual(self.read("KVR Probe Data.csv"), DATA_HEADER + "".join(sum((r[1] for r in rows), [])))
        self.assertEqual(self.last_date(), today)

    def test_failed_requests_end_promptly_with_their_error(self):
        cases = [
            # service options (None: nothing listens), settings, probes, answers, error number, index of its
            # box, the boxes' titles (None: unchecked), closing text (None: unchecked)
            (None, {}, "12\r\n13\r\n", (), 12029, 0, ["ERROR"] * 3, "probes 12, 13 could not be downloaded"),
            (["--fault", "hang"], {"HttpTimeout": "2"}, "12\r\n", (), 12002, 0, None, None),
            (["--fault", "cut", "--interval", "60"], {}, "12\r\n", ("--answer", "Reload Data=2014/05/01"), 12030, 1,
             ["Reload Data", "ERROR", "ERROR"], "probe 12 could not be downloaded"),
        ]
        for service, startup, probes, answers, error, at, titles, closing in cases:
            with self.subTest(error=error):
                self.fresh()
                host = f"127.0.0.1:{M.free_port()}" if service is None else self.start_service(*service)
                self.settings(DataServer=host, **startup)
                self.probes(probes)
                run = self.run_heron(*answers, timeout=60, rc=1)
                self.assertLess(run.elapsed, 20)
                self.assertEqual(self.boxes[at]["box"], "question")
                self.assertTrue(self.boxes[at]["text"].startswith(
                    f"ERROR({error}): The HTTP server could not process the data. "), self.boxes)
                if titles:
                    self.assertEqual([b["title"] for b in self.boxes], titles)
                if closing:
                    self.assertIn(closing, self.boxes[-1]["text"])
                self.assertEqual((self.last_date(), os.path.exists(os.path.join(self.app, "WebProbeData.csv"))),
                                 (None, False))

    def test_slow_answer_that_keeps_coming_is_not_cut(self):
        # The time limit counts silence, not the whole answer: lines 0.7 s
        # apart over about 4 s must pass a 2-second limit.
        self.setup("--fault", "trickle", "--trickle-ms", "700", "--interval", "1440", HttpTimeout="2")
        run = self.run_heron("--answer", f"Reload Data={day(-4)}", timeout=60, rc=0)
        self.assertGreater(run.elapsed, 2.5)
        self.check_files([(12, self.requests()[0]["target"])])

    def test_huge_answer_and_line_in_bounded_memory(self):
        # An answer of 300 MB is streamed to disk; a line of 100 MB is skipped.
        for fault, mb in (("huge", "300"), ("long-line", "100")):
            with self.subTest(fault):
                self.fresh()
                self.setup("--fault", fault, "--huge-mb", mb, "--interval", "1440")
                self.run_heron("--answer", "Reload Data=2014/05/01", timeout=300, rc=0)
                self.assert_small()
                if fault == "huge":
                    self.assertGreater(self.read("KVR Dumps", "Dump00.csv").count("\r\n12,"), 4000)
                    self.assertFalse(os.path.exists(os.path.join(self.app, "WebProbeData.csv")))
                else:
                    self.assertEqual(self.boxes[-1]["text"],
                                     "1 answer line was longer than 64 KB and skipped as malformed.")
                    self.start_service("--interval", "1440")  # the same readings without the long line
                    self.check_files([(12, self.requests()[0]["target"])])

    def test_dump_history_opens_a_200000_row_dump_quickly_in_little_memory(self):
        os.makedirs(os.path.join(self.app, "KVR Dumps"))
        row = "12,  100 ,2014/05/21 13:45:00" + ",21.50" * 13 + ",3.7,1,9\r\n"
        self.write(os.path.join(self.app, "KVR Dumps", "Dump00.csv"),
                   "Date - 21/05/2014 13:45\r\n" + DUMP_HEADER + row * 200000)
        shots = os.path.join(self.tmp, "shots")
        run = self.program(HERON, self.d, "--screenshots", shots, unattended=False, timeout=120, rc=0)
        self.assertTrue(os.path.exists(os.path.join(shots, "history.png")))
        # Every window is opened here; the history's own share is in docs/PERFORMANCE.md.
        self.assert_small()
        if os.environ.get("KVR_SANITIZED") != "1":
            self.assertLess(run.elapsed, 10)

    def test_proxy_with_credentials(self):
        plog = os.path.join(self.tmp, "tinyproxy.log")
        proxy = dict(DataServer=self.start_service(), ProxySetting="2", ProxyServer=f"127.0.0.1:{self.proxy(log=plog)}",
                     ProxyUsername="user", ProxyPassword="pass")
        self.settings(**proxy)
        reqs, start = self.reload_probe_12()
        self.assertIn("tinyproxy", reqs[0].get("Via", ""))
        self.assertIn(b"pull.ashx", M.read_bytes(plog))
        # A bypassed host goes direct although the proxy is configured (quoted:
        # an unquoted ";" starts a comment in the settings file).
        self.settings(**proxy, ProxyBypass="\"localhost;127.0.0.*\"")
        self.run_heron("--answer", f"Reload Data={start}", rc=0)
        # heron through the proxy, our own fetch, heron direct
        self.assertEqual(["Via" in q for q in self.requests()], [True, False, False])


if __name__ == "__main__":
    unittest.main()
