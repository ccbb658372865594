#!/usr/bin/env python3
"""Soak run: the monitor samples a growing results file without pause for at
least 100,000 samples, and its memory and open files must stay flat.

The monitor runs at interval 0 in a scratch folder on a results.dat of
10,000 records; for four fifths of the samples this script appends a record
after every tenth sample, then leaves the file as it is. Standard output comes through a pipe
and only the status texts are counted. At the 1,000th sample, when the file
stops growing and at the end, the peak resident memory (VmHWM), the resident
memory (VmRSS) and the open descriptors (other than the results file and the
log) are read from /proc. While the file grows the peak may grow by the few
bytes per record that the measurement keeps (8 bytes allowed, and 64 kB);
once it stops, the peak must not move at all, and the descriptors never. The
last log row must hold the exact total of what was written, every row a
growth.

  bench/soak.py --binary build/release/riravuvavu [--samples 100000]
  bench/soak.py --binary build/release/riravuvavu --big 1G

--big SIZE instead generates a results file of SIZE (records of whole and
half Mpts), lets the monitor take one sample of it and one of it with a
record more, and checks the logged total exactly; it prints the time per
sample and the peak memory.
"""

import argparse
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

STATUS_END = re.compile(rb"No change in file size\r|No estimate so far\n|kpts/sec\n")
UNITS = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def record(job):
    """Record `job`: 0.5 to 20.0 Mpts, every eleventh a timing record that does not count."""
    mpts = (job * 7919 % 40 + 1) * 0.5
    if job % 11 == 0:
        return f"#job={job};\n#time={job}s by worker ({mpts} Mpts)\n".encode(), 0.0
    return f"#job={job};n=1;\n{mpts} ({mpts} Mpts) job {job}\n".encode(), mpts


def proc_status(pid):
    figures = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmHWM", "VmRSS", "VmSize", "RssAnon", "RssFile"):
                figures[name] = int(value.split()[0])
    # The results file and the log are open only within a sample or a row:
    # seen or not depending on the moment, they are no leak.
    figures["fds"] = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue
        if os.path.basename(target) not in ("results.dat", "benchcsv.log"):
            figures["fds"] += 1
    return figures


def log_totals(folder):
    with open(os.path.join(folder, "benchcsv.log")) as f:
        return [line.split(",")[1] for line in f.read().splitlines()[1:]]


class Monitor:
    """The monitor with standard output through a pipe, counting status texts."""

    def __init__(self, binary, folder, interval):
        self.process = subprocess.Popen(
            [binary, interval], cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=open(os.path.join(folder, "stderr.txt"), "wb"), start_new_session=True)
        self.samples = 0
        self.tail = b""

    def read(self, timeout):
        """Reads what standard output has within timeout; returns the sample count."""
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if ready:
            chunk = os.read(self.process.stdout.fileno(), 1 << 20)
            if not chunk:
                raise SystemExit(f"monitor ended with {self.process.wait()}")
            # A status text may arrive in two reads: keep what follows the
            # last one found.
            text = self.tail + chunk
            matches = list(STATUS_END.finditer(text))
            self.samples += len(matches)
            self.tail = (text[matches[-1].end():] if matches else text)[-32:]
        return self.samples

    def stop(self):
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()


def soak(binary, folder, wanted):
    """Four fifths of the samples with results.dat growing by a record every
    ten samples, the last fifth with it unchanged."""
    results = open(os.path.join(folder, "results.dat"), "ab", buffering=0)
    job, total = 0, 0.0

    def append():
        nonlocal job, total
        job += 1
        data, mpts = record(job)
        results.write(data)
        total += mpts

    # Ten thousand records (400 kB) to begin with: the reading's buffers have
    # their full size long before the 1,000th sample.
    for _ in range(10000):
        append()
    monitor = Monitor(binary, folder, "0")
    started = time.monotonic()
    growing_until = wanted * 4 // 5
    figures = {}
    while monitor.samples < wanted:
        before = monitor.samples
        monitor.read(1)
        if monitor.samples < growing_until and monitor.samples // 10 > before // 10:
            append()
        for mark in (1000, growing_until):
            if mark not in figures and monitor.samples >= mark:
                figures[mark] = proc_status(monitor.process.pid)
    elapsed = time.monotonic() - started
    figures[monitor.samples] = proc_status(monitor.process.pid)
    monitor.stop()
    results.close()

    totals = log_totals(folder)
    grew = all(float(a) < float(b) for a, b in zip(totals, totals[1:]))
    print(f"samples: {monitor.samples} in {elapsed:.1f} s ({monitor.samples / elapsed:.0f}/s); "
          f"results.dat grew from 10000 to {job} records until sample {growing_until}; "
          f"log rows: {len(totals)}")
    for mark, values in sorted(figures.items()):
        print(f"at sample {mark:>7}: VmHWM {values['VmHWM']} kB, VmRSS {values['VmRSS']} kB "
              f"(anonymous {values['RssAnon']} kB, files {values['RssFile']} kB), "
              f"VmSize {values['VmSize']} kB, open descriptors {values['fds']}")
    first, growth_end, last = (figures[mark] for mark in sorted(figures))
    failures = []
    # The measurement keeps a few bytes per record: the file's growth may
    # cost that much, the samples themselves nothing.
    allowance = (8 * (job - 10000) >> 10) + 64
    if growth_end["VmHWM"] - first["VmHWM"] > allowance:
        failures.append(f"peak memory grew by more than {allowance} kB while the file grew")
    if last["VmHWM"] != growth_end["VmHWM"]:
        failures.append("peak memory grew while the file stayed the same")
    if len({values["fds"] for values in figures.values()}) != 1:
        failures.append("open descriptors changed")
    if totals[-1] != f"{total:.1f}":
        failures.append(f"last logged total {totals[-1]}, written {total:.1f}")
    if not grew:
        failures.append("a log row that is no growth")
    with open(os.path.join(folder, "stderr.txt")) as f:
        if f.read():
            failures.append("standard error is not empty")
    return failures


def big(binary, folder, size):
    block, block_total, count = bytearray(), 0.0, 0
    while len(block) < 1 << 20:
        count += 1
        data, mpts = record(count)
        block += data
        block_total += mpts
    copies = max(1, size // len(block))
    path = os.path.join(folder, "results.dat")
    with open(path, "wb") as f:
        for _ in range(copies):
            f.write(block)
    extra, extra_mpts = record(1)
    monitor = Monitor(binary, folder, "1")
    started = time.monotonic()
    while monitor.samples < 1:
        monitor.read(1)
    first = time.monotonic() - started
    with open(path, "ab") as f:
        f.write(extra)
    goal = monitor.samples + 2
    while monitor.samples < goal:
        monitor.read(1)
    figures = proc_status(monitor.process.pid)
    monitor.stop()
    expected = f"{block_total * copies + extra_mpts:.1f}"
    totals = log_totals(folder)
    print(f"results.dat: {copies * len(block)} bytes, {copies * count + 1} records; "
          f"first sample {first:.1f} s; peak memory VmHWM {figures['VmHWM']} kB")
    print(f"logged total {totals[-1] if totals else None}, expected {expected}")
    return [] if totals and totals[-1] == expected else ["the logged total is not the expected one"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--samples", type=int, default=100000)
    parser.add_argument("--big", help="size of one big results file instead, e.g. 1G")
    parser.add_argument("--folder", help="work folder (default: a new one, removed after)")
    options = parser.parse_args()
    binary = os.path.abspath(options.binary)
    with tempfile.TemporaryDirectory(prefix="riravuvavu-soak-", dir=options.folder) as folder:
        if options.big:
            size = int(options.big[:-1]) * UNITS[options.big[-1]] if options.big[-1] in UNITS \
                else int(options.big)
            failures = big(binary, folder, size)
        else:
            failures = soak(binary, folder, options.samples)
    for failure in failures:
        print("FAILED:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
