"""The Windows build's monitor on a real console: Wine runs riravuvavu.exe in
a tmux pane, and the pane shows the console's rows. Only the first rows are
looked at: Wine mirrors changes of the console's bottom row onto the terminal
with a scroll of its own."""

import os
import shlex
import subprocess

import harness


class WindowsConsoleTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        if not harness.EMULATOR:
            self.skipTest("runs the Windows build under Wine")

    def pane(self, command):
        """A tmux server of our own with one 80 x 25 pane running command."""
        tmux = ["tmux", "-L", f"riravuvavu-windows-{os.getpid()}", "-f", os.devnull]
        subprocess.run(
            tmux + ["new-session", "-d", "-x", "80", "-y", "25", "-c", self.folder, command],
            check=True,
            stdin=subprocess.DEVNULL,
        )
        self.addCleanup(subprocess.run, tmux + ["kill-server"], capture_output=True)
        return lambda *arguments: subprocess.run(
            tmux + list(arguments), check=True, capture_output=True, text=True
        ).stdout

    def test_progress_texts_leave_nothing_behind_on_the_row(self):
        # Progress texts at 100 and 200 records, then the final text. Each
        # progress text blanks the row behind it: the one at 200 is shorter
        # than the row that the opening and the one at 100 left.
        self.write_file(
            "results.dat",
            "".join(f"#job={job};n=1;\r\n1.0 (1.0 Mpts) job {job}\r\n" for job in range(300)),
        )
        tmux = self.pane(shlex.join([*harness.EMULATOR, harness.BINARY, "300"]))

        def rows():
            return [row.rstrip() for row in tmux("capture-pane", "-p").split("\n")[:5]]

        shown = harness.wait_until(
            lambda: (r := rows())[3] == "No change in file size" and r,
            what="the first sample's status text",
        )
        self.assertEqual(
            shown,
            [
                "RiravUvavu started.  Interval = 300.0 sec",
                "",
                "Loading 'results.dat'... OK (300 results)",
                "No change in file size",
                "",
            ],
        )
        # "\r" ends the status text: the cursor waits at the row's start.
        self.assertEqual(tmux("display", "-p", "#{cursor_x} #{cursor_y}").split(), ["0", "3"])


if __name__ == "__main__":
    harness.main()
