"""Osprey headless: Marten downloads from the simulated probe server, then
osprey --png renders one probe's charts without a display."""

import os
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from matrix_lib import BUILD, SIM, MARTEN  # noqa: E402
OSPREY = os.path.join(BUILD, "apps", "osprey", "osprey")
# Depth 1 to 6 as the charts draw them.
DEPTH_COLOURS = [(0xd7, 0x30, 0x1f), (0xf4, 0x8a, 0x2b), (0xc9, 0xa8, 0x00),
                 (0x4d, 0xa8, 0x4a), (0x2b, 0x7b, 0xba), (0x5e, 0x3c, 0x99)]


def png_pixels(blob):
    """Width, height and RGB rows of an 8-bit RGB or RGBA PNG (a small decoder
    of our own, so the check needs nothing from the program under test)."""
    assert blob[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(blob):
        size, kind = struct.unpack(">I4s", blob[pos:pos + 8])
        body = blob[pos + 8:pos + 8 + size]
        if kind == b"IHDR":
            w, h, depth, ctype = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + size
    assert depth == 8 and ctype in (2, 6), (depth, ctype)
    bpp = 3 if ctype == 2 else 4
    raw, stride, prev, rows = zlib.decompress(idat), w * bpp, bytearray(w * bpp), []
    for y in range(h):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return w, h, rows


class OspreyHeadless(unittest.TestCase):
    def test_png_of_a_downloaded_probe(self):
        with tempfile.TemporaryDirectory(prefix="osprey_e2e_") as tmp:
            cfg = os.path.join(tmp, "cfg", "kvr-probe")
            os.makedirs(cfg)
            sim = subprocess.Popen([SIM, "server", "--count", "300", "--probes", "2", "--seed", "7",
                                    "--now", "2012-03-04 12:00", "--state", os.path.join(tmp, "s.json")],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            try:
                tty = sim.stdout.readline().strip()
                self.assertTrue(tty.startswith("/"), "kvr-sim did not start: %r" % tty)
                with open(os.path.join(cfg, "KVR.conf"), "w") as f:
                    f.write("[Ports]\nCOM3=%s\n" % tty)
                with open(os.path.join(cfg, "NVA5.conf"), "w") as f:
                    f.write("[Startup]\nPort=3\nSpeed=1\n")
                env = dict(os.environ, XDG_CONFIG_HOME=os.path.dirname(cfg))
                env.pop("DISPLAY", None)
                out = os.path.join(tmp, "out")
                os.makedirs(out)
                p = subprocess.run([MARTEN, "--unattended", "--folder", out], env=env,
                                   capture_output=True, timeout=90)
                self.assertEqual(p.returncode, 0, p.stderr)
            finally:
                sim.send_signal(signal.SIGTERM)
                sim.wait(timeout=10)
                sim.stdout.close()

            summary = subprocess.run([OSPREY, "--summary", "--dumps", out], env=env, capture_output=True,
                                     text=True, timeout=180)
            self.assertEqual(summary.returncode, 0, summary.stderr)
            lines = summary.stdout.splitlines()[1:]
            self.assertEqual(len(lines), 2, summary.stdout)
            self.assertEqual(sum(int(l.split()[5]) for l in lines), 300, summary.stdout)

            png = os.path.join(tmp, "probe.png")
            probe = lines[0].split()[0]
            r = subprocess.run([OSPREY, "--png", png, "--probe", probe, "--size", "900x700", out], env=env,
                               capture_output=True, text=True, timeout=180)
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(png, "rb") as f:
                w, h, rows = png_pixels(f.read())
            self.assertEqual((w, h), (900, 700))
            # Lines, not only legend markers: each depth colour covers far more
            # pixels than its two small legend squares.
            def near(px, c):
                return sum(abs(px[i] - c[i]) for i in range(3)) < 60
            counts = [sum(near(px, c) for row in rows for px in row) for c in DEPTH_COLOURS]
            self.assertGreaterEqual(sum(n > 800 for n in counts), 5, counts)


if __name__ == "__main__":
    unittest.main()
