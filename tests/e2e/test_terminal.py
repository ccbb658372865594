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

    def test_print_and_clear_in_one_sends_what_the_two_steps_send(self):
        # Each case: steps that set the scene, then texts that are each printed
        # and cleared behind: with printeol for each, with print and eol for
        # each, and with printeach for all of them at once. The panes must
        # receive the same bytes; then each redraws its screen from the
        # layer's shadow and shows its cursor account, which must agree as
        # well.
        cases = {
            "over a longer text": (
                ["move:1,3", "print:a much longer text at first"],
                ["\\rshort", "\\r\\nnext row"],
            ),
            "in colour over other colours": (
                ["move:1,3", "bg:2", "write:green row", "bg:4", "fg:14"],
                ["\\rred", "\\rre"],
            ),
            "to the last column": (["move:1,3"], ["x" * 80, "\\ry"]),
            "past the row's end": (["move:1,3"], ["y" * 100, "z"]),
            "on the bottom row": (
                ["move:1,25", "print:bottom"],
                ["\\r\\nscrolled", "\\ris"],
            ),
            "with an escape of its own": (
                ["move:1,3"],
                ["\\e[1mbold", "\\e[0m\\rplain"],
            ),
        }
        ways = {
            "one": lambda texts: ["printeol:" + text for text in texts],
            "two": lambda texts: [step for text in texts for step in ("print:" + text, "eol")],
            "together": lambda texts: ["printeach:" + "|".join(texts)],
        }
        panes = {}
        for case, (scene, texts) in cases.items():
            for way, steps in ways.items():
                sent = self.path(f"sent-{len(panes)}")
                terminal = self.terminal(
                    self.demo_command(
                        "wait:go",
                        *scene,
                        *steps(texts),
                        "info",
                        "restore:1,1,80,25",
                        "write:[end]",
                        "hold",
                    )
                )
                terminal.run("pipe-pane", "-o", f"cat > {shlex.quote(sent)}")
                panes[case, way] = terminal, sent
        self.write_file("go", "")
        for case in cases:
            with self.subTest(case):
                shown = {}
                for way in ways:
                    terminal, sent = panes[case, way]
                    terminal.wait_for("[end]")
                    received = harness.wait_until(
                        lambda: (s := self.read_file(sent)).endswith("[end]") and s,
                        what="the recorded output",
                    )
                    screen = terminal.rows(escapes=True), terminal.cursor()
                    shown[way] = received, screen
                self.assertEqual(shown["one"], shown["two"])
                self.assertEqual(shown["together"], shown["two"])

    def test_print_and_clear_goes_out_in_one_write(self):
        # The demo under strace: what it writes after a move that makes the
        # cursor's place known, as (descriptor, bytes); standard output is 1.
        write = re.compile(r'write\((\d+), "((?:\\x[0-9a-f]{2})*)", \d+\)')
        cases = [
            ("plain", "printeol:text", [(1, b"text\x1b[K")]),
            ("carriage return first", "printeol:\\rtext", [(1, b"\rtext\x1b[K")]),
            ("texts together", "printeach:\\rone|\\rtwo", [(1, b"\rone\x1b[K\rtwo\x1b[K")]),
            ("escape of its own", "printeol:\\e[1mtext", None),
        ]
        for number, (name, step, expected) in enumerate(cases):
            with self.subTest(name):
                trace = self.path(f"trace-{number}")
                # LeakSanitizer, where the build has it, cannot run under a
                # tracer and would report so in writes of its own.
                terminal = self.terminal(
                    'ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" '
                    f"strace -o {shlex.quote(trace)} -xx -s 4096 -e trace=write "
                    + self.demo_command("move:1,3", step)
                    + "; printf '\\n[end]'; exec sleep 100000"
                )
                terminal.wait_for("[end]")
                writes = [
                    (int(fd), bytes.fromhex(data.replace("\\x", "")))
                    for fd, data in write.findall(self.read_file(trace))
                ]
                self.assertEqual(writes[0][1], b"\x1b[3;1H")
                after_move = writes[1:]
                if expected is None:
                    # Where it leaves the cursor is not known: the text alone,
                    # then the terminal is asked and the row cleared.
                    self.assertEqual(after_move[0], (1, b"\x1b[1mtext"))
                    self.assertIn(b"\x1b[6n", after_move[1][1])
                    self.assertTrue(after_move[-1][1].endswith(b"\x1b[K"))
                else:
                    self.assertEqual(after_move, expected)

    def test_print_and_clear_to_a_file_writes_the_texts_alone(self):
        cases = [("printeol:\\rtext", "\rtext"), ("printeach:\\rone|\\rtwo", "\rone\rtwo")]
        for number, (step, expected) in enumerate(cases):
            with self.subTest(step):
                out = f"out-{number}"
                terminal = self.terminal(
                    self.demo_command("write:XXXXXXXXXX", "move:3,1", step)
                    + f" > {out}; printf '\\n[end]'; exec sleep 100000"
                )
                terminal.wait_for("[end]")
                self.assertEqual(self.read_file(out), expected)
                # The clear still reaches the terminal, at the terminal's cursor.
                self.assertEqual(terminal.rows()[0].rstrip(), "XX")

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
