"""Osprey headless: Marten downloads from the simulated probe server, then
osprey --png renders one probe's charts without a display."""

import os, struct, sys, unittest, zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrix_lib as M  # noqa: E402
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
        for i in range(stride):  # filters: none, sub, up, average, Paeth
            a, b, c = line[i - bpp] if i >= bpp else 0, prev[i], prev[i - bpp] if i >= bpp else 0
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
            line[i] = (line[i] + (0, a, b, (a + b) // 2, a if pa <= pb and pa <= pc else b if pb <= pc else c)[f]) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return w, h, rows


class OspreyHeadless(M.Case):
    def test_png_of_a_downloaded_probe(self):
        d = self.device_run("marten", ["server", "--count", "300", "--probes", "2", "--seed", "7", "--now",
                                       "2012-03-04 12:00"], "1", answers=(), timeout=90, rc=0)[0]
        out, env = os.path.join(d, "out"), self.env(d)
        summary = M.run_program([M.OSPREY, "--summary", "--dumps", out], env, 180)
        self.assertEqual(summary.rc, 0, summary)
        lines = summary.stdout.splitlines()[1:]
        self.assertEqual(len(lines), 2, summary.stdout)
        self.assertEqual(sum(int(line.split()[5]) for line in lines), 300, summary.stdout)
        png = os.path.join(d, "probe.png")
        r = M.run_program([M.OSPREY, "--png", png, "--probe", lines[0].split()[0], "--size", "900x700", out], env, 180)
        self.assertEqual(r.rc, 0, r)
        w, h, rows = png_pixels(M.read_bytes(png))
        self.assertEqual((w, h), (900, 700))
        # Lines, not only legend markers: each depth colour covers far more
        # pixels than its two small legend squares.
        counts = [sum(sum(abs(px[i] - c[i]) for i in range(3)) < 60 for row in rows for px in row)
                  for c in DEPTH_COLOURS]
        self.assertGreaterEqual(sum(n > 800 for n in counts), 5, counts)


if __name__ == "__main__":
    unittest.main()
