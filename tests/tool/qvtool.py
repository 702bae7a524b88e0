"""Starts qvutil for the tool tests, under the cross build's emulator when there is one."""

import subprocess

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
