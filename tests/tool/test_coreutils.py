#!/usr/bin/env python3
"""qvutil md5, sha1 and base64 beside coreutils' md5sum, sha1sum and base64.

    test_coreutils.py QVUTIL SAMPLES_DIR SHARED_DATA_DIR REQUIRE_DATA [EMULATOR...]

Every row runs both tools in one scratch folder on the same files, lists and standard
input, and compares standard output, standard error and exit status. Program names in
messages are set aside ("md5sum:" and "qvutil:" or "qvutil md5:"), and so are getopt's
curly quotes and the "Try ... --help" hint; coreutils exits 1 on bad usage where qvutil
exits 2. Under wine, names that Windows cannot hold (backslash, newline, CR, colon,
non-UTF-8 bytes) are left out.
"""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

QVUTIL, REQUIRE = os.path.abspath(sys.argv[1]), sys.argv[4] in ("1", "ON", "TRUE")
EMULATOR = sys.argv[5:]
WINE = any("wine" in a for a in EMULATOR)
PEERS = {"md5": "md5sum", "sha1": "sha1sum", "base64": "base64"}
ENV = dict(os.environ, LC_ALL="C.UTF-8", WINEDEBUG="-all", QVUTIL_PIECE_SIZE="100")

PORTABLE_NAMES = [b"plain", b"sp ace", b"it's", "é".encode(), b"empty", b"big", b"#hash", b"$dollar!"]
ODD_NAMES = [b"back\\slash", b"new\nline", b"cr\rx", b"\xff\xfe", b"a:b", b"mix\\\n\r\xc3"]
NAMES = PORTABLE_NAMES + ([] if WINE else ODD_NAMES)



def some(rows, n):
    """The first n rows under an emulator, where each run costs a tenth of a second (the
    whole table would take half a minute more under wine): the option logic is the same
    everywhere, what differs there is files, names and byte order, which the rows kept
    still cover."""
    return rows[:n] if EMULATOR else rows


PROG = re.compile(r"^(?:md5sum|sha1sum|base64|qvutil(?: \w+)?): ", re.M)
TRY = re.compile(r"^Try '(?:md5sum|sha1sum|base64|qvutil \w+) --help'.*$", re.M)


def normalise(err):
    """Standard error with program names, getopt's quotes and Windows' CR LF set aside."""
    err = err.decode("utf-8", "surrogateescape").replace("\u2018", "'").replace("\u2019", "'")
    err = err.replace("\r\n", "\n")
    return TRY.sub("Try --help", PROG.sub("PROG: ", err))


class Differential(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not all(shutil.which(p) for p in PEERS.values()):
            if REQUIRE:
                raise RuntimeError("coreutils md5sum, sha1sum and base64 are needed")
            raise unittest.SkipTest("no coreutils")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        r = random.Random(16)
        for i, name in enumerate(NAMES):
            data = {b"empty": b"", b"big": r.randbytes(70000)}.get(name, b"content %d\n" % i)
            with open(os.path.join(os.fsencode(cls.dir), name), "wb") as f:
                f.write(data)
        os.mkdir(os.path.join(cls.dir, "dir"))
        cls.stdin_dir = os.open(os.path.join(cls.dir, "dir"), os.O_RDONLY)
        for cmd in ("md5", "sha1"):
            cls.write_lists(cmd)
        cls.write_base64_texts()

    @classmethod
    def tearDownClass(cls):
        os.close(cls.stdin_dir)
        cls.tmp.cleanup()

    @classmethod
    def peer(cls, cmd, args):
        return subprocess.run([PEERS[cmd]] + args, cwd=cls.dir, env=ENV, stdout=subprocess.PIPE,
                              check=True).stdout

    @classmethod
    def write(cls, name, data):
        with open(os.path.join(os.fsencode(cls.dir), os.fsencode(name)), "wb") as f:
            f.write(data)

    @classmethod
    def write_lists(cls, cmd):
        """Check lists for md5sum and sha1sum in every form, good and bad."""
        sums = cls.peer(cmd, NAMES).splitlines(True)
        tags = cls.peer(cmd, ["--tag"] + NAMES).splitlines(True)
        binary = cls.peer(cmd, ["-b"] + NAMES).splitlines(True)
        tag, hexlen = (b"SHA1", 40) if cmd == "sha1" else (b"MD5", 32)
        good = sums[0][:hexlen]  # the digest of "plain"
        wrong = (b"0" if good[:1] != b"0" else b"1") + good[1:]
        lists = {
            "sums": b"".join(sums),
            "tags": b"".join(tags),
            "binary": b"".join(binary),
            # Every form at once, upper-case digits, CR LF endings, comments, blank lines.
            "mixed": b"".join(t for trio in zip(sums, tags, binary) for t in trio)
                     + b"# a comment\n\n" + sums[0][:hexlen].upper() + sums[0][hexlen:]
                     + tags[1].replace(b"\n", b"\r\n") + b"\r\n" + sums[-1].rstrip(b"\n"),
            "crlf": b"".join(s.replace(b"\n", b"\r\n") for s in sums),
            "bad": sums[0] + b"\n".join([
                good[:-1] + b"  plain",                       # a digit short
                good + b"0  plain",                           # a digit too many
                b"z" + good[1:] + b"  plain",                 # not hexadecimal
                good + b" ",                                  # no name
                good,
                b"  # indented, so not a comment",
                b"   ",
                b"\\" + good + b"  bad\\escape",
                b"\\" + good + b"  trailing\\",
                tag + b" (plain) = " + good[:-1],
                tag + b" (plain) = " + good + b"0",
                tag + b"  (plain) = " + good,
                tag + b" (plain) " + good,
                b"XYZ (plain) = " + good,
                tag.lower() + b" (plain) = " + good,
                tag + b" (plain) = " + good + b" ",
                good + b"  zero\x00after",
                tag + b"(plain)=" + good,
                b" \t" + tag + b" (plain)\t=\t" + good,
                tag + b" (pl)ain) = " + good,
                good + b"\tplain",
            ]) + b"\n",
            "fail": b"".join([wrong + b"  plain\n", good + b"  no such file\n", good + b"  dir\n",
                              tag + b" (gone) = " + good + b"\n", sums[1]]),
            "missing": good + b"  gone\n" + tag + b" (also gone) = " + good + b"\n",
            "onlybad": b"nothing\nto\nsee\n",
            "comments": b"# nothing\n\n\r\n# here\n",
            "empty-list": b"",
            # One blank, no mode mark (BSD "md5 -r"); from then on "HEX  NAME" means " NAME".
            "oneblank": good + b" plain\n" + good + b"  plain\n" + (b"" if WINE else good + b" *plain\n"),
            "twoblank": good + b"  plain\n" + good + b" plain\n",
        }
        if not WINE:
            lists["escaped"] = b"".join([
                b"\\" + good + b"  pl\\\\ain\n",              # a backslash that names no file
                b"\\" + tag + b" (back\\\\slash) = " + good + b"\n",
                b"\\" + good + b"  new\\nline\n",
                b"\\" + good + b"  no\\nfile\n",             # missing, and reported escaped
                good + b"  back\\slash\n",                    # no leading '\': taken as it stands
                b"\\" + good + b"  plain\n",
            ])
        for name, data in lists.items():
            cls.write(cmd + "." + name, data)
        cls.lists = getattr(cls, "lists", {})
        cls.lists[cmd] = sorted(lists)

    @classmethod
    def write_base64_texts(cls):
        with open(os.path.join(cls.dir, "big"), "rb") as f:
            big = f.read()
        text = cls.peer("base64", ["big"])
        cls.write("b64.text", text)
        r = random.Random(4)
        noisy = bytearray()
        for c in text:
            noisy.append(c)
            if r.random() < 0.05:
                noisy += r.choice([b"!", b"\r\n", b" ", b"\x80\xff", b"~", b"\t"])
        cls.write("b64.noisy", bytes(noisy))
        cls.write("b64.crlf", text.replace(b"\n", b"\r\n"))
        cls.big = big

    def compare(self, cmd, args, stdin=b"", usage=False, stdout=None, first_error_only=False):
        """Runs both tools; returns the standard output they agreed on."""
        if isinstance(stdin, bytes):
            stdin_args = {"input": stdin}
        else:
            stdin_args = {"stdin": stdin}
        results = []
        for argv in ([PEERS[cmd]] + args, EMULATOR + [QVUTIL, cmd] + args):
            if stdout is not None:
                p = subprocess.run(argv, cwd=self.dir, env=ENV, stdout=stdout, stderr=subprocess.PIPE,
                                   timeout=60, **stdin_args)
            else:
                p = subprocess.run(argv, cwd=self.dir, env=ENV, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=60, **stdin_args)
            results.append((p.returncode, p.stdout, normalise(p.stderr)))
        (rc, out, err), (qrc, qout, qerr) = results
        if usage:
            self.assertEqual(rc, 1, (args, err))
            rc = 2
        if first_error_only:
            err = err[:err.find("\n") + 1]
        what = (cmd, args)
        self.assertEqual(qout, out, what)
        self.assertEqual(qerr, err, what)
        self.assertEqual(qrc, rc, what)
        return out

    def test_sum_lines(self):
        files = NAMES + ["dir", "no such file", "-"]
        modes = [[], ["-b"], ["-t"], ["--tag"], ["-z"], ["--tag", "-z"], ["-bz"], ["-t", "-b"], ["-b", "-t"],
                 ["-t", "--tag"], ["--binary", "--text"], ["--zero", "--ta"]]
        for cmd in ("md5", "sha1"):
            for mode in some(modes, 4):
                self.compare(cmd, mode + files, stdin=b"standard input\n")
            self.compare(cmd, [], stdin=self.big)
            if not WINE:  # a directory cannot be standard input there
                self.compare(cmd, ["-"], stdin=self.stdin_dir)
            self.compare(cmd, ["empty", "-", "-"], stdin=b"once")

    def test_check_lists(self):
        modes = [[], ["--quiet"], ["--status"], ["--warn"], ["--strict"], ["--ignore-missing"],
                 ["--status", "--warn"], ["--warn", "--status"], ["-w", "--quiet", "--strict"],
                 ["--ignore-missing", "--quiet", "--strict", "-w"]]
        for cmd in ("md5", "sha1"):
            lists = [cmd + "." + name for name in self.lists[cmd]]
            for mode in some(modes, 3) if cmd == "md5" else modes[:1] + some(modes[3:4], 0):
                for name in some(lists, 0):
                    self.compare(cmd, ["-c"] + mode + [name], stdin=b"stdin")
                self.compare(cmd, ["-c"] + mode + lists)
            # Several lists at once (the one-blank form, once met, holds in later lists),
            # a missing list, a directory for a list, and lists on standard input.
            self.compare(cmd, ["--check", cmd + ".sums", cmd + ".oneblank", "no list", "dir", cmd + ".twoblank",
                               cmd + ".missing", "--ignore-missing"])
            self.compare(cmd, ["-c", cmd + ".twoblank", cmd + ".oneblank", "-"], stdin=b"")
            with open(os.path.join(self.dir, cmd + ".mixed"), "rb") as f:
                mixed = f.read()
            self.compare(cmd, ["-c"], stdin=mixed)
            # A list on standard input may not name standard input.
            dash = mixed[:mixed.index(b" ")] + b"  -\n"
            self.compare(cmd, ["-c", "-w", "-", cmd + ".sums", "-"], stdin=dash + mixed)
            if not WINE:
                self.compare(cmd, ["-c", "-"], stdin=self.stdin_dir)

    @unittest.skipIf(WINE, "names that Windows cannot hold")
    def test_random_lists(self):
        """Lines put together from the pieces that each form is made of, good and bad."""
        r = random.Random(11)
        good = self.peer("md5", ["plain"])[:32]
        names = [b"plain", b"sp ace", b"pl\\nain", b"plain\x00x", b" plain", b"*plain", b"pl)ain", b"plain)", b"\\",
                 b"nofile", b"back\\\\slash", b"back\\slash"]

        def line():
            lead = r.choice([b"", b" ", b"\t", b"\\", b" \\", b"\\\\"])
            digest = r.choice([good, good.upper(), good[:31], good + b"0"])
            if r.random() < 0.5:
                return lead + digest + r.choice([b" ", b"  ", b" *", b"\t", b"\t*", b"", b"   "]) + r.choice(names)
            return (lead + r.choice([b"MD5 (", b"MD5(", b"MD5  (", b"md5 ("]) + r.choice(names)
                    + r.choice([b") = ", b")=", b") =", b")\t= ", b")  =  ", b") "]) + digest
                    + r.choice([b"", b" ", b"\x00z", b"z"]))

        modes = [[], ["--warn"], ["--strict"], ["--quiet"], ["--ignore-missing"], ["--status"]]
        for _ in some(range(80), 10):
            self.write("random", b"".join(line() + r.choice([b"\n", b"\r\n"]) for _ in range(r.randrange(1, 5))))
            self.compare("md5", ["-c"] + r.choice(modes) + ["random"])

    def test_usage_errors(self):
        rows = [["--tag", "-t"], ["--tag", "-b", "-t"], ["-z", "-c"], ["--tag", "-c"], ["-b", "-c"], ["-t", "-c"],
                ["--tag", "-t", "-z", "-c"], ["--tag", "-z", "-c"], ["-z", "-b", "-c"], ["--tag", "-b", "-c"],
                ["--quiet"], ["--status"], ["--strict"], ["-w"], ["--ignore-missing"], ["--status", "--warn"],
                ["--ignore-missing", "--status", "--strict"], ["--quiet", "--strict"], ["-b", "--quiet"]]
        for cmd in ("md5", "sha1"):
            for args in some(rows, 3 if cmd == "md5" else 0):
                self.compare(cmd, args + ["plain"], usage=True)
        for args in some([["-w", "x"], ["plain", "big"], ["-w", "-1"], ["--wrap="], ["-w", "0x10"]], 2):
            self.compare("base64", args, usage=True)

    def test_base64(self):
        files = some(["big", "sp ace", "-", "empty", "plain"], 3)
        for args in some([[], ["-w", "0"], ["-w5"], ["--wrap=5"], ["--wrap", "7"], ["-w", "1"], ["--wr=3"], ["-i"],
                          ["-w", " +9"], ["-w", "99999999999999999999"], ["-w", "5", "-w", "3"]], 3):
            for f in files:
                self.compare("base64", args + [f], stdin=b"from a pipe")
        for args in some([["-d"], ["-di"], ["--decode", "--ignore-garbage"], ["-i", "-d", "-w", "5"], ["--dec"]], 2):
            out = self.compare("base64", args + ["b64.text"])
            self.assertEqual(out, self.big)
            self.compare("base64", args, stdin=b"aGVsbG8sIHF2dXRpbAo=\n")
        # Garbage that coreutils skips only with -i (qvutil always does).
        for args in some([["-di"], ["--ignore-garbage", "--decode"]], 1):
            self.compare("base64", args + ["b64.noisy"])
            self.compare("base64", args + ["b64.crlf"])
        for args in ([], ["-d"]):
            self.compare("base64", args + ["no such file"])
            self.compare("base64", args + ["dir"])
            if not WINE:
                self.compare("base64", args, stdin=self.stdin_dir)

    def test_odd_names_in_messages(self):
        """Missing files with names of every kind: the messages quote them alike."""
        r = random.Random(1)
        pieces = ([chr(c) for c in range(0x20, 0x7F) if chr(c) != "/"] * 3
                  + ["é", "€", "日", "\U0001F600", "\u00A0", "\u2028", "\uFDD0", "\t", "\n", "\r", "\x01",
                     "\x1b", "\x7f", "\x85"])
        names = {"", "'", "#", "~", "{", "}", "{}", "#'", "'#", "~'", "'~", "{'", "a'b c", "a'$b"}
        while len(names) < 300:
            names.add("".join(r.choice(pieces) for _ in range(r.randrange(1, 7))))
        names = [n.encode() for n in sorted(names)]
        if WINE:  # what Windows cannot hold, and its device names
            names = [n for n in names if not re.search(rb'[\x00-\x1f<>:"\\|?*\x7f]|[ .]$', n)
                     and not re.match(rb"(?i)(con|prn|aux|nul|com\d|lpt\d)(\.|$)", n)]
        else:
            names += [b"\xff", b"a\xc3", b"\xe2\x80", b"\xe2\x80a", b"\xed\xa0\x80", b"\xc0\x80", b"\xf4\x90\x80\x80",
                      b"\xc3\xa9\xff"]
        names = [n for n in names if n not in (b".", b"..")]
        self.compare("md5", ["--"] + names)
        for n in names[::100 if EMULATOR else 37]:
            self.compare("base64", ["--", n])

    @unittest.skipIf(WINE, "no /dev/full")
    def test_write_errors(self):
        # When more than its 4 KiB stdio buffer was pending, base64 says "write error" a
        # second time as it exits; qvutil says it once.
        with open("/dev/full", "wb") as full:
            for cmd, args in (("md5", ["plain"]), ("sha1", ["--tag", "big"]), ("md5", ["-c", "md5.sums"]),
                              ("md5", ["-c", "--status", "md5.fail"]), ("base64", ["plain"]), ("base64", ["big"]),
                              ("base64", ["-d", "b64.text"])):
                self.compare(cmd, args, stdout=full, first_error_only=cmd == "base64")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
