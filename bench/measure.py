#!/usr/bin/env python3
"""Times the monitor's first sample of a big results file against wc -l and awk.

For each size a deterministic results file is generated in the work folder
(once; later runs reuse it) and read into the page cache. Then, in
alternation, `wc -l` counts its lines, an awk script sums its Mpts the way
the monitor does (in file order), and the monitor is started in a scratch
folder whose results.dat is that file, with an interval so long that it takes
one sample only. The monitor's time runs from its start until its standard
output shows the first sample's status, "No change in file size", which
comes once the records are loaded, filtered, summed and released; its peak
resident memory is VmHWM from /proc just before it is killed.

  bench/measure.py --binary build/release/riravuvavu \\
      --generator build/release/bench/generate_results [--sizes 10M,100M,1G] \\
      [--runs 5] [--output file|terminal] [--shape records|long-value|long-junk]

With --output terminal the monitor writes to a pseudo-terminal that is its
controlling terminal (80 x 24, answering cursor reports), as on a console.
Prints one row per size: median wall times, the ratios, and the peak memory.
"""

import argparse
import fcntl
import os
import pty
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time

# The first sample's status: the measurement is done, total and all.
SAMPLE_DONE = b"No change in file size"

AWK_TOTAL = r"""
BEGIN { RS = "\r\n|\n|\r" }
{
  line = $0
  sub(/[\001- ]+$/, "", line)
  if (!held) {
    if (line ~ /^([A-Za-z0-9#]*=[0-9]*;)*$/) held = 1
    next
  }
  held = 0
  if (index(line, "#time=") && index(line, " by ")) next
  p = index(line, "(")
  if (p) total += substr(line, p + 1) + 0
}
END { printf "%.17g\n", total }
"""

UNITS = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def size_in_bytes(text):
    if text[-1] in UNITS:
        return int(text[:-1]) * UNITS[text[-1]]
    return int(text)


def results_file(generator, folder, size, shape):
    path = os.path.join(folder, f"results-{shape}-{size}.dat")
    if not os.path.exists(path):
        with open(path + ".part", "wb") as out:
            subprocess.run([generator, size, "--shape", shape], stdout=out, check=True)
        os.replace(path + ".part", path)
    # Into the page cache.
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass
    return path


def timed(command, **options):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True, **options)
    return time.perf_counter() - start


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def monitor_to_file(binary, scratch):
    """Runs the monitor with standard output on a file; returns (seconds, KiB)."""
    output = os.path.join(scratch, "stdout")
    with open(output, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen([binary, "100000"], cwd=scratch, stdout=out,
                                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        with open(output, "rb") as watched:
            seen = b""
            while SAMPLE_DONE not in seen:
                chunk = watched.read()
                if chunk:
                    seen = seen[-len(SAMPLE_DONE):] + chunk
                elif process.poll() is not None:
                    raise RuntimeError("the monitor ended before its first sample")
                else:
                    # Looking costs the processors that the monitor runs on:
                    # look rarely, but often enough to err by 0.5% at most.
                    waited = time.perf_counter() - start
                    time.sleep(min(0.002, max(0.0001, waited / 200)))
        elapsed = time.perf_counter() - start
    peak = peak_memory_kib(process.pid)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    return elapsed, peak


def monitor_on_terminal(binary, scratch):
    """As monitor_to_file, with a pseudo-terminal as the controlling terminal."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))

    def own_terminal():
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    start = time.perf_counter()
    process = subprocess.Popen([binary, "100000"], cwd=scratch, stdin=slave, stdout=slave,
                               stderr=subprocess.DEVNULL, preexec_fn=own_terminal)
    os.close(slave)
    seen = b""
    while SAMPLE_DONE not in seen:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            raise RuntimeError("no output from the monitor")
        chunk = os.read(master, 1 << 16)
        if b"\x1b[6n" in seen[-3:] + chunk:
            os.write(master, b"\x1b[1;1R")  # where the cursor is, as a terminal answers
        seen = seen[-len(SAMPLE_DONE):] + chunk
    elapsed = time.perf_counter() - start
    peak = peak_memory_kib(process.pid)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    os.close(master)
    return elapsed, peak


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--sizes", default="10M,100M,1G")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", choices=["file", "terminal"], default="file")
    parser.add_argument("--shape", default="records")
    parser.add_argument("--folder", default=os.path.join(tempfile.gettempdir(), "riravuvavu-bench"))
    parser.add_argument("--no-awk", action="store_true", help="skip the awk timing")
    options = parser.parse_args()

    os.makedirs(options.folder, exist_ok=True)
    binary = os.path.abspath(options.binary)
    run_monitor = monitor_on_terminal if options.output == "terminal" else monitor_to_file
    print(f"{'size':>6} {'wc -l':>8} {'awk':>8} {'monitor':>8} {'x wc':>6} {'awk/mon':>8}"
          f" {'peak MiB':>9} {'x size':>7} {'ns/byte':>8}")
    for size in options.sizes.split(","):
        path = results_file(options.generator, options.folder, size, options.shape)
        scratch = tempfile.mkdtemp(prefix="riravuvavu-bench-")
        os.symlink(path, os.path.join(scratch, "results.dat"))
        wc_times, awk_times, monitor_times, peaks = [], [], [], []
        for _ in range(options.runs):
            wc_times.append(timed(["wc", "-l", path]))
            if not options.no_awk:
                awk_times.append(timed(["awk", AWK_TOTAL, path]))
            elapsed, peak = run_monitor(binary, scratch)
            monitor_times.append(elapsed)
            peaks.append(peak)
        shutil.rmtree(scratch)
        wc = statistics.median(wc_times)
        monitor = statistics.median(monitor_times)
        awk = statistics.median(awk_times) if awk_times else float("nan")
        peak = max(peaks) / 1024
        file_size = os.path.getsize(path)
        print(f"{size:>6} {wc:8.3f} {awk:8.3f} {monitor:8.3f} {monitor / wc:6.2f} "
              f"{awk / monitor:8.1f} {peak:9.1f} {peak * (1 << 20) / file_size:7.3f} "
              f"{monitor * 1e9 / file_size:8.2f}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
