"""The console operations and the monitor's progress line in a real terminal:
tmux panes of 80 x 25 running console_demo (built beside the monitor) or the
monitor itself, read back with capture-pane.
"""

import os
import re
import shlex
import subprocess
import time

import harness

SGR = re.compile(r"\x1b\[([0-9;]*)m")


class Terminal:
    """A tmux server of our own whose one pane runs `command` in `folder`."""

    count = 0

    def __init__(self, command, folder):
        Terminal.count += 1
        name = f"riravuvavu-terminal-{os.getpid()}-{Terminal.count}"
        self.tmux = ["tmux", "-L", name, "-f", os.devnull]
        subprocess.run(
            self.tmux
            + ["new-session", "-d", "-x", "80", "-y", "25", "-c", folder, command],
            check=True,
            stdin=subprocess.DEVNULL,
        )

    def run(self, *arguments):
        return subprocess.run(
            self.tmux + list(arguments), check=True, capture_output=True, text=True
        ).stdout

    def rows(self, escapes=False):
        """The 25 rows of the pane; with escapes, with tmux's SGR sequences."""
        options = ["-e"] if escapes else []
        return self.run("capture-pane", "-p", "-N", *options).split("\n")[:25]

    def wait_for(self, needle, timeout=30.0):
        return harness.wait_until(
            lambda: needle in "\n".join(self.rows()), timeout, repr(needle)
        )

    def cursor(self):
        """(column, row, visible), 0-based."""
        x, y, flag = self.run(
            "display", "-p", "#{cursor_x} #{cursor_y} #{cursor_flag}"
        ).split()
        return int(x), int(y), flag == "1"

    def type(self, *keys):
        self.run("send-keys", *keys)

    def close(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)


def colours(row):
    """(character, foreground, background) for each cell of a captured row;
    colours are SGR numbers, None for the terminal's default."""
    cells = []
    foreground = background = None
    position = 0
    for match in SGR.finditer(row + "\x1b[m"):
        for character in row[position : match.start()]:
            cells.append((character, foreground, background))
        position = match.end()
        codes = [int(code) for code in match.group(1).split(";") if code] or [0]
        for code in codes:
            if code == 0:
                foreground = background = None
            elif 30 <= code <= 37 or 90 <= code <= 97:
                foreground = code
            elif 40 <= code <= 47 or 100 <= code <= 107:
                background = code
            elif code == 39:
                foreground = None
            elif code == 49:
                background = None
    return cells


class TerminalTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        if harness.LAUNCHER or harness.BINARY.endswith(".exe"):
            self.skipTest("runs in a POSIX terminal")
        self.demo = os.path.join(os.path.dirname(harness.BINARY), "console_demo")

    def terminal(self, command):
        terminal = Terminal(command, self.folder)
        self.addCleanup(terminal.close)
        return terminal

    def demo_command(self, *steps):
        return " ".join(shlex.quote(part) for part in (self.demo, *steps))

    def test_screen_operations(self):
        terminal = self.terminal(
            self.demo_command(
                "print:junk on the screen\\njunk\\n",
                "reset",
                "move:1,1", "write:AAAAAAAAAA",
                "move:1,2", "write:BBBBBBBBBB",
                "move:1,3", "write:CCCCCCCCCC",
                "move:1,4", "write:DDDDDDDDDD",
                "move:1,5", "write:EEEEEEEEEE",
                "move:1,2", "delete",
                "move:1,3", "insert",
                "move:4,1", "eol",
                "move:1,7", "fg:4", "write:RED", "bg:1", "write:ON", "high", "write:HI",
                "normal", "write:N",
                "move:1,9", "write:XXXXXXXXXX", "move:5,9", "bg:2", "eol", "normal",
                "copy:1,1,3,1,2,11",
                "shape:0",
                "move:30,12",
                "write:done",
                "hold",
            )
        )
        terminal.wait_for("done")
        rows = [row.rstrip() for row in terminal.rows()]
        self.assertEqual(rows[0], "AAA")
        self.assertEqual(rows[1:5], ["CCCCCCCCCC", "", "DDDDDDDDDD", "EEEEEEEEEE"])
        self.assertEqual(rows[10], " AAA")
        self.assertNotIn("junk", "\n".join(rows))

        coloured = terminal.rows(escapes=True)
        red_black, red_blue, bright_red_blue = (31, 40), (31, 44), (91, 44)
        self.assertEqual(
            colours(coloured[6])[:8],
            [(c, *red_black) for c in "RED"]
            + [(c, *red_blue) for c in "ON"]
            + [(c, *bright_red_blue) for c in "HI"]
            + [("N", None, None)],
        )
        row9 = colours(coloured[8])
        self.assertEqual(row9[:4], [("X", None, None)] * 4)
        self.assertEqual(row9[4:], [(" ", 37, 42)] * 76)
        self.assertEqual(terminal.cursor(), (33, 11, False))

    def test_progress_text_through_standard_output_is_cleared_behind(self):
        terminal = self.terminal(
            self.demo_command(
                "print:\\n\\nbefore",
                "print:\\ra much longer progress text",
                "eol",
                "print:\\rshort",
                "eol",
                "print:\\r\\nnext row",
                "hold",
            )
        )
        terminal.wait_for("next row")
        rows = [row.rstrip() for row in terminal.rows()]
        self.assertEqual(rows[2:4], ["short", "next row"])
        self.assertEqual(terminal.cursor()[:2], (8, 3))

    def prompt_command(self, *steps):
        """The demo between two `stty -g`, so the mode after can be compared."""
        return (
            "stty -g > before; "
            + self.demo_command(*steps)
            + "; stty -g > after.part; mv after.part after; exec sleep 100000"
        )

    def stty_after(self):
        harness.wait_until(
            lambda: os.path.exists(self.path("after")), what="the demo's end"
        )
        return self.read_file("before"), self.read_file("after")

    def test_prompt_reads_eight_keys_unechoed_and_restores_the_mode(self):
        terminal = self.terminal(
            self.prompt_command(
                "print:ready\\n",
                "wait:go",
                "prompt:Password: ",
                "prompt:Again: ",
                "wprompt:Wide: ",
            )
        )
        terminal.wait_for("ready")
        terminal.type("-l", "early")  # before the prompt: discarded
        self.write_file("go", "")
        terminal.wait_for("Password: ")
        terminal.type("-l", "ab")
        terminal.type("C-c")
        terminal.type("-l", "cdefg")
        terminal.wait_for("answer=[ab\\x03cdefg]")
        terminal.wait_for("Again: ")
        terminal.type("Enter")
        terminal.wait_for("answer=[]")
        terminal.wait_for("Wide: ")
        terminal.type("-l", "\u00e9\u20ac\U0001f600")
        terminal.type("Enter")
        terminal.wait_for("answer=[U+00E9 U+20AC U+D83D U+DE00]")

        before, after = self.stty_after()
        self.assertEqual(after, before)
        # The keys typed early were echoed by the terminal's own line editing,
        # before the prompt; nothing typed at the prompt shows.
        rows = [row.rstrip() for row in terminal.rows()]
        prompt_row = next(i for i, row in enumerate(rows) if "Password:" in row)
        self.assertEqual(rows[prompt_row], "earlyPassword:")
        self.assertEqual(rows[prompt_row + 1], "answer=[ab\\x03cdefg]")

    def test_prompt_ended_by_a_signal_restores_the_mode(self):
        for signal_name in ("TERM", "HUP", "INT"):
            with self.subTest(signal_name):
                for name in ("before", "after"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                terminal = self.terminal(self.prompt_command("prompt:Password: "))
                terminal.wait_for("Password: ")
                demo = self.demo_process(terminal)
                subprocess.run(["kill", "-" + signal_name, str(demo)], check=True)
                before, after = self.stty_after()
                self.assertEqual(after, before)
                terminal.close()

    def demo_process(self, terminal):
        """The id of the demo, the child of the pane's shell."""
        shell = terminal.run("display", "-p", "#{pane_pid}").strip()

        def child():
            try:
                with open(f"/proc/{shell}/task/{shell}/children") as f:
                    children = f.read().split()
            except OSError:
                return None
            return children[0] if children else None

        return harness.wait_until(child, what="the demo's process")

    def test_monitor_overwrites_its_progress_line(self):
        records = 350
        with open(self.path("results.dat"), "w") as f:
            for job in range(records):
                f.write(f"#job={job};n=1;\n1.5 (1.5 Mpts) job {job} done\n")
        monitor = shlex.quote(harness.BINARY)
        # Rows full of X first, then back to the top: whatever the monitor
        # does not overwrite or blank shows. Its output is recorded as sent.
        filler = ("X" * 79 + "\\n") * 6
        terminal = self.terminal(
            "until [ -e go ]; do sleep 0.01; done; "
            f"printf '{filler}\\033[6A'; exec {monitor} 100"
        )
        terminal.run("pipe-pane", "-o", f"cat > {shlex.quote(self.path('sent'))}")
        self.write_file("go", "")
        final = f"Loading 'results.dat'... OK ({records} results)"
        terminal.wait_for(final)

        rows = [row.rstrip() for row in terminal.rows()]
        self.assertIn(final, rows)
        sent = harness.wait_until(
            lambda: (lambda s: s if final in s else None)(self.read_file("sent")),
            what="the recorded output",
        )
        self.assertEqual(sent.count("\x1b[K"), records // 100)
        self.assertLessEqual(sent.count("\x1b[6n"), 1)


if __name__ == "__main__":
    harness.main()
