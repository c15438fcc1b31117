#!/usr/bin/env python3
"""The demo's chain over this build's binaries (scripts/demo/run.sh, one second a pass): that the
audio comes back sample-exact through the slave's gain, that every event comes back, that the
slave is stopped and /dev/shm is clean afterwards, that a block left by a killed slave is taken
over, and that a slave number held by a living slave is refused without disturbing it.

  check_demo_run.py RUN_SH BUILD_DIR WORK_DIR
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "demo"))
import demo_tools as dt  # noqa: E402

RUN_SH, BUILD, WORK = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)
SLAVE = 13
NAMES = [f"PalisorSlave_ShMem{SLAVE}", f"PalisorEv_Master{SLAVE}", f"PalisorEv_Slave{SLAVE}"]
SLAVE_EXE = os.path.join(BUILD or "", "tools", "slave", "tolvane-slave")


def shm_left():
    """The link objects of our slave number that exist (any Palisor name ending in the number)."""
    pattern = re.compile(r"^Palisor[A-Za-z_]*[^0-9]%d$" % SLAVE)
    return sorted(n for n in os.listdir("/dev/shm") if pattern.match(n))


def run_demo(out, *extra):
    # Paced in real time: a run as fast as possible can end before a loaded machine has woken
    # the slave for its start, and then nothing at all comes back.
    args = ["bash", RUN_SH, "--build", BUILD, "--out", out, "--slave", str(SLAVE), "--seconds", "1"]
    if not shutil.which("gnuplot"):
        args.append("--no-picture")
    return subprocess.run(args + list(extra), capture_output=True, text=True, timeout=300)


def start_slave():
    proc = subprocess.Popen([SLAVE_EXE, "--slave", str(SLAVE)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)
    line = proc.stdout.readline()
    assert "serving" in line, line
    return proc


class DemoRun(unittest.TestCase):
    def setUp(self):
        self.assertEqual(shm_left(), [], "another run left slave %d's objects" % SLAVE)

    def tearDown(self):
        self.assertEqual(shm_left(), [], "objects left in /dev/shm")

    def test_the_chain_brings_audio_and_events_back_and_leaves_nothing_behind(self):
        out = os.path.join(WORK, "plain")
        r = run_demo(out)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("left behind    nothing", r.stdout)

        eff = dt.read_kv(os.path.join(out, "effect.kv"))
        _, source = dt.read_wav(os.path.join(out, "input.wav"))
        _, result = dt.read_wav(os.path.join(out, "effect.wav"))
        gain = 10 ** (-6 / 20)
        # Blocks before the start answer came back have no output; a loaded machine may need a few.
        skipped = int(eff["untouched_blocks"]) * int(eff["block_size"])
        self.assertLess(int(eff["untouched_blocks"]), int(eff["blocks"]) // 4)
        for c in range(2):
            self.assertEqual(len(result[c]), len(source[c]))
            self.assertTrue(all(v == 0.0 for v in result[c][:skipped]))
            worst = max(abs(o - i * gain) for o, i in zip(result[c][skipped:], source[c][skipped:]))
            self.assertLess(worst, 1e-6, f"channel {c} is not the input at -6 dB")

        ins = dt.read_kv(os.path.join(out, "instrument.kv"))
        self.assertGreater(int(ins["midi_sent"]), 20)
        self.assertEqual(ins["midi_received"], ins["midi_sent"])
        self.assertEqual(ins["sysex_received"], ins["sysex_sent"])
        events = dt.parse_events(os.path.join(out, "instrument-events.txt"))
        self.assertEqual(len(events), int(ins["midi_received"]) + int(ins["sysex_received"]))

        with open(os.path.join(out, "report.txt"), encoding="utf-8") as f:
            report = f.read()
        self.assertIn("(RMS -6.0 dB against the input)", report)  # the blocks that came back
        if shutil.which("gnuplot"):
            self.assertGreater(os.path.getsize(os.path.join(out, "demo.png")), 10000)
        # The plug-ins read the demo's own settings, never the user's.
        with open(os.path.join(out, "config", "Vantor", "TolvaneI.conf"), encoding="utf-8") as f:
            self.assertIn("ConfigDlg=0", f.read())

    def test_a_block_left_by_a_killed_slave_is_taken_over(self):
        stale = start_slave()
        stale.send_signal(signal.SIGKILL)  # leaves the objects and slaveAttached set
        stale.wait()
        stale.stdout.close()
        self.assertTrue(set(NAMES) <= set(shm_left()), shm_left())
        r = run_demo(os.path.join(WORK, "stale"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("left by a slave that vanished", r.stdout)

    def test_a_slave_number_in_use_is_refused_and_its_slave_left_alone(self):
        other = start_slave()
        try:
            r = run_demo(os.path.join(WORK, "busy"))
            self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
            self.assertIn("in use by another process", r.stderr)
            time.sleep(0.2)
            self.assertIsNone(other.poll(), "the demo stopped a slave it did not start")
        finally:
            other.send_signal(signal.SIGTERM)
            other.wait(timeout=10)
            other.stdout.close()

    def test_bad_arguments_are_refused_before_anything_runs(self):
        for extra in (["--slave", "17"], ["--seconds", "0"], ["--what"]):
            with self.subTest(extra):
                r = subprocess.run(["bash", RUN_SH, "--build", BUILD, "--out", os.path.join(WORK, "bad")] + extra,
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(r.returncode, 2, r.stderr)


if __name__ == "__main__":
    if RUN_SH is None:
        sys.exit("usage: check_demo_run.py RUN_SH BUILD_DIR WORK_DIR")
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
