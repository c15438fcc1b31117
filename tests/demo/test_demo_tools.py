#!/usr/bin/env python3
"""Tests of scripts/demo/demo_tools.py: the WAV reader against the formats libsndfile and
others write, the figures the report prints, the parsers of tolvane-host's output, and a whole
report over a folder laid out as run.sh leaves it."""
import array
import math
import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "demo"))
import demo_tools as dt  # noqa: E402


def riff(chunks):
    body = b"WAVE" + b"".join(cid + struct.pack("<I", len(data)) + data + (b"\0" if len(data) & 1 else b"")
                              for cid, data in chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def pcm_fmt(tag, channels, rate, bits, extensible=False):
    align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", dt.WAVE_FORMAT_EXTENSIBLE if extensible else tag, channels, rate, rate * align,
                      align, bits)
    if extensible:
        fmt += struct.pack("<HHI", 22, bits, 0) + struct.pack("<H", tag) + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    return fmt


class WavFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name, content=None):
        p = os.path.join(self.dir.name, name)
        if content is not None:
            with open(p, "wb") as f:
                f.write(content)
        return p

    def test_float_files_round_trip_exactly_per_channel(self):
        left = [0.0, 0.5, -1.0, 1e-7]
        right = [0.25, -0.25, 2.0, -3.5]  # beyond full scale: kept, not clipped
        dt.write_wav(self.path("f.wav"), 48000, [left, right])
        rate, channels = dt.read_wav(self.path("f.wav"))
        self.assertEqual(rate, 48000)
        self.assertEqual(list(channels[0]), list(array.array("f", left)))
        self.assertEqual(list(channels[1]), list(array.array("f", right)))
        with self.assertRaises(dt.WavError):
            dt.write_wav(self.path("g.wav"), 48000, [left, right[:2]])

    def test_pcm_and_extensible_formats_scale_to_full_scale(self):
        data16 = struct.pack("<4h", -32768, 16384, 32767, 0)
        p = self.path("p16.wav", riff([(b"fmt ", pcm_fmt(1, 2, 44100, 16)), (b"data", data16)]))
        _, ch = dt.read_wav(p)
        self.assertEqual(list(ch[0]), [-1.0, 32767 / 32768])
        self.assertEqual(list(ch[1]), [0.5, 0.0])
        data24 = (-(1 << 23)).to_bytes(3, "little", signed=True) + (1 << 22).to_bytes(3, "little", signed=True)
        p = self.path("p24.wav", riff([(b"fmt ", pcm_fmt(1, 1, 44100, 24, extensible=True)), (b"data", data24)]))
        _, ch = dt.read_wav(p)
        self.assertEqual(list(ch[0]), [-1.0, 0.5])
        p = self.path("f64.wav", riff([(b"fmt ", pcm_fmt(3, 1, 8000, 64)), (b"data", struct.pack("<2d", 0.125, -2.0))]))
        self.assertEqual(list(dt.read_wav(p)[1][0]), [0.125, -2.0])

    def test_odd_chunks_are_skipped_with_their_pad_byte_and_a_cut_data_chunk_keeps_whole_frames(self):
        data = struct.pack("<3f", 0.1, 0.2, 0.3)[:10]  # two and a half frames
        p = self.path("odd.wav", riff([(b"fmt ", pcm_fmt(3, 1, 44100, 32)), (b"LIST", b"abc"), (b"data", data)]))
        self.assertEqual(len(dt.read_wav(p)[1][0]), 2)

    def test_files_that_are_not_usable_wavs_are_refused(self):
        bad = {
            "text.wav": b"hello, not a wave file",
            "nodata.wav": riff([(b"fmt ", pcm_fmt(1, 1, 44100, 16))]),
            "alaw.wav": riff([(b"fmt ", pcm_fmt(6, 1, 8000, 8)), (b"data", b"\0\0")]),
            "align.wav": riff([(b"fmt ", struct.pack("<HHIIHH", 1, 2, 44100, 0, 3, 16)), (b"data", b"\0" * 8)]),
        }
        for name, content in bad.items():
            with self.subTest(name):
                with self.assertRaises(dt.WavError):
                    dt.read_wav(self.path(name, content))


class Figures(unittest.TestCase):
    def test_levels_of_a_sine_and_faulty_samples(self):
        sine = [0.5 * math.sin(2 * math.pi * i / 100) for i in range(10000)]
        peak, rms = dt.levels([sine, [0.0] * 10000])
        self.assertAlmostEqual(peak, 0.5, places=6)
        self.assertAlmostEqual(rms, 0.5 / math.sqrt(2) / math.sqrt(2), places=4)  # the silent channel halves the power
        self.assertEqual(dt.levels([[0.0, 0.0]]), (0.0, 0.0))
        self.assertEqual(dt.levels([[float("nan"), 0.0]])[0], 1.0, "a NaN must not vanish from the report")
        self.assertEqual(dt.to_db(0.0), dt.SILENCE_DB)
        self.assertAlmostEqual(dt.to_db(0.5), -6.0206, places=3)

    def test_percentile_is_the_nearest_rank_that_tolvane_host_reports(self):
        values = list(range(100, 0, -1))
        self.assertEqual(dt.percentile(values, 50), 50)
        self.assertEqual(dt.percentile(values, 99), 99)
        self.assertEqual(dt.percentile(list(range(1, 174)), 99), 172)  # ceil(0.99 * 173) = 172
        self.assertEqual(dt.percentile([7.5], 99), 7.5)
        self.assertIsNone(dt.percentile([], 50))

    def test_log_histogram_keeps_every_positive_value_in_the_one_bin_that_holds_it(self):
        values = [12.0, 13.0, 80.0, 81.0, 95.0, 2500.0, 0.0, -4.0, float("inf")]
        bins = dt.log_histogram(values)  # ten bins a decade: 79.4..100 holds 80, 81 and 95
        self.assertEqual(sum(n for _, _, n in bins), 6)
        for v in values[:6]:
            holding = [(lo, hi, n) for lo, hi, n in bins if lo <= v < hi]
            self.assertEqual(len(holding), 1, v)
            self.assertGreaterEqual(holding[0][2], 1, v)
        self.assertEqual([n for lo, hi, n in bins if lo <= 90.0 < hi], [3])
        self.assertEqual(dt.log_histogram([0.0, -1.0]), [])


class HostOutput(unittest.TestCase):
    def write(self, text):
        f = tempfile.NamedTemporaryFile("w", delete=False, suffix=".txt")
        f.write(text)
        f.close()
        self.addCleanup(os.unlink, f.name)
        return f.name

    def test_block_times_take_the_last_number_of_each_line(self):
        p = self.write("# block us\nblock,us\n12.5\n1 30.25\n2,41\n3; 7e1\nnothing here\n")
        self.assertEqual(dt.read_block_times(p), [12.5, 30.25, 41.0, 70.0])

    def test_events_pair_into_notes_and_sysex_is_kept(self):
        p = self.write("block 1 delta 0 midi 90 3C 64\n"
                       "block 1 delta 0 sysex 5 bytes: F0 7D 01 02 F7\n"
                       "block 2 delta 100 midi 91 40 5A\n"
                       "block 4 delta 0 midi 80 3C 00\n"
                       "block 5 delta 10 midi 91 40 00\n"      # note-on with velocity 0 ends the note
                       "block 6 delta 0 midi 90 45 64\n"       # never released
                       "plug-in      TolvaneI.so (Tolvane VSTi)\n"
                       "block x delta 0 midi 90 3C 64\n")
        events = dt.parse_events(p)
        self.assertEqual(len(events), 6)
        self.assertEqual(events[1], (1, 0, "sysex", [0xF0, 0x7D, 1, 2, 0xF7]))
        spans = dt.note_spans(events, 100, 1000.0)
        self.assertEqual(spans, [(0.1, 0.4, 60), (0.3, 0.51, 64), (0.6, 0.6, 69)])

    def test_the_scheduled_phrase_follows_the_note_patterns(self):
        patterns = dt.parse_note_patterns("60:100:8:4 64 67:90:10:3:50")
        self.assertEqual(patterns, [(60, 8, 4, 0), (64, 8, 4, 0), (67, 10, 3, 50)])
        spans = dt.scheduled_notes(patterns[:1], 18, 100, 1000.0)
        self.assertEqual(spans, [(0.0, 0.4, 60), (0.8, 1.2, 60), (1.6, 1.8, 60)])  # the last one ends with the run


class Report(unittest.TestCase):
    """A folder as run.sh leaves it, with made-up runs: the report's figures and the picture's data."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        d = self.dir.name
        rate = 1000
        source = [0.5 * math.sin(2 * math.pi * 50 * i / rate) for i in range(2000)]
        dt.write_wav(os.path.join(d, "input.wav"), rate, [source, source])
        # The first block, before the link was up, came back silent (untouched_blocks=1 below).
        dt.write_wav(os.path.join(d, "effect.wav"), rate, [[0.0] * 100 + [v * 0.5 for v in source[100:]]] * 2)
        dt.write_wav(os.path.join(d, "instrument.wav"), rate, [[0.0] * 2000] * 2)
        self.put("run.kv", "slave=16\nrealtime=1\nrate=1000\nnotes=60:100:4:2\nzoom_start=0.4\nzoom_length=0.02\n"
                           "effect_title=T \"quoted\"\n")
        self.put("effect.kv", "effect_name=Tolvane\ninputs=2\noutputs=2\nsample_rate=1000\nblock_size=100\nblocks=20\n"
                              "untouched_blocks=1\nblock_us_median=40.0\nblock_us_p99=90.0\nblock_us_max=300.0\n")
        self.put("instrument.kv", "effect_name=Tolvane VSTi\nsample_rate=1000\nblock_size=100\nblocks=20\n"
                                  "midi_sent=10\nsysex_sent=1\nmidi_received=10\nsysex_received=1\n")
        self.put("instrument-events.txt", "block 1 delta 0 midi 90 3C 64\nblock 2 delta 0 midi 80 3C 00\n")

    def put(self, name, text):
        with open(os.path.join(self.dir.name, name), "w", encoding="utf-8") as f:
            f.write(text)

    def test_figures_come_from_the_host_summary_and_the_wav_levels(self):
        text = dt.report(self.dir.name)
        self.assertIn("round trip   median 40.0 us, p99 90.0 us, max 300.0 us (host summary)", text)
        self.assertIn("(RMS -6.0 dB against the input)", text)  # over the blocks that came back
        self.assertIn("events back  10 MIDI, 1 SysEx", text)
        self.assertIn("level out    peak silence, RMS silence", text)
        with open(os.path.join(self.dir.name, "plot", "labels.gp"), encoding="utf-8") as f:
            labels = f.read()
        self.assertIn('effect_title = "T \\"quoted\\""', labels)  # a title cannot break the gnuplot file
        self.assertIn("instrument_audible = 0", labels)
        self.assertIn('hist_unit = "runs"', labels)

    def test_per_block_times_win_over_the_summary(self):
        self.put("effect-times.txt", "\n".join(str(v) for v in [10.0] * 98 + [500.0, 2000.0]) + "\n")
        text = dt.report(self.dir.name)
        self.assertIn("round trip   median 10.0 us, p99 500.0 us, max 2.00 ms (per block)", text)
        with open(os.path.join(self.dir.name, "plot", "histogram.dat"), encoding="utf-8") as f:
            self.assertEqual(sum(int(line.split()[3]) for line in f), 100)

    def test_short_runs_fill_the_histogram_when_there_are_no_block_times(self):
        # The third run never connected: its blocks returned at once, and their median is no round trip.
        self.put("effect-runs.txt", "blocks=24 untouched_blocks=1 block_us_median=50.5 \n"
                                    "blocks=24 block_us_median=61.0\n\n"
                                    "blocks=24 untouched_blocks=24 block_us_median=0.08\n")
        dt.report(self.dir.name)
        with open(os.path.join(self.dir.name, "plot", "histogram.dat"), encoding="utf-8") as f:
            self.assertEqual(sum(int(line.split()[3]) for line in f), 2)
        with open(os.path.join(self.dir.name, "plot", "labels.gp"), encoding="utf-8") as f:
            self.assertIn("median of each of 2 short runs", f.read())

    def test_a_missing_output_is_an_error_of_the_command(self):
        os.unlink(os.path.join(self.dir.name, "effect.wav"))
        self.assertEqual(dt.main(["report", self.dir.name]), 1)
        self.assertEqual(dt.main(["signal", os.path.join(self.dir.name, "x.wav"), "--seconds", "0"]), 2)


if __name__ == "__main__":
    unittest.main()
