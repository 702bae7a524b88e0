"""Starts qvutil for the tool tests, under the cross build's emulator when there is one."""

import os
import shutil
import subprocess
import tempfile
import unittest

# The commands that answer only with exit status 0 or 2. Under wine a start has once ended
# with status 1 and nothing on standard error, the program's own code never reached: for
# these commands a 1 can only be the emulator's, so the run is made once more (with the
# same input; they write nothing but their output).
NEVER_ONE = {"inspect", "frames", "scan", "escape", "unescape", "demux"}


def run_tool(emulator, qvutil, args, stdin=b"", env=None, timeout=300):
    def start():
        return subprocess.run(emulator + [qvutil] + args, input=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env, timeout=timeout)
    p = start()
    if emulator and p.returncode == 1 and args and args[0] in NEVER_ONE:
        p = start()
    return p


class CorpusCase(unittest.TestCase):
    """Tests over a folder of files made once with ffmpeg (make_corpus), and a scratch folder
    of their own. Without ffmpeg they are skipped, or fail where the data is required."""
    require = False

    @staticmethod
    def make_corpus():
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        if not shutil.which("ffmpeg") or not shutil.which("ffprobe"):
            if cls.require:
                raise AssertionError("ffmpeg and ffprobe are needed (Debian: ffmpeg)")
            raise unittest.SkipTest("no ffmpeg/ffprobe: install Debian's ffmpeg to run these tests")
        cls.dir = cls.make_corpus()
        cls.tmp = tempfile.mkdtemp()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path
