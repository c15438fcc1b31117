#!/usr/bin/env python3
"""The demo's own arithmetic: the test signal it feeds to Tolvane, the levels of the WAV files,
the round-trip figures, the data files that picture.gp draws and the printed report.

Standard library only, so that it runs on a bare Debian 12 with python3.

  demo_tools.py signal OUT.wav [--seconds S] [--rate HZ]
  demo_tools.py report DIR       (reads the files run.sh left in DIR, writes DIR/plot/*.dat and
                                  DIR/report.txt, prints the report)

DIR holds, by name: run.kv (what ran), input.wav, effect.wav, effect.kv, instrument.wav,
instrument.kv, instrument-events.txt, and optionally effect-times.txt / instrument-times.txt
(one block time per line, from tolvane-host --block-times) or effect-runs.txt (key=value
summaries of repeated short runs, one per line, when the host has no per-block dump). The Wine
pass, when run.kv names its commands, adds wine.wav, wine.kv, wine-events.txt and wine-times.txt.
"""
import array
import math
import os
import struct
import sys

# ---- WAV files ------------------------------------------------------------------------------

WAVE_FORMAT_PCM = 1
WAVE_FORMAT_IEEE_FLOAT = 3
WAVE_FORMAT_EXTENSIBLE = 0xFFFE


class WavError(Exception):
    pass


def write_wav(path, rate, channels):
    """Writes float32 samples, one list (or array) per channel, all of the same length."""
    count = len(channels)
    if count == 0:
        raise WavError("no channels")
    frames = len(channels[0])
    if any(len(c) != frames for c in channels):
        raise WavError("channels of different lengths")
    interleaved = array.array("f", bytes(4 * frames * count))
    for c, samples in enumerate(channels):
        interleaved[c::count] = array.array("f", samples)
    if sys.byteorder != "little":
        interleaved.byteswap()
    data = interleaved.tobytes()
    fmt = struct.pack("<HHIIHH", WAVE_FORMAT_IEEE_FLOAT, count, rate, rate * 4 * count, 4 * count, 32)
    fact = struct.pack("<I", frames)
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"fact" + struct.pack("<I", 4) + fact +
            b"data" + struct.pack("<I", len(data)) + data)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def read_wav(path):
    """Returns (rate, [channel samples as array('f'), ...]). Reads PCM 16/24/32-bit and float
    32/64-bit, plain or extensible; anything else, or a file cut short, raises WavError."""
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) < 12 or raw[0:4] != b"RIFF" or raw[8:12] != b"WAVE":
        raise WavError(f"{path}: not a RIFF/WAVE file")
    fmt = None
    data = None
    pos = 12
    while pos + 8 <= len(raw):
        chunk_id = raw[pos:pos + 4]
        size = struct.unpack_from("<I", raw, pos + 4)[0]
        body = raw[pos + 8:pos + 8 + size]
        if chunk_id == b"fmt ":
            fmt = body
        elif chunk_id == b"data":
            data = body  # a data chunk cut short keeps the bytes that are there
        pos += 8 + size + (size & 1)
    if fmt is None or len(fmt) < 16 or data is None:
        raise WavError(f"{path}: no fmt or data chunk")
    tag, count, rate, _, align, bits = struct.unpack_from("<HHIIHH", fmt, 0)
    if tag == WAVE_FORMAT_EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack_from("<H", fmt, 24)[0]  # the first two bytes of the sub-format GUID
    if count < 1 or align != count * (bits // 8) or bits % 8:
        raise WavError(f"{path}: inconsistent format ({count} channels, {bits} bits, align {align})")
    frames = len(data) // align
    data = data[:frames * align]
    if tag == WAVE_FORMAT_IEEE_FLOAT and bits in (32, 64):
        values = array.array("f" if bits == 32 else "d", data)
        if sys.byteorder != "little":
            values.byteswap()
        scale = 1.0
    elif tag == WAVE_FORMAT_PCM and bits in (16, 32):
        values = array.array("h" if bits == 16 else "i", data)
        if sys.byteorder != "little":
            values.byteswap()
        scale = 1.0 / (1 << (bits - 1))
    elif tag == WAVE_FORMAT_PCM and bits == 24:
        values = array.array("i", (int.from_bytes(data[i:i + 3], "little", signed=True)
                                   for i in range(0, len(data), 3)))
        scale = 1.0 / (1 << 23)
    else:
        raise WavError(f"{path}: unsupported sample format (tag {tag}, {bits} bits)")
    channels = []
    for c in range(count):
        part = values[c::count]
        channels.append(array.array("f", part if scale == 1.0 else (v * scale for v in part)))
    return rate, channels


# ---- Figures --------------------------------------------------------------------------------

SILENCE_DB = -200.0


def to_db(value):
    return 20.0 * math.log10(value) if value > 0.0 else SILENCE_DB


def levels(channels):
    """Peak and RMS over all channels, linear. NaN or infinite samples count as full scale
    (they are faults that must show in the report, not vanish from it)."""
    peak = 0.0
    squares = 0.0
    count = 0
    for samples in channels:
        for v in samples:
            if not math.isfinite(v):
                v = 1.0
            a = abs(v)
            if a > peak:
                peak = a
            squares += v * v
        count += len(samples)
    rms = math.sqrt(squares / count) if count else 0.0
    return peak, rms


def percentile(values, p):
    """Nearest rank, as tolvane-host reports it: the smallest value that at least p percent of
    the values do not exceed. None for no values."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[min(rank, len(ordered)) - 1]


def log_histogram(values, bins_per_decade=10):
    """Bins on a logarithmic axis (round trips spread over decades): [(low, high, count)], with
    bin edges at 10^(k / bins_per_decade) microseconds. Values at or below 0 are left out."""
    positive = [v for v in values if v > 0.0 and math.isfinite(v)]
    if not positive:
        return []
    lo = math.floor(math.log10(min(positive)) * bins_per_decade)
    hi = math.floor(math.log10(max(positive)) * bins_per_decade)
    counts = [0] * (hi - lo + 1)
    for v in positive:
        k = math.floor(math.log10(v) * bins_per_decade)
        counts[min(max(k, lo), hi) - lo] += 1
    return [(10 ** ((lo + i) / bins_per_decade), 10 ** ((lo + i + 1) / bins_per_decade), n)
            for i, n in enumerate(counts)]


def envelope(samples, rate, points=1200):
    """Minimum and maximum per slice, for drawing a long waveform: [(seconds, min, max)]."""
    n = len(samples)
    if n == 0:
        return []
    step = max(1, math.ceil(n / points))
    out = []
    for start in range(0, n, step):
        part = samples[start:start + step]
        out.append((start / rate, min(part), max(part)))
    return out


# ---- Files of the run -----------------------------------------------------------------------

def read_kv(path):
    """key=value lines; blank lines and lines starting with # are skipped."""
    result = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#") or "=" not in line:
                continue
            key, value = line.split("=", 1)
            result[key.strip()] = value.strip()
    return result


def read_block_times(path):
    """Block times in microseconds: the last number on every line that has one (so plain
    columns, "block time" pairs and CSV all work); headers and comments are skipped."""
    times = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.lstrip().startswith("#"):
                continue
            for field in reversed(line.replace(",", " ").replace(";", " ").split()):
                try:
                    value = float(field)
                except ValueError:
                    continue
                if math.isfinite(value):
                    times.append(value)
                break
    return times


def usable_run_medians(runs):
    """The block-time medians of the short runs in which the link was up for most blocks: in a run
    that never connected (a slave still busy with the previous run's stop, say) the blocks return
    at once, and their median is no round trip."""
    medians = []
    for r in runs:
        try:
            blocks, untouched, median = int(r["blocks"]), int(r.get("untouched_blocks", "0")), float(r["block_us_median"])
        except (KeyError, ValueError):
            continue
        if blocks > 0 and untouched * 2 < blocks:
            medians.append(median)
    return medians


def read_run_summaries(path):
    """One key=value summary per line, fields separated by blanks (the fallback runs)."""
    runs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = dict(item.split("=", 1) for item in line.split() if "=" in item)
            if fields:
                runs.append(fields)
    return runs


def parse_events(path):
    """The lines of tolvane-host --print-events:
         block 1 delta 0 midi 90 3C 64
         block 1 delta 0 sysex 5 bytes: F0 7D 01 02 F7
       as (block, delta, kind, [bytes]); other lines are skipped."""
    events = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if len(words) < 5 or words[0] != "block" or words[2] != "delta":
                continue
            try:
                block, delta = int(words[1]), int(words[3])
                if words[4] == "midi":
                    data = [int(w, 16) for w in words[5:8]]
                elif words[4] == "sysex" and "bytes:" in words:
                    data = [int(w, 16) for w in words[words.index("bytes:") + 1:]]
                else:
                    continue
            except ValueError:
                continue
            events.append((block, delta, words[4], data))
    return events


def note_spans(events, block_size, rate):
    """Pairs note-ons with the following note-off (or note-on with velocity 0) of the same key
    and channel: [(start s, end s, key)]. A note never released ends at the last event."""
    open_notes = {}
    spans = []
    last = 0.0
    for block, delta, kind, data in events:
        t = (block * block_size + delta) / rate
        last = max(last, t)
        if kind != "midi" or len(data) < 3:
            continue
        status, key, velocity = data
        channel = status & 0x0F
        if status & 0xF0 == 0x90 and velocity > 0:
            if (channel, key) not in open_notes:
                open_notes[(channel, key)] = t
        elif status & 0xF0 in (0x80, 0x90):
            start = open_notes.pop((channel, key), None)
            if start is not None:
                spans.append((start, t, key))
    spans.extend((start, last, key) for (_, key), start in open_notes.items())
    return sorted(spans)


def scheduled_notes(patterns, blocks, block_size, rate):
    """The phrase tolvane-host sends for --note KEY:VEL:EVERY:LEN[:DELTA] patterns: an on at
    every EVERY-th block from block 0, its off LEN blocks later (all notes still sounding end in
    the last block). [(start s, end s, key)]."""
    spans = []
    end_of_run = blocks * block_size / rate
    for key, every, length, delta in patterns:
        for start_block in range(0, blocks, every):
            start = (start_block * block_size + delta) / rate
            off_block = start_block + length
            end = (off_block * block_size + delta) / rate if off_block < blocks else end_of_run
            spans.append((start, end, key))
    return sorted(spans)


def parse_note_patterns(text):
    """"45:100:64:48 57:90:32:24" -> [(key, every, length, delta)] with tolvane-host's defaults."""
    patterns = []
    for item in text.split():
        parts = item.split(":")
        key = int(parts[0])
        every = int(parts[2]) if len(parts) > 2 and parts[2] else 8
        length = int(parts[3]) if len(parts) > 3 and parts[3] else max(1, every // 2)
        delta = int(parts[4]) if len(parts) > 4 and parts[4] else 0
        patterns.append((key, every, length, delta))
    return patterns


# ---- The test signal ------------------------------------------------------------------------

def test_signal(rate, seconds):
    """Two channels of plucked tones: an A minor arpeggio, one note every 0.375 s, each note a
    fundamental and two overtones with an exponential decay; the right channel an octave up.
    Peak about 0.6, so that gains up to +4 dB stay below full scale."""
    frames = int(rate * seconds)
    left = array.array("f", bytes(4 * frames))
    right = array.array("f", bytes(4 * frames))
    keys = [57, 60, 64, 69, 72, 69, 64, 60]
    spacing = int(0.375 * rate)
    for n, start in enumerate(range(0, frames, spacing)):
        hz = 440.0 * 2 ** ((keys[n % len(keys)] - 69) / 12.0)
        length = min(frames - start, int(1.2 * rate))
        for i in range(length):
            t = i / rate
            env = 0.55 * math.exp(-t * 4.0) * min(1.0, i / (0.004 * rate))
            w = 2.0 * math.pi * hz * t
            left[start + i] += env * (math.sin(w) + 0.3 * math.sin(2 * w) + 0.1 * math.sin(3 * w)) / 1.4
            right[start + i] += env * (math.sin(2 * w) + 0.2 * math.sin(4 * w)) / 1.2
    return [left, right]


# ---- Report ---------------------------------------------------------------------------------

def fmt_us(value):
    if value is None:
        return "n/a"
    return f"{value / 1000.0:.2f} ms" if value >= 1000.0 else f"{value:.1f} us"


def fmt_db(value):
    return "silence" if value <= SILENCE_DB else f"{value:.1f} dBFS"


def write_columns(path, rows):
    with open(path, "w", encoding="utf-8") as f:
        for row in rows:
            f.write(" ".join(f"{v:.9g}" if isinstance(v, float) else str(v) for v in row) + "\n")


def pass_figures(kv, times):
    """Median, p99 and max of a pass: from the per-block times when there are any, else from
    the host's summary."""
    if times:
        return percentile(times, 50), percentile(times, 99), max(times), "per block"
    get = lambda k: float(kv[k]) if k in kv else None
    return get("block_us_median"), get("block_us_p99"), get("block_us_max"), "host summary"


def maybe(path):
    return path if os.path.exists(path) else None


def say_wine_pass(directory, run, input_channels, say):
    """Reports the Wine pass; returns its per-block times (empty without --block-times)."""
    wine = read_kv(os.path.join(directory, "wine.kv"))
    _, wine_channels = read_wav(os.path.join(directory, "wine.wav"))
    w_peak, w_rms = levels(wine_channels)
    wtimes_path = maybe(os.path.join(directory, "wine-times.txt"))
    wine_times = read_block_times(wtimes_path) if wtimes_path else []
    w_median, w_p99, w_worst, w_source = pass_figures(wine, wine_times)
    skip = int(wine.get("untouched_blocks", "0") or 0) * int(wine.get("block_size", "0") or 0)
    _, in_rms_back = levels([c[skip:] for c in input_channels])
    _, out_rms_back = levels([c[skip:] for c in wine_channels])
    gain = to_db(out_rms_back) - to_db(in_rms_back) if in_rms_back > 0 and out_rms_back > 0 else None
    say(f"wine pass      {wine.get('effect_name', '?')} -> Wine-library slave -> Windows DLL, "
        f"{wine.get('inputs', '?')} in / {wine.get('outputs', '?')} out, {wine.get('block_size', '?')}-frame blocks")
    say(f"  slave        {run.get('wine_slave_cmd', '?')}")
    say(f"  host         {run.get('wine_host_cmd', '?')}")
    say(f"  blocks       {wine.get('blocks', '?')} processed, {wine.get('untouched_blocks', '?')} before the link "
        f"was up (no output written)")
    say(f"  round trip   median {fmt_us(w_median)}, p99 {fmt_us(w_p99)}, max {fmt_us(w_worst)} ({w_source})")
    say(f"  level out    peak {fmt_db(to_db(w_peak))}, RMS {fmt_db(to_db(w_rms))}"
        + (f" (RMS {gain:+.1f} dB against the input)" if gain is not None else ""))
    say(f"  events sent  {wine.get('midi_sent', '?')} MIDI, {wine.get('sysex_sent', '?')} SysEx (host -> slave)")
    say(f"  events back  {wine.get('midi_received', '?')} MIDI, {wine.get('sysex_received', '?')} SysEx "
        f"(the DLL's echo, slave -> host)")
    return wine_times


def report(directory):
    run = read_kv(os.path.join(directory, "run.kv"))
    plot = os.path.join(directory, "plot")
    os.makedirs(plot, exist_ok=True)
    lines = []
    say = lines.append
    rate_hint = int(run.get("rate", "44100"))

    # Effect pass.
    eff = read_kv(os.path.join(directory, "effect.kv"))
    rate_in, input_channels = read_wav(os.path.join(directory, "input.wav"))
    rate_out, effect_channels = read_wav(os.path.join(directory, "effect.wav"))
    in_peak, in_rms = levels(input_channels)
    out_peak, out_rms = levels(effect_channels)
    times_path = maybe(os.path.join(directory, "effect-times.txt"))
    effect_times = read_block_times(times_path) if times_path else []
    median, p99, worst, source = pass_figures(eff, effect_times)

    say(f"Tolvane demo: tolvane-host -> plug-in -> tolvane-slave -> back, slave number {run.get('slave', '?')}")
    say(f"effect pass    {eff.get('effect_name', '?')}, {eff.get('inputs', '?')} in / {eff.get('outputs', '?')} out, "
        f"{eff.get('sample_rate', '?')} Hz, {eff.get('block_size', '?')}-frame blocks"
        f"{', paced in real time' if run.get('realtime') == '1' else ''}")
    say(f"  slave        {run.get('effect_slave_cmd', '?')}")
    say(f"  host         {run.get('effect_host_cmd', '?')}")
    say(f"  blocks       {eff.get('blocks', '?')} processed, {eff.get('untouched_blocks', '?')} before the link "
        f"was up (no output written)")
    say(f"  round trip   median {fmt_us(median)}, p99 {fmt_us(p99)}, max {fmt_us(worst)} ({source})")
    # The gain is compared over the blocks that came back: the first blocks, before the start
    # answer, have no output and would count as a loss.
    skip = int(eff.get("untouched_blocks", "0") or 0) * int(eff.get("block_size", "0") or 0)
    _, in_rms_back = levels([c[skip:] for c in input_channels])
    _, out_rms_back = levels([c[skip:] for c in effect_channels])
    gain = to_db(out_rms_back) - to_db(in_rms_back) if in_rms_back > 0 and out_rms_back > 0 else None
    say(f"  level in     peak {fmt_db(to_db(in_peak))}, RMS {fmt_db(to_db(in_rms))}")
    say(f"  level out    peak {fmt_db(to_db(out_peak))}, RMS {fmt_db(to_db(out_rms))}"
        + (f" (RMS {gain:+.1f} dB against the input)" if gain is not None else ""))

    # Instrument pass.
    ins = read_kv(os.path.join(directory, "instrument.kv"))
    rate_i, instrument_channels = read_wav(os.path.join(directory, "instrument.wav"))
    i_peak, i_rms = levels(instrument_channels)
    events = parse_events(os.path.join(directory, "instrument-events.txt"))
    itimes_path = maybe(os.path.join(directory, "instrument-times.txt"))
    i_median, i_p99, i_worst, i_source = pass_figures(ins, read_block_times(itimes_path) if itimes_path else [])
    say(f"instrument     {ins.get('effect_name', '?')}, {ins.get('inputs', '?')} in / {ins.get('outputs', '?')} out, "
        f"{ins.get('blocks', '?')} blocks of {ins.get('block_size', '?')} frames")
    say(f"  slave        {run.get('instrument_slave_cmd', '?')}")
    say(f"  host         {run.get('instrument_host_cmd', '?')}")
    say(f"  round trip   median {fmt_us(i_median)}, p99 {fmt_us(i_p99)}, max {fmt_us(i_worst)} ({i_source})")
    say(f"  events sent  {ins.get('midi_sent', '?')} MIDI, {ins.get('sysex_sent', '?')} SysEx (host -> slave)")
    say(f"  events back  {ins.get('midi_received', '?')} MIDI, {ins.get('sysex_received', '?')} SysEx "
        f"(slave -> host)")
    say(f"  level out    peak {fmt_db(to_db(i_peak))}, RMS {fmt_db(to_db(i_rms))}")

    # The Wine pass: the test signal and the phrase through the Wine-library slave to a Windows DLL.
    wine_times = []
    if "wine_skipped" in run:
        say(f"wine pass      skipped: {run['wine_skipped']}")
    elif "wine_slave_cmd" in run:
        wine_times = say_wine_pass(directory, run, input_channels, say)

    # Data for the picture.
    write_columns(os.path.join(plot, "input-env.dat"), envelope(input_channels[0], rate_in))
    write_columns(os.path.join(plot, "effect-env.dat"), envelope(effect_channels[0], rate_out))
    zoom_start = int(float(run.get("zoom_start", "0.40")) * rate_in)
    zoom_frames = int(float(run.get("zoom_length", "0.02")) * rate_in)
    for name, chans, rate in (("input-zoom.dat", input_channels, rate_in), ("effect-zoom.dat", effect_channels, rate_out)):
        part = chans[0][zoom_start:zoom_start + zoom_frames]
        write_columns(os.path.join(plot, name), [((zoom_start + i) / rate * 1000.0, v) for i, v in enumerate(part)])
    write_columns(os.path.join(plot, "instrument-env.dat"),
                  envelope(instrument_channels[0], rate_i) if instrument_channels else [])

    if effect_times:
        hist = log_histogram(effect_times)
        hist_label = f"{len(effect_times)} blocks"
        hist_unit = "blocks"
    else:
        runs_path = maybe(os.path.join(directory, "effect-runs.txt"))
        medians = usable_run_medians(read_run_summaries(runs_path) if runs_path else [])
        hist = log_histogram(medians)
        hist_label = f"bars: median of each of {len(medians)} short runs; lines: the whole run"
        hist_unit = "runs"
    write_columns(os.path.join(plot, "histogram.dat"),
                  [(math.sqrt(lo * hi), lo, hi, n) for lo, hi, n in hist] or [(1.0, 1.0, 1.0, 0)])
    # The Wine pass's blocks on the same bin edges, drawn over the effect pass's.
    wine_hist = log_histogram(wine_times) if hist_unit == "blocks" else []
    if wine_hist:
        write_columns(os.path.join(plot, "wine-histogram.dat"),
                      [(math.sqrt(lo * hi), lo, hi, n) for lo, hi, n in wine_hist])

    block_size = int(ins.get("block_size", "512"))
    rate_ins = float(ins.get("sample_rate", str(rate_hint)))
    back = note_spans(events, block_size, rate_ins)
    sent = scheduled_notes(parse_note_patterns(run.get("notes", "")), int(ins.get("blocks", "0")), block_size,
                           rate_ins)
    write_columns(os.path.join(plot, "notes-sent.dat"), [(s, e - s, k) for s, e, k in sent] or [(0.0, 0.0, 0)])
    write_columns(os.path.join(plot, "notes-back.dat"), [(s, e - s, k) for s, e, k in back] or [(0.0, 0.0, 0)])
    sysex_back = [((b * block_size + d) / rate_ins,) for b, d, kind, _ in events if kind == "sysex"]
    write_columns(os.path.join(plot, "sysex-back.dat"), sysex_back or [(-1.0,)])
    keys = [k for _, _, k in sent + back] or [60]

    with open(os.path.join(plot, "labels.gp"), "w", encoding="utf-8") as f:
        q = lambda s: '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'
        f.write(f"effect_title = {q(run.get('effect_title', 'Tolvane'))}\n")
        f.write(f"instrument_title = {q(run.get('instrument_title', 'TolvaneI'))}\n")
        f.write(f"hist_label = {q(hist_label)}\nhist_unit = {q(hist_unit)}\n")
        f.write(f"hist_max = {max([n for _, _, n in hist + wine_hist] or [1])}\n")
        f.write(f"wine_blocks = {len(wine_times) if wine_hist else 0}\n")
        f.write(f"median_us = {median or 0.0:.6g}\np99_us = {p99 or 0.0:.6g}\n")
        f.write(f"run_seconds = {max(len(input_channels[0]) / rate_in, 0.001):.6g}\n")
        f.write(f"instrument_seconds = {max(int(ins.get('blocks', '1')) * block_size / rate_ins, 0.001):.6g}\n")
        f.write(f"key_low = {min(keys) - 2}\nkey_high = {max(keys) + 2}\n")
        f.write(f"instrument_audible = {1 if i_peak > 1e-6 else 0}\n")
        f.write(f"instrument_peak = {max(1.0, min(i_peak, 100.0)) * 1.05:.6g}\n")
        f.write(f"notes_back = {len(back)}\nsysex_back = {len(sysex_back)}\n")
        events_line = (f"events: {ins.get('midi_sent', '?')} MIDI + {ins.get('sysex_sent', '?')} SysEx sent, "
                       f"{ins.get('midi_received', '?')} MIDI + {ins.get('sysex_received', '?')} SysEx came back")
        f.write(f"events_line = {q(events_line)}\n")
        f.write(f"zoom_from_ms = {zoom_start / rate_in * 1000.0:.6g}\n"
                f"zoom_to_ms = {(zoom_start + zoom_frames) / rate_in * 1000.0:.6g}\n")

    text = "\n".join(lines) + "\n"
    with open(os.path.join(directory, "report.txt"), "w", encoding="utf-8") as f:
        f.write(text)
    return text


def main(argv):
    if len(argv) >= 2 and argv[0] == "signal":
        seconds, rate = 3.0, 44100
        rest = argv[2:]
        while rest:
            if rest[0] == "--seconds" and len(rest) > 1:
                seconds = float(rest[1])
            elif rest[0] == "--rate" and len(rest) > 1:
                rate = int(rest[1])
            else:
                print(f"demo_tools.py: unknown option {rest[0]}", file=sys.stderr)
                return 2
            rest = rest[2:]
        if not (0.0 < seconds <= 600.0) or not (1000 <= rate <= 384000):
            print("demo_tools.py: --seconds 0..600 and --rate 1000..384000", file=sys.stderr)
            return 2
        write_wav(argv[1], rate, test_signal(rate, seconds))
        return 0
    if len(argv) == 2 and argv[0] == "report":
        try:
            sys.stdout.write(report(argv[1]))
        except (OSError, WavError, ValueError, KeyError) as e:
            print(f"demo_tools.py: {e}", file=sys.stderr)
            return 1
        return 0
    print("usage: demo_tools.py signal OUT.wav [--seconds S] [--rate HZ] | report DIR", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
