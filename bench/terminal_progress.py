#!/usr/bin/env python3
"""What the progress line costs on a terminal: a results file of 100,000
records read with standard output on a terminal (a tmux pane of 80 x 25) and
then with standard output sent to a file (console_clear_to_eol still acts on
the terminal). The terminal's reading must cost at most twice the file's.

    bench/terminal_progress.py --program BUILD/terminal_progress [--records N] [--rounds N]

Prints the median seconds of each way of reading and their ratio; exits 1
when a ratio is above 2.
"""

import argparse
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

LIMIT = 2.0


def write_results(path, records):
    with open(path, "w") as f:
        for job in range(records):
            f.write(f"#job={job};n={job % 97};\n{job % 7}.25 ({job % 7}.25 Mpts) job {job} done\n")


def wait_for(path, timeout):
    delay = 0.01
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {path}")
        time.sleep(delay)
        delay = min(delay * 2, 0.5)


def medians(report):
    seconds = {}
    with open(report) as f:
        for line in f:
            name, value = line.split()
            seconds.setdefault(name, []).append(float(value))
    return {name: statistics.median(values) for name, values in seconds.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--records", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()
    program = shlex.quote(os.path.abspath(options.program))

    with tempfile.TemporaryDirectory(prefix="riravuvavu-bench-") as folder:
        write_results(os.path.join(folder, "results.dat"), options.records)
        run = f"{program} results.dat {options.rounds}"
        script = (
            f"{run} terminal.txt; {run} file.txt > stdout.txt; "
            "touch done; exec sleep 100000"
        )
        tmux = ["tmux", "-L", f"riravuvavu-bench-{os.getpid()}", "-f", os.devnull]
        subprocess.run(
            tmux + ["new-session", "-d", "-x", "80", "-y", "25", "-c", folder, script],
            check=True,
            stdin=subprocess.DEVNULL,
        )
        try:
            wait_for(os.path.join(folder, "done"), timeout=600)
        finally:
            subprocess.run(tmux + ["kill-server"], capture_output=True)
        terminal = medians(os.path.join(folder, "terminal.txt"))
        to_file = medians(os.path.join(folder, "file.txt"))

    print(f"{options.records} records, median of {options.rounds} readings")
    print(f"{'reading':<10}{'terminal s':>12}{'file s':>12}{'ratio':>8}")
    worst = 0.0
    for name in sorted(terminal):
        ratio = terminal[name] / to_file[name]
        worst = max(worst, ratio)
        print(f"{name:<10}{terminal[name]:>12.4f}{to_file[name]:>12.4f}{ratio:>8.2f}")
    print(f"limit {LIMIT:.1f}: {'ok' if worst <= LIMIT else 'TOO SLOW'}")
    return 0 if worst <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main())
