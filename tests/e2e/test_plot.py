"""riravuvavu-plot, the real binary beside the monitor, on real log files.

The chart is checked against the log by reading it back the way a person
would: the tick labels of each axis give the scale, and every point of every
series must land on its log row. One test renders the chart in headless
Chromium and looks at the pixels.
"""

import os
import random
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ElementTree
import zlib

import harness

SVG = "{http://www.w3.org/2000/svg}"
HEADER = "Uptime (secs),Mpts in file,Estimate kpts/sec"
# Colours of runs 1 and 3 in the chart.
RUN_COLOURS = {1: (0x1F, 0x77, 0xB4), 3: (0x2C, 0xA0, 0x2C)}

# Run 1 (LF), an empty run 2 (the monitor started and stopped before the file
# grew), run 3 written on Windows (CR LF) and cut off mid-row by a crash.
LOG = (
    f"{HEADER}\n"
    "97,52.5,0.00\n"
    "99,54.5,1000.00\n"
    "105,60.5,1058.82\n"
    "this is no row\n"
    "111,66.5,1071.43\n"
    f"{HEADER}\n"
    f"{HEADER}\r\n"
    "4000,10.0,0.00\r\n"
    "4030,40.0,-250.25\r\n"
    "4060,100.0,1500.00\r\n"
    "1,2\r\n"
    "4090,2"
)
RUNS = {
    1: [(97, 52.5, 0.0), (99, 54.5, 1000.0), (105, 60.5, 1058.82), (111, 66.5, 1071.43)],
    3: [(4000, 10.0, 0.0), (4030, 40.0, -250.25), (4060, 100.0, 1500.0)],
}


def plot_binary():
    suffix = ".exe" if harness.BINARY.endswith(".exe") else ""
    return os.path.join(os.path.dirname(harness.BINARY), "riravuvavu-plot" + suffix)


def linear_scale(ticks):
    """value(coordinate) from (coordinate, label) pairs; checks the labels are evenly placed."""
    (c0, v0), (c1, v1) = ticks[0], ticks[-1]
    slope = (v1 - v0) / (c1 - c0)
    for coordinate, value in ticks:
        assert abs(v0 + (coordinate - c0) * slope - value) <= abs(slope) * 0.02, ticks
    return lambda coordinate: v0 + (coordinate - c0) * slope, abs(slope)


def read_chart(path):
    """{column: {run: [(uptime, value), ...]}} and the legend texts, read back from the SVG."""
    root = ElementTree.parse(path).getroot()
    series = {}
    for panel in root.iter(SVG + "g"):
        if panel.get("class") != "panel":
            continue
        texts = list(panel.iter(SVG + "text"))
        x_of, x_step = linear_scale(
            [(float(t.get("x")), float(t.text)) for t in texts if t.get("class") == "xtick"]
        )
        y_of, y_step = linear_scale(
            [(float(t.get("y")), float(t.text)) for t in texts if t.get("class") == "ytick"]
        )
        runs = {}
        for line in panel.iter(SVG + "polyline"):
            points = [p.split(",") for p in line.get("points").split()]
            runs[int(line.get("data-run"))] = [
                (x_of(float(x)), y_of(float(y)), x_step, y_step) for x, y in points
            ]
        series[panel.get("data-column")] = runs
    legend = [t.text for t in root.iter(SVG + "text") if t.get("class") == "legend-entry"]
    return series, legend, root


def decode_png(data):
    """(width, height, rows of (r, g, b) tuples) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks = 8, {}
    while position < len(data):
        length = int.from_bytes(data[position : position + 4], "big")
        kind = data[position + 4 : position + 8]
        chunks[kind] = chunks.get(kind, b"") + data[position + 8 : position + 8 + length]
        position += 12 + length
    header = chunks[b"IHDR"]
    width, height = int.from_bytes(header[0:4], "big"), int.from_bytes(header[4:8], "big")
    depth, colour_type, interlace = header[8], header[9], header[12]
    assert depth == 8 and colour_type in (2, 6) and interlace == 0, header
    channels = 3 if colour_type == 2 else 4
    raw = zlib.decompress(chunks[b"IDAT"])
    stride = width * channels
    previous = bytearray(stride)
    rows = []
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1 : start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            up_left = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - up_left
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - up_left)
                predictor = left if pa <= pb and pa <= pc else up if pb <= pc else up_left
                line[i] = (line[i] + predictor) & 0xFF
        rows.append([tuple(line[i : i + 3]) for i in range(0, stride, channels)])
        previous = line
    return width, height, rows


class PlotTest(harness.ScratchTest):
    def plot(self, *arguments):
        return subprocess.run(
            harness.LAUNCHER + [plot_binary(), *arguments],
            cwd=self.folder,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=60,
        )

    def test_chart_carries_every_row_of_every_run(self):
        self.write_file("benchcsv.log", LOG)
        result = self.plot("benchcsv.log", "-o", "throughput.svg")
        self.assertEqual(result.returncode, 0, result.stderr)
        stderr = result.stderr.decode()
        self.assertIn("skipped 3 rows: line 5 (not three numbers), line 12", stderr)
        self.assertIn("line 13 (cut short)", stderr)

        series, legend, root = read_chart(self.path("throughput.svg"))
        self.assertEqual(legend, ["run 1 (4 rows)", "run 3 (3 rows)"])
        for column, index in (("estimate", 2), ("mpts", 1)):
            self.assertEqual(sorted(series[column]), [1, 3], column)
            for run, rows in RUNS.items():
                points = series[column][run]
                self.assertEqual(len(points), len(rows), (column, run))
                for (uptime, value, x_step, y_step), row in zip(points, rows):
                    self.assertAlmostEqual(uptime, row[0], delta=x_step * 0.02)
                    self.assertAlmostEqual(value, row[index], delta=y_step * 0.02)
        # Self-contained: nothing to fetch, nothing to run.
        document = self.read_file("throughput.svg")
        for foreign in ("href", "<script", "<image", "url(", "@import"):
            self.assertNotIn(foreign, document)
        titles = [t.text for t in root.iter(SVG + "text") if t.get("class") == "ytitle"]
        self.assertEqual(titles, ["Estimate (kpts/sec)", "Mpts in file"])

    def test_failures_are_reported_with_their_cause(self):
        self.write_file("benchcsv.log", LOG)
        self.write_file("header-only.log", HEADER + "\n" + HEADER + "\n")
        os.mkdir(self.path("folder.log"))
        cases = [
            (["missing.log"], 1, "cannot read 'missing.log'"),
            (["folder.log"], 1, "cannot read 'folder.log'"),
            (["header-only.log"], 1, "holds no data row"),
            (["benchcsv.log", "-o", "no-such-folder/chart.svg"], 1, "cannot write 'no-such-folder"),
            (["benchcsv.log", "-o", "./benchcsv.log"], 1, "would overwrite it"),
            (["benchcsv.log", "other.log"], 2, "usage: riravuvavu-plot"),
            (["benchcsv.log", "-o"], 2, "usage: riravuvavu-plot"),
        ]
        for arguments, status, message in cases:
            with self.subTest(arguments=arguments):
                result = self.plot(*arguments)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr.decode())
        self.assertEqual([name for name in os.listdir(self.folder) if name.endswith(".svg")], [])
        self.assertEqual(self.read_file("benchcsv.log"), LOG)

    def test_garbage_never_crashes_it(self):
        generator = random.Random(7)
        pieces = [HEADER, "1,2,3", "1,2", ",,", "1e400,1,1", "nan,1,2", "-5,-1.5,-0.25", "\r",
                  "\x00", "\xff\xfe", "9" * 400, "1,2,3,4", " 1,2,3", "1,2,3 "]
        for attempt in range(20):
            text = "\n".join(generator.choice(pieces) for _ in range(generator.randrange(1, 60)))
            self.write_file("garbage.log", text)
            with self.subTest(attempt=attempt):
                result = self.plot("garbage.log", "-o", "garbage.svg")
                self.assertIn(result.returncode, (0, 1), result.stderr)
                if result.returncode == 0:
                    read_chart(self.path("garbage.svg"))

    def test_chart_shows_in_a_browser(self):
        browser = shutil.which("chromium")
        if browser is None:
            self.skipTest("chromium is not installed (tools/test installs it)")
        self.write_file("benchcsv.log", LOG)
        self.assertEqual(self.plot("benchcsv.log", "-o", "throughput.svg").returncode, 0)
        with tempfile.TemporaryDirectory(prefix="riravuvavu-chromium-") as profile:
            screenshot = os.path.join(self.folder, "throughput.png")
            subprocess.run(
                [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}",
                 "--hide-scrollbars", "--window-size=960,700", f"--screenshot={screenshot}",
                 "file://" + self.path("throughput.svg")],
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=180,
                check=True,
            )
            with open(screenshot, "rb") as f:
                width, height, rows = decode_png(f.read())
        pixels = [pixel for row in rows for pixel in row]
        self.assertEqual((width, height), (960, 700))
        inked = sum(1 for pixel in pixels if min(pixel) < 200)
        self.assertGreater(inked, width * height // 100, "the picture is blank")
        for run, colour in RUN_COLOURS.items():
            near = sum(1 for p in pixels if sum(abs(a - b) for a, b in zip(p, colour)) < 60)
            self.assertGreater(near, 100, f"run {run}'s series is not drawn")


if __name__ == "__main__":
    harness.main()
