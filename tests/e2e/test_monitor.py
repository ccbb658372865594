"""The monitor end to end: banner, log rows and status texts of the real binary
while the test rewrites results.dat between samples."""

import os
import re

import harness
from harness import text

LOADING = "Loading 'results.dat'..."
USAGE = "Call 'zanthbench 900' or similar from DOS to change the interval.\n"
HEADER = "Uptime (secs),Mpts in file,Estimate kpts/sec\n"


def record(job, mpts, timed=False):
    value = f"{mpts} ({mpts} Mpts) job {job}"
    if timed:
        value += " #time=12s by worker"
    return f"#job={job};n=1;\r\n{value}\r\n"


def loaded(count):
    return f"{LOADING}{LOADING} OK ({count} results)\n"


def system_uptime():
    try:
        with open("/proc/uptime") as f:
            return float(f.read().split()[0])
    except OSError:
        return None


class MonitorTest(harness.ScratchTest):
    def test_banner_without_argument_and_first_sample(self):
        self.write_file("results.dat", record(1, 2.5) + record(2, 9.0, timed=True))
        monitor = self.start()
        out = monitor.wait_for_output("No change in file size\r")
        self.assertEqual(
            out,
            text("RiravUvavu started.  Interval = 300.0 sec\n" + USAGE + "\n"
                 + loaded(2) + "No change in file size\r"),
        )
        self.assertEqual(self.read_file("benchcsv.log"), text(HEADER))

    def test_argument_that_is_no_number_keeps_300_without_usage_line(self):
        monitor = self.start("abc")
        out = monitor.wait_for_output("No change in file size\r")
        self.assertEqual(
            out,
            text("RiravUvavu started.  Interval = 300.0 sec\n\n"
                 + f"{LOADING}{LOADING} File empty" + "No change in file size\r"),
        )

    def test_samples_follow_the_file(self):
        results = record(1, 1.5) + record(2, 2.0) + record(3, 7.0, timed=True)
        self.write_file("results.dat", results)
        monitor = self.start("1")

        def sample(number, pattern):
            shown = monitor.wait_for_sample(number)
            self.assertRegex(shown, "^" + pattern + "$")
            return shown

        nl = re.escape(text("\n"))
        sample(1, re.escape(text(" OK (3 results)\n")) + "No change in file size\r")
        # Growth: this sample becomes the baseline.
        results += record(4, 0.5)
        self.write_file("results.dat", results)
        sample(2, re.escape(text(" OK (4 results)\nuptime+0 Mpts+0.0   No estimate so far\n")))
        sample(3, re.escape(text(" OK (4 results)\n")) + r"uptime\+[0-9]+   No change in file size\r")
        results += record(5, 1.0) + record(6, 100.0, timed=True)
        self.write_file("results.dat", results)
        shown = sample(4, re.escape(text(" OK (6 results)\n"))
                       + r"uptime\+([0-9]+) Mpts\+1\.0   Estimate ([0-9.]+) kpts/sec" + nl)
        seconds = int(re.search(r"uptime\+([0-9]+)", shown).group(1))
        estimate = re.search(r"Estimate ([0-9.]+)", shown).group(1)
        self.assertGreaterEqual(seconds, 2)
        self.assertLessEqual(float(estimate), 1000.0 / seconds)
        self.assertGreater(float(estimate), 1000.0 / (seconds + 1))
        # The file disappears: its total falls to 0.0, which is no change.
        os.remove(self.path("results.dat"))
        sample(5, re.escape(" File empty") + r"uptime\+[0-9]+   No change in file size\r")

        # Every text of the run, byte for byte where the clock does not enter.
        self.assertRegex(
            monitor.stdout(),
            "(?s)^" + re.escape(text("RiravUvavu started.  Interval = 1.0 sec\n\n"))
            + re.escape(LOADING) + ".*" + re.escape(LOADING + LOADING + " File empty")
            + r"uptime\+[0-9]+   No change in file size\r",
        )
        self.assertEqual(monitor.stdout().count(LOADING + LOADING), 5)

        rows = self.read_file("benchcsv.log").split(text("\n"))
        self.assertEqual(rows[0] + "\n", HEADER)
        self.assertRegex(rows[1], r"^[0-9]+,4\.0,0\.00$")
        self.assertEqual(rows[2].split(",")[1:], ["5.0", estimate])
        self.assertEqual(rows[3:], [""])
        columns_apart = int(rows[2].split(",")[0]) - int(rows[1].split(",")[0])
        self.assertIn(columns_apart, (seconds, seconds + 1))
        uptime = system_uptime()
        if uptime is not None:
            self.assertLessEqual(abs(int(rows[2].split(",")[0]) - uptime), 30)

    def test_second_run_appends_a_second_header(self):
        self.write_file("benchcsv.log", text(HEADER + "97,52.5,0.00\n"))
        monitor = self.start("300")
        monitor.wait_for_output("No change in file size\r")
        self.assertEqual(self.read_file("benchcsv.log"), text(HEADER + "97,52.5,0.00\n" + HEADER))

    def test_unwritable_log_keeps_its_rows_until_it_is_writable(self):
        # A directory in the log's place: nothing can be appended to it.
        os.mkdir(self.path("benchcsv.log"))
        self.write_file("results.dat", record(1, 1.0))
        monitor = self.start("0.2")
        monitor.wait_for_sample(1)
        self.write_file("results.dat", record(1, 1.0) + record(2, 2.0))
        monitor.wait_for_output("No estimate so far")
        samples = monitor.stdout().count(LOADING + LOADING)
        monitor.wait_for_sample(samples + 1)
        self.assertEqual(len(monitor.stderr().splitlines()), 1, monitor.stderr())
        self.assertIn("benchcsv.log", monitor.stderr())

        os.rmdir(self.path("benchcsv.log"))
        self.write_file("results.dat", record(1, 1.0) + record(2, 2.0) + record(3, 4.0))
        harness.wait_until(lambda: self.read_file_if_any("benchcsv.log").count(",") >= 6,
                           what="rows in the log")
        rows = self.read_file("benchcsv.log").split(text("\n"))
        self.assertEqual(rows[0] + "\n", HEADER)
        self.assertRegex(rows[1], r"^[0-9]+,3\.0,0\.00$")
        self.assertRegex(rows[2], r"^[0-9]+,7\.0,[0-9]+\.[0-9]{2}$")
        self.assertEqual(rows[3:], [""])
        self.assertIn("writable again", monitor.stderr())
        self.assertEqual(len(monitor.stderr().splitlines()), 2, monitor.stderr())

    def read_file_if_any(self, name):
        try:
            return self.read_file(name)
        except OSError:
            return ""


if __name__ == "__main__":
    harness.main()
