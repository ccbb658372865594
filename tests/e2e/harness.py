"""Runs the real monitor binary in a scratch folder and waits for what it shows.

Every end-to-end test takes `--binary PATH` (the monitor, as CTest builds it)
and optionally `--launcher CMD` (a program that runs it, such as Wine with
the launcher that gives it a console of its own) and `--emulator CMD` (what
runs a program of the build straight in the caller's terminal, such as Wine).
Nothing here sleeps a fixed time: waits poll with back-off until the expected
text or file appears, or fail after a generous timeout.
"""

import argparse
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None
LAUNCHER = []
EMULATOR = []
# Line end that the monitor's text-mode streams write: CR LF on Windows.
NEWLINE = "\n"


def parse_arguments():
    """Takes the harness's own options off sys.argv and leaves unittest's."""
    global BINARY, LAUNCHER, EMULATOR, NEWLINE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--launcher", default="")
    parser.add_argument("--emulator", default="")
    parser.add_argument("--newline", default="\\n")
    options, rest = parser.parse_known_args()
    BINARY = os.path.abspath(options.binary)
    LAUNCHER = shlex.split(options.launcher)
    EMULATOR = shlex.split(options.emulator)
    NEWLINE = options.newline.encode().decode("unicode_escape")
    sys.argv = sys.argv[:1] + rest


def main():
    parse_arguments()
    unittest.main(verbosity=2)


def text(value):
    """A text as the monitor writes it to a file: "\\n" becomes NEWLINE."""
    return value.replace("\n", NEWLINE)


def wait_until(condition, timeout=30.0, what="condition"):
    """Polls condition() with back-off until it returns a true value."""
    delay = 0.005
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(delay)
        delay = min(delay * 2, 0.2)


class Monitor:
    """The monitor running in `folder`, its output captured in files."""

    def __init__(self, folder, *arguments, env=None, **popen_options):
        """popen_options go to subprocess.Popen (preexec_fn, for example)."""
        self.folder = folder
        self.stdout_path = os.path.join(folder, ".stdout")
        self.stderr_path = os.path.join(folder, ".stderr")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                LAUNCHER + [BINARY, *arguments],
                cwd=folder,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=err,
                env=env,
                start_new_session=True,
                **popen_options,
            )

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("latin-1")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("latin-1")

    def wait_for_output(self, needle, count=1, timeout=30.0):
        """Waits until stdout holds `needle` at least `count` times; returns stdout."""

        def seen():
            if self.process.poll() is not None:
                raise AssertionError(
                    f"monitor exited with {self.process.returncode}:\n"
                    f"{self.stdout()}\n{self.stderr()}"
                )
            out = self.stdout()
            return out if out.count(needle) >= count else None

        return wait_until(seen, timeout, f"{count} x {needle!r}")

    def wait_for_sample(self, number, timeout=30.0):
        """Waits until sample `number` (from 1) has shown its status text;
        returns what that sample wrote after the loader's opening text."""
        opening = "Loading 'results.dat'..."
        status_end = re.compile(
            "(No change in file size\r|No estimate so far" + NEWLINE + "|kpts/sec" + NEWLINE + ")$"
        )

        def seen():
            samples = self.wait_for_output(opening, count=1, timeout=timeout).split(opening)[1:]
            finished = [s for s in samples if s and status_end.search(s)]
            return finished[number - 1] if len(finished) >= number else None

        return wait_until(seen, timeout, f"sample {number}")

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()


class ScratchTest(unittest.TestCase):
    """A test with its own scratch folder, removed afterwards."""

    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="riravuvavu-")
        self.folder = self._scratch.name
        self.monitors = []

    def tearDown(self):
        for monitor in self.monitors:
            monitor.stop()
        self._scratch.cleanup()

    def start(self, *arguments, env=None, **popen_options):
        monitor = Monitor(self.folder, *arguments, env=env, **popen_options)
        self.monitors.append(monitor)
        return monitor

    def path(self, name):
        return os.path.join(self.folder, name)

    def write_file(self, name, data, mode="wb"):
        """Replaces a file's content in place (same inode, as a writer would)."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        with open(self.path(name), mode) as f:
            f.write(data)

    def read_file(self, name):
        with open(self.path(name), "rb") as f:
            return f.read().decode("latin-1")
