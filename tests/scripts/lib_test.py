#!/usr/bin/env python3
"""scripts/lib.sh, the steps the set-up scripts share, driven through bash
with fake apt-cache, apt-get and sudo programs first on the PATH:

- a failing step ends the script with a line naming the file, the line and
  the command, also from a function, a command substitution and a pipeline;
- source_version reads apt-cache's output to its end, so a writer with more
  lines after the match (and slow to close) is not killed by SIGPIPE;
- apt_get waits while the package lists' lock is held, and fails at once,
  with apt-get's words, on any other error.

QUELLON_SOURCE_DIR names the source tree (ctest sets it).
"""

import os
import re
import subprocess
import tempfile
import unittest

SOURCE_DIR = os.environ.get("QUELLON_SOURCE_DIR") or \
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIB = os.path.join(SOURCE_DIR, "scripts", "lib.sh")

MAIN = "   openssl | 3.0.20-1~deb12u2 | bookworm/main Sources"
UPDATES = "   openssl | 3.0.21-1~deb12u1 | bookworm-updates/main Sources"
SECURITY = "   openssl | 3.0.21-1~deb12u1 | bookworm-security/main Sources"
BINARY = "   openssl | 3.0.21-1~deb12u1 | bookworm-security/main amd64 Packages"


class ScriptRun:
    """A bash script under set -euo pipefail that sources scripts/lib.sh, run
    in a folder of its own whose bin/ comes first on the PATH."""

    def __init__(self, test):
        self.folder = tempfile.mkdtemp(prefix="quellon-lib-test-")
        test.addCleanup(subprocess.run, ["rm", "-rf", self.folder])
        self.bin = os.path.join(self.folder, "bin")
        os.mkdir(self.bin)
        # sudo, where the test runs without root, runs the fake apt-get.
        self.program("sudo", 'exec "$@"')

    def program(self, name, body):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write("#!/usr/bin/env bash\n" + body + "\n")
        os.chmod(path, 0o755)

    def run(self, body, env=None):
        """Runs body after the script's preamble; returns (status, stdout,
        stderr). The preamble is three lines: body's first line is line 4."""
        script = os.path.join(self.folder, "step.sh")
        with open(script, "w") as f:
            f.write("#!/usr/bin/env bash\nset -euo pipefail\nsource '%s'\n%s\n" % (LIB, body))
        environment = dict(os.environ, PATH=self.bin + ":" + os.environ["PATH"],
                           QUELLON_APT_RETRY_SECONDS="0.1", **(env or {}))
        done = subprocess.run(["bash", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=environment, timeout=60)
        return done.returncode, done.stdout.decode(), done.stderr.decode()


def madison(lines, status=0):
    """The body of a fake apt-cache: prints lines; after the main archive's
    Sources line, more lines than awk reads in one go (mawk fills a buffer
    before it looks at a line) and a pause, so that a reader that leaves at
    the match is gone when the rest is written; then exits with status."""
    out = []
    for line in lines:
        out.append("printf '%%s\\n' '%s'" % line)
        if line == MAIN:
            out.append("for i in $(seq 3000); do printf '%%s\\n' '%s'; done" % BINARY)
            out.append("sleep 0.3")
    out.append("exit %d" % status)
    return 'if [ "$1" != madison ]; then exit 2; fi\n' + "\n".join(out)


class SourceVersion(unittest.TestCase):
    CASES = [
        # name, apt-cache's lines, its exit status, the version or None (fails)
        ("main first, then updates and security, slow to close",
         [MAIN, UPDATES, SECURITY], 0, "3.0.20-1~deb12u2"),
        ("binary and security lines before main", [BINARY, SECURITY, MAIN, UPDATES], 0,
         "3.0.20-1~deb12u2"),
        ("no deb-src lines", [BINARY], 0, None),
        ("only security sources", [SECURITY, UPDATES], 0, None),
        ("apt-cache fails", [MAIN], 100, None),
    ]

    def test_cases(self):
        for name, lines, status, version in self.CASES:
            with self.subTest(name):
                run = ScriptRun(self)
                run.program("apt-cache", madison(lines, status))
                code, out, err = run.run('v=$(source_version openssl)\necho "version=$v"')
                if version is None:
                    self.assertNotEqual(0, code, name)
                    self.assertNotIn("version=", out, name)
                    self.assertRegex(err, r'step\.sh line 4: "v=\$\(source_version openssl\)" '
                                     r'failed with status \d+', name)
                else:
                    self.assertEqual((0, "version=%s\n" % version, ""), (code, out, err), name)


class FailureLine(unittest.TestCase):
    CASES = [
        # name, the script's body, a line its stderr must hold
        ("a command", "true\nfalse\necho unreached",
         r'step\.sh line 5: "false" failed with status 1'),
        ("a pipeline whose first command fails", "printf 'a\\nb\\n' | (exit 3) | cat\necho unreached",
         r'step\.sh line 4: .* failed with status 3'),
        ("inside a function", "f() {\n  local x=1\n  ls /no/such/path\n}\nf\necho unreached",
         r'step\.sh line 6: "ls /no/such/path" failed with status 2'),
        ("a command substitution stops at its first failure",
         "v=$(false; echo half)\necho \"unreached $v\"",
         r'step\.sh line 4: "false" failed with status 1'),
        ("the caller of a failing substitution is named too",
         "v=$(false; echo half)\necho \"unreached $v\"",
         r'step\.sh line 4: "v=\$\(false; echo half\)" failed with status 1'),
    ]

    def test_cases(self):
        for name, body, line in self.CASES:
            with self.subTest(name):
                code, out, err = ScriptRun(self).run(body)
                self.assertNotEqual(0, code, name)
                self.assertNotIn("unreached", out, name)
                self.assertRegex(err, line, "%s: %s" % (name, err))

    def test_a_script_that_succeeds_says_nothing(self):
        code, out, err = ScriptRun(self).run("false || true\nif false; then :; fi\necho done")
        self.assertEqual((0, "done\n", ""), (code, out, err))


class AptGet(unittest.TestCase):
    LOCKED = ("E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)\n"
              "E: Unable to lock directory /var/lib/apt/lists/")

    def fake_apt_get(self, run, failures, message, status=100):
        """apt-get that fails `failures` times with message, then succeeds;
        every call's arguments are appended to calls.txt."""
        calls = os.path.join(run.folder, "calls.txt")
        run.program("apt-get", """echo "$*" >> '%s'
n=$(wc -l < '%s')
if [ "$n" -le %d ]; then printf '%%s\\n' '%s' >&2; exit %d; fi
echo "apt-get did $1" """ % (calls, calls, failures, message.replace("'", ""), status))
        return calls

    CASES = [
        # name, failures, apt-get's message, seconds to wait, status, calls
        ("lists lock free", 0, "", "900", 0, 1),
        ("lists lock held twice, then free", 2, LOCKED, "900", 0, 3),
        ("lists lock held past the wait", 1000, LOCKED, "2", 100, None),
        ("another error fails at once", 1000, "E: The repository is not signed.", "900", 100, 1),
    ]

    def test_cases(self):
        for name, failures, message, wait, status, calls in self.CASES:
            with self.subTest(name):
                run = ScriptRun(self)
                calls_file = self.fake_apt_get(run, failures, message)
                code, out, err = run.run("apt_get update -qq\necho updated",
                                         {"QUELLON_APT_WAIT": wait})
                self.assertEqual(status, code, "%s: %s" % (name, err))
                with open(calls_file) as f:
                    made = f.read().splitlines()
                if calls is not None:
                    self.assertEqual(calls, len(made), name)
                else:
                    self.assertGreater(len(made), 2, name)
                for call in made:
                    self.assertEqual("-o DPkg::Lock::Timeout=%s update -qq" % wait, call, name)
                if status == 0:
                    self.assertEqual("apt-get did -o\nupdated\n", out, name)
                else:
                    self.assertIn(message.splitlines()[0], err, name)
                    self.assertRegex(err, r'step\.sh line 4: "apt_get update -qq" failed', name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
