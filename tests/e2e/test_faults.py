"""The real monitor under the faults of a long unattended run: a results file
that is removed, cut, replaced, shrunk mid-read, huge or garbage, a writer that
never stops, a log that cannot be written, signals, and memory that runs out.

Totals are compared exactly: every Mpts value here is a multiple of 0.5, so
sums and their "%.1f" texts are exact whatever the order of addition.
"""

import errno
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import threading
import time
import unittest

import harness
from harness import text

LOADING = "Loading 'results.dat'..."
HEADER = "Uptime (secs),Mpts in file,Estimate kpts/sec\n"
POSIX = os.name == "posix"


def native():
    """The monitor runs as a native POSIX process (not through a launcher)."""
    return POSIX and not harness.LAUNCHER


def scale():
    """How many times smaller the big files are through a launcher."""
    return 16 if harness.LAUNCHER else 1


def sanitized():
    """The binary carries AddressSanitizer, which cannot run in a small address space."""
    with open(harness.BINARY, "rb") as f:
        return b"__asan_init" in f.read()


def record(job, mpts, timed=False):
    value = f"{mpts} ({mpts} Mpts) job {job}"
    if timed:
        value = f"#time={job}s by worker-{job % 7} ({mpts} Mpts wall)"
    return f"#job={job};n=1;\n{value}\n".encode()


def records(count, first=1):
    """count records of 1 to 9 Mpts (one digit, so that a sample that reads a
    value line only in part counts it whole or not at all)."""
    return b"".join(record(job, job % 9 + 1) for job in range(first, first + count))


def records_total(count, first=1):
    return float(sum(job % 9 + 1 for job in range(first, first + count)))


# ---- The results file's rules, for totals computed independently --------------

HEADER_LINE = re.compile(rb"(?:[A-Za-z0-9#]*=[0-9]*;)*")
NUMBER = re.compile(rb"[ \t\n\v\f\r]*([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+))")


def lines_of(data):
    """Lines ended by NUL, LF, CR or CR LF; a lone CR as the last byte ends no line."""
    lines = re.split(rb"\r\n|[\0\n\r]", data)
    if lines[-1] == b"":  # nothing after the last line end
        lines.pop()
        if data.endswith(b"\r") and lines and lines[-1] == b"":
            lines.pop()
    return lines


def value_lines(data):
    """The value line of every record in results file bytes, in file order."""
    lines = [line.rstrip(bytes(range(1, 33))) for line in lines_of(data)]
    values, index = [], 0
    while index + 1 < len(lines):
        if HEADER_LINE.fullmatch(lines[index]):
            values.append(lines[index + 1])
            index += 2
        else:
            index += 1
    return values


def expected_total(data):
    """The total of counted Mpts in results file bytes."""
    total = 0.0
    for value in value_lines(data):
        if b"#time=" in value and b" by " in value:
            continue
        parenthesis = value.find(b"(")
        number = NUMBER.match(value, parenthesis + 1) if parenthesis >= 0 else None
        total += float(number.group(1)) if number else 0.0
    return total


class TotalRulesTest(unittest.TestCase):
    """The independent reading above, on the cases that decide totals."""

    def test_rules(self):
        cases = [
            (b"#a=1;\r\n2.5 (2.5)\r\n", 2.5),
            (b"=;\r(1.5)\r;=\n(9)\n\n(0.5)", 2.0),
            (b"#a=1;\x00(3)\x00#a=1; \n(4)\n#a=1\n(5)\n", 7.0),
            (b"#t=1;\n#time=1 by w (8)\n#t=1;\n#time=1 (8)\n", 8.0),
            (b"#t=1;\n(1) (2)\n#t=1;\nno number\n#t=1;", 1.0),
            (b"\r", 0.0),
        ]
        for data, total in cases:
            self.assertEqual(expected_total(data), total, data)


# ---- Helpers -----------------------------------------------------------------------


class FaultTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        self.cleanups = []

    def tearDown(self):
        for monitor in self.monitors:
            monitor.stop()
        for cleanup in reversed(self.cleanups):
            cleanup()
        super().tearDown()

    def require_native(self):
        if not native():
            self.skipTest("POSIX signals, devices and resource limits of a native process")

    def status_end(self):
        nl = re.escape(text("\n"))
        return re.compile(f"No change in file size\r|No estimate so far{nl}|kpts/sec{nl}")

    def finished_samples(self, monitor):
        return len(self.status_end().findall(monitor.stdout()))

    def wait_samples(self, monitor, count, timeout=60.0):
        """Waits until `count` samples have shown their status text."""
        harness.wait_until(lambda: monitor.process.poll() is None and
                           self.finished_samples(monitor) >= count or self.dead(monitor),
                           timeout, f"{count} samples")
        self.assertIsNone(monitor.process.poll(), monitor.stderr())

    def dead(self, monitor):
        if monitor.process.poll() is not None:
            raise AssertionError(f"monitor exited with {monitor.process.returncode}:\n"
                                 f"{monitor.stdout()[-2000:]}\n{monitor.stderr()}")
        return False

    def wait_loaded(self, monitor, count, since, timeout=60.0):
        """Waits for a sample that began after stdout offset `since`, loaded
        `count` records and showed its status; returns the offset after it."""
        start_text = LOADING + LOADING  # the opening text, then the first of the loader's
        final = text(f" OK ({count} results)\n")
        ends = self.status_end()

        def seen():
            self.dead(monitor)
            out = monitor.stdout()
            start = out.find(start_text, since)
            while start >= 0:
                following = out.find(start_text, start + 1)
                status = ends.search(out, start, following if following >= 0 else len(out))
                # A sample without status text was skipped; look at the next.
                if status is not None and out.find(final, start, status.start()) >= 0:
                    return status.end()
                if status is None and following < 0:
                    return None
                start = following
            return None

        return harness.wait_until(seen, timeout, f"a sample of {count} records")

    def replace_results(self, data):
        """Replaces results.dat by an atomic rename, as many writers do."""
        with open(self.path("results.new"), "wb") as f:
            f.write(data)
        os.replace(self.path("results.new"), self.path("results.dat"))

    def log_rows(self, name="benchcsv.log", whole=True):
        """The data rows of a log as (uptime, total text, estimate text). With
        whole=False a row still being written is left out."""
        try:
            content = self.read_file(name)
        except FileNotFoundError:
            return []
        rows = content.split(text("\n"))
        if whole:
            self.assertEqual(rows[-1], "", f"torn row in {content!r}")
        return [tuple(row.split(",")) for row in rows[:-1] if row + "\n" != HEADER]

    def totals(self, name="benchcsv.log", whole=True):
        return [row[1] for row in self.log_rows(name, whole)]


# ---- The results file changes under the monitor ------------------------------------


class ResultsFileFaultTest(FaultTest):
    def test_removed_truncated_replaced_and_restored(self):
        self.replace_results(records(3))
        monitor = self.start("0.02")
        at = self.wait_loaded(monitor, 3, 0)

        os.remove(self.path("results.dat"))
        monitor.wait_for_output(LOADING + LOADING + " File empty")
        at = len(monitor.stdout())
        self.replace_results(records(4))  # back after being gone: growth from 0.0
        at = self.wait_loaded(monitor, 4, at)
        os.truncate(self.path("results.dat"), 0)
        at = self.wait_loaded(monitor, 0, at)
        with open(self.path("results.dat"), "ab") as f:
            f.write(records(5))
        at = self.wait_loaded(monitor, 5, at)
        os.truncate(self.path("results.dat"), len(records(2)) + 7)  # in a header line
        at = self.wait_loaded(monitor, 2, at)
        self.replace_results(records(6))
        at = self.wait_loaded(monitor, 6, at)

        self.assertEqual(self.totals(), [f"{records_total(n):.1f}" for n in (4, 5, 6)])
        self.assertEqual(monitor.stderr(), "")

    def test_shrunk_while_a_sample_reads_it(self):
        # Loads take a while: many records, and one value line of 8 MiB. The
        # file is cut inside that line.
        small = records(50)
        long_record = b"#job=0;\n(5) " + b"x" * (8 << 20) + b"\n"
        big = small + long_record + records(60000, first=51)
        cut = len(small) + 1000
        small_count, big_count = len(value_lines(big[:cut])), len(value_lines(big))
        self.replace_results(big)
        monitor = self.start("0")
        at = self.wait_loaded(monitor, big_count, 0, timeout=120)
        progress = re.compile(re.escape(LOADING) + r" [0-9]+ \(")
        final = re.compile(re.escape(" OK (") + "([0-9]+)" + re.escape(text(" results)\n")))
        shrunk_under_a_sample = False
        for _ in range(20):
            harness.wait_until(lambda: self.dead(monitor) or progress.search(monitor.stdout(), at),
                               60, "a load under way")
            os.truncate(self.path("results.dat"), cut)
            at = self.wait_loaded(monitor, small_count, at, timeout=120)
            counts = {int(n) for n in final.findall(monitor.stdout())}
            # Restored in one piece, so any other count comes from a file that
            # shrank while it was read.
            shrunk_under_a_sample = bool(counts - {small_count, big_count})
            self.replace_results(big)
            at = self.wait_loaded(monitor, big_count, at, timeout=120)
            if shrunk_under_a_sample:
                break
        self.assertTrue(shrunk_under_a_sample, "no sample saw the file shrink under it")
        self.assertEqual(monitor.stderr(), "")
        self.assertEqual(self.totals()[-1], f"{expected_total(big):.1f}")

    def test_writer_appending_all_the_time(self):
        """A benchmark that appends thousands of records a second, some batches
        in two writes cut anywhere, while the monitor samples: no total is ever
        above what was written, and the first sample after the writer stops
        is exact."""
        written = {"total": 0.0, "records": 0}
        stop = threading.Event()
        failure = []
        chance = random.Random(20261211)

        def writer():
            try:
                fd = os.open(self.path("results.dat"), os.O_WRONLY | os.O_APPEND)
                job = 0
                while not stop.is_set():
                    batch, batch_total = [], 0.0
                    for _ in range(20):
                        job += 1
                        mpts = chance.randrange(1, 40) * 0.5
                        timed = job % 11 == 0
                        batch.append(record(job, mpts, timed))
                        if job % 13 == 0:
                            batch.append(b"checkpoint written\n")
                        if not timed:
                            batch_total += mpts
                    data = b"".join(batch)
                    # Counted before the write: the ceiling for any sample.
                    written["total"] += batch_total
                    written["records"] += 20
                    cut = chance.randrange(1, len(data)) if job % 40 == 0 else len(data)
                    os.write(fd, data[:cut])
                    if cut < len(data):
                        os.write(fd, data[cut:])
                    time.sleep(0.002)  # the writer's pace, not a wait for the monitor
                os.close(fd)
            except Exception as error:  # reported by the main thread
                failure.append(error)

        self.write_file("results.dat", b"")
        monitor = self.start("0.05")
        thread = threading.Thread(target=writer)
        thread.start()
        self.cleanups.append(lambda: (stop.set(), thread.join()))
        # At least five seconds, and enough rows to show many samples.
        enough_rows = 3 if harness.LAUNCHER else 10
        started = time.monotonic()
        try:
            while True:
                self.dead(monitor)
                rows = self.totals(whole=False)
                ceiling = written["total"]  # read after the rows: it only grows
                for total in rows:
                    self.assertLessEqual(float(total), ceiling)
                if time.monotonic() - started > 5 and len(rows) >= enough_rows:
                    break
                harness.wait_until(lambda: len(self.totals(whole=False)) > len(rows) or
                                   time.monotonic() - started > 5, 120, "a new row")
        finally:
            stop.set()
            thread.join()
        self.assertEqual(failure, [])
        self.assertGreater(written["records"], 5000)

        # The first sample that begins after the last write.
        at = len(monitor.stdout())
        self.wait_loaded(monitor, written["records"], at)
        with open(self.path("results.dat"), "rb") as f:
            self.assertEqual(expected_total(f.read()), written["total"])
        self.assertEqual(self.totals()[-1], f"{written['total']:.1f}")
        self.assertEqual(monitor.stderr(), "")


class OddResultsFileTest(FaultTest):
    """Huge and garbage files: the sample completes with the exact total."""

    def check_total(self, data, count=None, total=None):
        """Loads data, then data and one more record, and checks the total that
        the log shows. count and total, when given, spare the reading in
        Python; data then ends with a whole record."""
        if os.path.exists(self.path("benchcsv.log")):
            os.remove(self.path("benchcsv.log"))
        # "x" ends whatever the file left open: a header waiting for its
        # value line takes it, so the record after it counts in any case.
        tail = b"\nx\n" + record(1, 3)
        if count is None:
            count, total = len(value_lines(data)), expected_total(data)
            longer_count = len(value_lines(data + tail))
        else:
            longer_count = count + 2  # the empty line and "x", then the record
        self.replace_results(data)
        monitor = self.start("0.2")
        at = self.wait_loaded(monitor, count, 0, timeout=300)
        self.replace_results(data + tail)
        self.wait_loaded(monitor, longer_count, at, timeout=300)
        self.assertEqual(self.totals(), [f"{total + 3:.1f}"])
        self.assertEqual(monitor.stderr(), "")
        monitor.stop()

    def test_large_file(self):
        # 32 MiB (2 MiB through a launcher, whose console makes every progress
        # text slow); bench/soak.py --big 1G takes the monitor to 1 GiB.
        block = records(20000)
        copies = (32 << 20) // len(block) // scale()
        self.check_total(block * copies, 20000 * copies, records_total(20000) * copies)

    def test_one_line_of_100_mib(self):
        self.check_total(record(1, 1) + b"#job=2;\n(2.5) " + b"y" * (100 << 20) + b"\n")

    def test_only_line_ends_and_only_nul_bytes(self):
        # Every empty line is a header and the line after it its value.
        size = (1 << 18) // scale()
        for data in (b"\n" * size, b"\r\n\n\r\r" * (size // 4), b"\0" * size):
            with self.subTest(first=data[:5]):
                self.check_total(data)


# ---- The benchmark log cannot be written ---------------------------------------------


class LogFaultTest(FaultTest):
    def grow(self, monitor, count, at):
        """Makes the results file hold `count` records and waits for a sample of them."""
        self.replace_results(records(count))
        return self.wait_loaded(monitor, count, at)

    def check_outage(self, start, break_log, mend_log, logs=("benchcsv.log",)):
        """Rows for 2 to 7 records, the log broken from the third row on until
        after the fourth: every row exactly once, in order, and one message
        each way on standard error. start() starts the monitor."""
        self.replace_results(records(1))
        monitor = start()
        at = self.wait_loaded(monitor, 1, 0)
        at = self.grow(monitor, 2, at)
        break_log()
        for count in (3, 4):
            at = self.grow(monitor, count, at)
        harness.wait_until(lambda: "cannot write" in monitor.stderr(), what="the message")
        mend_log()
        for count in (5, 6, 7):
            at = self.grow(monitor, count, at)
        rows = [total for log in logs for total in self.totals(log)]
        self.assertEqual(rows, [f"{records_total(n):.1f}" for n in range(2, 8)])
        lines = monitor.stderr().splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertIn("benchcsv.log", lines[0])
        self.assertIn("writable again", lines[1])
        return lines

    def test_log_on_a_full_disk(self):
        self.require_native()
        log = self.path("benchcsv.log")

        def break_log():  # every write to /dev/full fails: no space left
            os.replace(log, self.path("saved.log"))
            os.symlink("/dev/full", log)

        def mend_log():
            os.remove(log)
            os.replace(self.path("saved.log"), log)

        lines = self.check_outage(lambda: self.start("0.02"), break_log, mend_log)
        self.assertIn(os.strerror(errno.ENOSPC), lines[0])

    def test_log_that_is_immutable(self):
        self.require_native()
        if not shutil.which("chattr"):
            self.skipTest("no chattr")
        # chmod does not stop root; the immutable attribute does.
        log = self.path("benchcsv.log")
        self.write_file("benchcsv.log", b"")
        if subprocess.run(["chattr", "+i", log], capture_output=True).returncode != 0:
            self.skipTest("the file system or the process cannot set the immutable attribute")
        subprocess.run(["chattr", "-i", log], check=True)
        self.cleanups.append(lambda: subprocess.run(["chattr", "-i", log], capture_output=True))
        self.check_outage(lambda: self.start("0.02"),
                          lambda: subprocess.run(["chattr", "+i", log], check=True),
                          lambda: subprocess.run(["chattr", "-i", log], check=True))

    def test_row_cut_short_is_taken_back_and_log_rotated(self):
        """A file size limit lets the third row reach the log only in part: the
        part is taken back. Then the log is rotated and the limit lifted: the
        kept rows go to the new log. The monitor's output goes through pipes,
        to which the limit does not apply."""
        self.require_native()
        if not hasattr(resource, "prlimit"):
            self.skipTest("no prlimit")
        monitors = []
        log = self.path("benchcsv.log")

        def start():
            monitors.append(self.start_piped("0.02", preexec_fn=ignore_file_size_signal))
            return monitors[0]

        def limit_log():
            limit = os.path.getsize(log) + 5
            resource.prlimit(monitors[0].process.pid, resource.RLIMIT_FSIZE,
                             (limit, resource.RLIM_INFINITY))

        def rotate():
            os.replace(log, self.path("benchcsv.log.1"))
            resource.prlimit(monitors[0].process.pid, resource.RLIMIT_FSIZE,
                             (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

        lines = self.check_outage(start, limit_log, rotate,
                                  logs=("benchcsv.log.1", "benchcsv.log"))
        self.assertIn(os.strerror(errno.EFBIG), lines[0])

    def start_piped(self, *arguments, **popen_options):
        """The monitor with its output copied through pipes into the usual files."""
        monitor = harness.Monitor.__new__(harness.Monitor)
        monitor.folder = self.folder
        monitor.stdout_path = self.path(".stdout")
        monitor.stderr_path = self.path(".stderr")
        monitor.process = subprocess.Popen(
            harness.LAUNCHER + [harness.BINARY, *arguments], cwd=self.folder,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True, **popen_options)
        self.monitors.append(monitor)
        for pipe, path in ((monitor.process.stdout, monitor.stdout_path),
                           (monitor.process.stderr, monitor.stderr_path)):
            open(path, "wb").close()
            copier = threading.Thread(target=copy_pipe, args=(pipe, path))
            copier.start()
            self.cleanups.append(copier.join)
        return monitor


def ignore_file_size_signal():
    # Writes beyond the limit then fail with EFBIG instead of ending the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def copy_pipe(pipe, path):
    with pipe, open(path, "ab", buffering=0) as out:
        for chunk in iter(lambda: pipe.read1(65536), b""):
            out.write(chunk)


# ---- Signals and memory -----------------------------------------------------------------


class SignalTest(FaultTest):
    def setUp(self):
        super().setUp()
        self.require_native()

    def big_results(self):
        """A file whose load takes long enough to be caught under way."""
        if not os.path.exists(self.path("big.dat")):
            with open(self.path("big.dat"), "wb") as f:
                f.write(records(20000) * 100)
        shutil.copyfile(self.path("big.dat"), self.path("results.dat"))

    def test_signals_end_the_monitor_at_once(self):
        progress = re.compile(re.escape(LOADING) + r" [0-9]+ \(")
        for number in (signal.SIGINT, signal.SIGTERM):
            for phase in ("sleep", "load"):
                with self.subTest(signal=number.name, phase=phase):
                    if phase == "sleep":
                        self.replace_results(records(3))
                        monitor = self.start("300")
                        monitor.wait_for_sample(1)
                    else:
                        self.big_results()
                        monitor = self.start("300")
                        # Polled closely: the load lasts a fraction of a second.
                        deadline = time.monotonic() + 60
                        while not progress.search(monitor.stdout()):
                            self.dead(monitor)
                            self.assertLess(time.monotonic(), deadline, "no load under way")
                            time.sleep(0.001)
                    monitor.process.send_signal(number)
                    self.assertEqual(monitor.process.wait(timeout=10), -number)
                    if phase == "load":
                        self.assertNotIn(" OK (", monitor.stdout())
                    self.assertEqual(monitor.stderr(), "")

    def test_terminal_as_it_was_after_a_signal(self):
        """In a real terminal: Ctrl+C, and SIGTERM, during the sleep and during
        a load leave the terminal's settings as they were."""
        if not shutil.which("tmux"):
            self.skipTest("no tmux")
        with open(self.path("run.sh"), "w") as f:
            f.write('trap "echo interrupted" INT\n'  # a handler: the monitor gets the default
                    'stty -g > stty.before\n'
                    '"$@"\n'
                    'echo $? > status\n'
                    'stty -g > stty.after\n')
        for phase in ("sleep", "load"):
            for number in (signal.SIGINT, signal.SIGTERM):
                with self.subTest(signal=number.name, phase=phase):
                    # A server of our own for each run: it ends with the pane,
                    # and its socket goes with the scratch folder.
                    socket = self.path(f"tmux-{phase}-{number}")
                    tmux = ["tmux", "-S", socket, "-f", "/dev/null"]
                    self.cleanups.append(
                        lambda tmux=tmux: subprocess.run(tmux + ["kill-server"], capture_output=True))
                    for name in ("status", "stty.before", "stty.after"):
                        if os.path.exists(self.path(name)):
                            os.remove(self.path(name))
                    if phase == "sleep":
                        self.replace_results(records(3))
                        needle = "No change in file size"
                    else:
                        self.big_results()
                        needle = "00 ("  # a progress text
                    subprocess.run(tmux + ["new-session", "-d", "-x", "120", "-y", "30",
                                           "-c", self.folder, "sh", "run.sh",
                                           *harness.LAUNCHER, harness.BINARY, "300"], check=True)
                    pane = harness.wait_until(
                        lambda: (lambda shown: needle in shown and shown)(
                            subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True,
                                           text=True).stdout), 60, needle)
                    self.assertIn("RiravUvavu started.", pane)
                    if number == signal.SIGINT:
                        subprocess.run(tmux + ["send-keys", "C-c"], check=True)
                    else:
                        os.kill(self.pane_child(tmux), signal.SIGTERM)
                    status = harness.wait_until(
                        lambda: self.read_if_any("status").strip(), 10, "the monitor's end")
                    self.assertEqual(int(status), 128 + number)
                    harness.wait_until(lambda: self.read_if_any("stty.after"), 10, "stty")
                    self.assertEqual(self.read_file("stty.after"), self.read_file("stty.before"))

    def pane_child(self, tmux):
        """The process that the pane's shell runs."""
        shell = subprocess.run(tmux + ["display-message", "-p", "#{pane_pid}"],
                               capture_output=True, text=True, check=True).stdout.strip()
        path = f"/proc/{shell}/task/{shell}/children"

        def child():
            with open(path) as f:
                return f.read().split()

        return int(harness.wait_until(child, 10, "the monitor")[0])

    def read_if_any(self, name):
        try:
            return self.read_file(name)
        except FileNotFoundError:
            return ""


class MemoryTest(FaultTest):
    def test_sample_that_runs_out_of_memory_is_skipped(self):
        self.require_native()
        if sanitized():
            self.skipTest("AddressSanitizer needs more address space than the limit leaves")
        limit = 48 << 20

        def small_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        self.replace_results(records(1))
        monitor = self.start("0.05", preexec_fn=small_address_space)
        at = self.wait_loaded(monitor, 1, 0)
        # Sixteen million records of 1 Mpts each: more than 48 MiB can hold.
        count = 16 << 20
        self.replace_results(b"\n(1)\n" * count)
        held = text(f" OK ({count} results)")
        harness.wait_until(lambda: self.dead(monitor) or held in monitor.stdout() or
                           monitor.stderr().count("out of memory") >= 2, 300,
                           "two samples that ran out of memory")
        if held in monitor.stdout():
            self.skipTest("the measurement holds sixteen million records in 48 MiB")
        self.replace_results(records(2))
        self.wait_loaded(monitor, 2, at)
        # The skipped samples logged nothing and left the total where it was.
        self.assertEqual(self.totals(), [f"{records_total(2):.1f}"])
        for line in monitor.stderr().splitlines():
            self.assertEqual(line, "riravuvavu: results.dat: out of memory, sample skipped")


if __name__ == "__main__":
    harness.main()
