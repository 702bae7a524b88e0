#!/usr/bin/env python3
"""What the tool must do alike on every platform it is built for (Linux, and Windows under
wine): open any file name, keep standard input and output binary, read past 4 GiB, and
word its failures the same way.

    test_platform_io.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]
"""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from qvtool import run_tool

QVUTIL, SAMPLES = sys.argv[1], sys.argv[2]
EMULATOR = sys.argv[5:]
SAMPLE = os.path.join(SAMPLES, "sample.h264")


def run(args, stdin=b"", piece=None):
    env = dict(os.environ, LANG="C.UTF-8")  # wine turns the command line into UTF-16 by the locale
    if piece:
        env["QVUTIL_PIECE_SIZE"] = str(piece)
    p = run_tool(EMULATOR, QVUTIL, args, stdin, env)
    return p.returncode, p.stdout, p.stderr


def escape_model(data):
    out, win = bytearray(), 0
    for i, b in enumerate(data):
        win = ((win << 8) | b) & 0xFFFFFFFF
        if i >= 3 and (win & 0xFFFFFFF0) == 0x1F0:
            out.append(0xFF)
        out.append(b)
    return bytes(out)


class Platform(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="qvutil-io-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_file_names_in_any_script(self):
        with open(SAMPLE, "rb") as f:
            want = hashlib.md5(f.read()).hexdigest()
        for name in ["plain.h264", "with space.h264", "séquence-ü.h264", "名前-видео.h264", "emoji-🎞.h264"]:
            path = os.path.join(self.tmp, name)
            shutil.copyfile(SAMPLE, path)
            rc, out, err = run(["md5", path])
            self.assertEqual((rc, out, err), (0, f"{want}  {path}\n".encode(), b""), name)
            rc, out, _ = run(["scan", "--find", "0x165", path])
            self.assertEqual((rc, out.splitlines()[-1]), (0, b"2 start codes 0x165 (IDR slice), H.264/AVC"), name)

    def test_inputs_that_cannot_be_opened(self):
        missing = os.path.join(self.tmp, "no-such-file.h264")
        rows = [
            (["scan", missing], f"qvutil: {missing}: No such file or directory\n"),
            (["scan", "--reverse", missing], f"qvutil: {missing}: No such file or directory\n"),
            (["escape", missing], f"qvutil: {missing}: No such file or directory\n"),
            (["scan", self.tmp], f"qvutil: {self.tmp}: Is a directory\n"),
            (["escape", SAMPLE, "-o", self.tmp], f"qvutil: {self.tmp}: Is a directory\n"),
            (["escape", SAMPLE, "-o", os.path.join(missing, "out")],
             f"qvutil: {os.path.join(missing, 'out')}: No such file or directory\n"),
        ]
        for args, message in rows:
            rc, out, err = run(args)
            self.assertEqual((rc, out, err.decode()), (2, b"", message), args)

    def test_standard_streams_are_binary(self):
        # LF, CR LF, a lone CR and ^Z (end of text in Windows text mode) must pass untouched.
        payload = b"a\nb\r\nc\rd\x1ae\x00\x00\x01\xf5\r\n\x00\x00\x01\xff\x1a\n" * 50
        escaped = escape_model(payload)
        rows = [
            (["escape"], payload, escaped),
            (["unescape"], escaped, payload),
            (["base64", "-d"], base64.b64encode(payload), payload),
            (["base64", "-w", "0"], payload, base64.b64encode(payload)),
        ]
        for args, stdin, want in rows:
            for piece in (None, 7):
                rc, out, err = run(args, stdin=stdin, piece=piece)
                self.assertEqual((rc, err), (0, b""), (args, piece))
                self.assertEqual(out, want, (args, piece))

    @unittest.skipIf(any("qemu" in a for a in EMULATOR),
                     "4 GiB of zeros take half a minute under qemu; the 64-bit targets it runs share "
                     "the native build's offsets, and wine (32-bit long) keeps the test")
    def test_files_past_4_gib(self):
        # A sparse file: start codes at offset 3 and past 2^32, holes (zeros) between.
        path = os.path.join(self.tmp, "big.bin")
        far = (1 << 32) + 16
        with open(path, "wb") as f:
            f.truncate(far + 4096)
            f.seek(3)
            f.write(b"\x00\x00\x01\xb3")
            f.seek(far)
            f.write(b"\x00\x00\x01\x65")
        if os.stat(path).st_blocks * 512 > (1 << 24):
            os.remove(path)
            self.skipTest("no sparse files on this file system")
        try:
            rows = [
                (["scan", path], [b"3 0x1b3 sequence header", b"%d 0x165 slice" % far,
                                  b"2 start codes, MPEG-1/2 video"]),
                (["scan", "--reverse", path], [b"%d 0x165 slice" % far, b"3 0x1b3 sequence header",
                                               b"2 start codes, MPEG-1/2 video, walked backward"]),
            ]
            for args, want in rows:
                rc, out, err = run(args)
                self.assertEqual((rc, out.splitlines(), err), (0, want, b""), args)
        finally:
            os.remove(path)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
