"""The install rules and the package of the build that made the monitor binary:
cmake --install into a scratch prefix, and CPack's .deb (Linux) or .zip
(Windows), each checked for the programs and the manual pages.
"""

import filecmp
import glob
import os
import shutil
import subprocess
import zipfile

import harness


class PackageTest(harness.ScratchTest):
    def setUp(self):
        super().setUp()
        self.build = os.path.dirname(harness.BINARY)
        if not os.path.exists(os.path.join(self.build, "CPackConfig.cmake")):
            self.fail(f"{self.build} is not a CMake build folder with packaging")
        self.windows = harness.BINARY.endswith(".exe")
        suffix = ".exe" if self.windows else ""
        self.programs = ["riravuvavu" + suffix, "riravuvavu-plot" + suffix]
        self.pages = [] if self.windows else ["riravuvavu.1", "riravuvavu-plot.1"]

    def run_tool(self, *command):
        return subprocess.run(
            command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300
        )

    def test_install_puts_programs_and_manual_pages_in_place(self):
        prefix = self.path("prefix")
        result = self.run_tool(shutil.which("cmake"), "--install", self.build, "--prefix", prefix)
        self.assertEqual(result.returncode, 0, result.stderr)
        for program in self.programs:
            installed = os.path.join(prefix, "bin", program)
            self.assertTrue(filecmp.cmp(installed, os.path.join(self.build, program), False))
        for page in self.pages:
            installed = os.path.join(prefix, "share", "man", "man1", page)
            self.assertTrue(os.path.isfile(installed), installed)
            if shutil.which("man"):
                shown = self.run_tool("man", "-l", installed)
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertIn(page[:-2], shown.stdout.replace("\u2010", "-"))
        usage = subprocess.run(
            harness.LAUNCHER + [os.path.join(prefix, "bin", self.programs[1]), "--help"],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=60,
        )
        self.assertEqual(usage.returncode, 0, usage.stderr)
        self.assertIn("usage: riravuvavu-plot", usage.stdout)

    def test_package_holds_programs_and_manual_pages(self):
        output = self.path("packages")
        config = os.path.join(self.build, "CPackConfig.cmake")
        result = self.run_tool(shutil.which("cpack"), "--config", config, "-B", output)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        if self.windows:
            (archive,) = glob.glob(os.path.join(output, "riravuvavu-*.zip"))
            with zipfile.ZipFile(archive) as package:
                names = package.namelist()
            expected = ["bin/" + program for program in self.programs]
            for name in expected:
                self.assertTrue(any(n.endswith("/" + name) for n in names), (name, names))
            return
        (archive,) = glob.glob(os.path.join(output, "riravuvavu_*.deb"))
        listing = self.run_tool("dpkg-deb", "--contents", archive).stdout
        names = [line.split()[-1] for line in listing.splitlines()]
        expected = ["./usr/bin/" + program for program in self.programs]
        expected += ["./usr/share/man/man1/" + page for page in self.pages]
        for name in expected:
            self.assertIn(name, names)
        # The libraries it needs were found and named.
        depends = self.run_tool("dpkg-deb", "--field", archive, "Depends").stdout
        self.assertIn("libc6", depends)


if __name__ == "__main__":
    harness.main()
