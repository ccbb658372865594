"""tools/demo in a real terminal (tmux): the simulated benchmark and the real
monitor side by side, the estimate approaching the stated rate, and Ctrl+C
stopping everything it started.
"""

import os
import re
import shlex
import subprocess

import harness

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADER = "Uptime (secs),Mpts in file,Estimate kpts/sec"
# Seconds of sampling after the baseline before the estimate is judged: the
# benchmark appends whole jobs, so a short span can be off by one job.
SETTLING_SECONDS = 16
TOLERANCE = 0.10


def processes_in(folder):
    """Ids of the processes whose working directory is folder."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.path.realpath(os.readlink(f"/proc/{entry}/cwd")) == folder:
                found.append(int(entry))
        except OSError:
            pass  # gone already, or not ours to look at
    return found


class Terminal:
    """A tmux server of our own with one pane running bash."""

    def __init__(self):
        self.tmux = ["tmux", "-L", f"riravuvavu-demo-{os.getpid()}", "-f", os.devnull]
        subprocess.run(
            self.tmux + ["new-session", "-d", "-x", "160", "-y", "50", "bash --norc --noprofile"],
            check=True,
            stdin=subprocess.DEVNULL,
        )

    def type(self, *keys):
        subprocess.run(self.tmux + ["send-keys", *keys], check=True)

    def screen(self):
        return subprocess.run(
            self.tmux + ["capture-pane", "-p", "-J", "-S", "-500"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout

    def close(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)


class DemoTest(harness.ScratchTest):
    def rows(self):
        """The data rows of the demo's one run, as (uptime, Mpts, estimate)."""
        if not os.path.exists(self.path("benchcsv.log")):
            return []
        lines = self.read_file("benchcsv.log").splitlines()
        return [tuple(map(float, line.split(","))) for line in lines if line != HEADER]

    def test_estimate_converges_and_ctrl_c_leaves_nothing_running(self):
        if harness.LAUNCHER or harness.BINARY.endswith(".exe"):
            self.skipTest("the demo script runs on Linux and macOS")
        if not os.path.isdir("/proc"):
            self.skipTest("finding what is left running needs /proc")
        folder = os.path.realpath(self.folder)
        terminal = Terminal()
        self.addCleanup(terminal.close)
        environment = "RIRAVUVAVU_BIN_DIR=" + shlex.quote(os.path.dirname(harness.BINARY))
        demo = shlex.quote(os.path.join(ROOT, "tools", "demo"))
        terminal.type(f"{environment} {demo} {shlex.quote(folder)}; echo demo-exit=$?", "Enter")

        stated = harness.wait_until(
            lambda: re.search(r"appending ([\d.]+) Mpts/s = (\d+) kpts/sec", terminal.screen()),
            what="the simulated benchmark's stated rate",
        )
        rate = float(stated.group(2))
        self.assertEqual(rate, float(stated.group(1)) * 1000)

        def settled():
            rows = self.rows()
            return rows if rows and rows[-1][0] - rows[0][0] >= SETTLING_SECONDS else None

        rows = harness.wait_until(
            settled, timeout=120, what=f"{SETTLING_SECONDS} s of estimates after the baseline"
        )
        estimate = rows[-1][2]
        self.assertLess(abs(estimate - rate), rate * TOLERANCE, rows)
        self.assertIn("Estimate", terminal.screen())

        terminal.type("C-c")
        harness.wait_until(
            lambda: "demo-exit=" in terminal.screen(), what="the demo to end after Ctrl+C"
        )
        screen = terminal.screen()
        self.assertIn("demo-exit=0", screen)
        self.assertIn("demo stopped", screen)
        # The demo waited for what it started: nothing is left in its folder.
        self.assertEqual(processes_in(folder), [])


if __name__ == "__main__":
    harness.main()
