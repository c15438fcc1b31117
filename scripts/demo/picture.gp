# The demo's picture: the effect's input and output, a close-up of both, the round trip per
# block (with the Wine pass's when it ran), and the instrument's MIDI phrase with what came
# back. Data from demo_tools.py report.
#   gnuplot -e "dir='build/demo'" scripts/demo/picture.gp      (writes dir/demo.png)
if (!exists("dir")) dir = "build/demo"
p = dir . "/plot/"
wine_blocks = 0
load p . "labels.gp"

set terminal pngcairo size 1400,1050 font "DejaVu Sans,11" noenhanced
set output dir . "/demo.png"
set multiplot title "Tolvane demo: tolvane-host -> plug-in -> shared block -> tolvane-slave -> back" font ",14"

c_in = "#5b8fd6"
c_out = "#e0701b"
c_sent = "#8fb0e0"
c_back = "#1f3f73"
set style fill transparent solid 0.55 noborder
set grid xtics ytics lc rgb "#dddddd"
set key top right opaque box lc rgb "#cccccc"

# ---- The effect: the whole run ----
set origin 0.0, 0.655
set size 1.0, 0.30
set title effect_title . ": left channel, whole run"
set xlabel "time (s)" offset 0,0.5
set ylabel "sample"
set xrange [0:run_seconds]
set yrange [-1:1]
plot p."input-env.dat" using 1:2:3 with filledcurves lc rgb c_in title "input (test signal)", \
     p."effect-env.dat" using 1:2:3 with filledcurves lc rgb c_out title "output (back from the slave)"

# ---- The effect: close-up ----
set origin 0.0, 0.335
set size 0.5, 0.31
set title sprintf("close-up, %.0f to %.0f ms", zoom_from_ms, zoom_to_ms)
set xlabel "time (ms)"
set xrange [zoom_from_ms:zoom_to_ms]
set autoscale y
plot p."input-zoom.dat" using 1:2 with lines lw 2 lc rgb c_in title "input", \
     p."effect-zoom.dat" using 1:2 with lines lw 2 lc rgb c_out title "output"

# ---- Round trip per block ----
set origin 0.5, 0.335
set size 0.5, 0.31
set title "round trip per processing call\n(" . hist_label . ")"
set xlabel "microseconds (log scale)"
set ylabel hist_unit
set logscale x
set autoscale x
set yrange [0:hist_max * 1.35 + 0.5]
set style fill solid 0.8 border lc rgb "#444444"
set arrow 1 from median_us, graph 0 to median_us, graph 1 nohead lw 2 dt 2 lc rgb "#2a7a2a" front
set arrow 2 from p99_us, graph 0 to p99_us, graph 1 nohead lw 2 dt 2 lc rgb "#b22222" front
set label 1 sprintf(" median %.1f us", median_us) at median_us, graph 0.95 left tc rgb "#2a7a2a" front
set label 2 sprintf(" p99 %.1f us", p99_us) at p99_us, graph 0.87 left tc rgb "#b22222" front
unset key
if (wine_blocks > 0) {
  # The Wine pass's blocks over the effect pass's, on the same bins; the key below the labels
  # of the median and the p99.
  set yrange [0:hist_max * 1.8 + 0.5]
  set key at graph 0.99, graph 0.8 right top opaque box lc rgb "#cccccc"
  set style fill transparent solid 0.55 border lc rgb "#444444"
  plot p."histogram.dat" using 1:4:2:3 with boxes lc rgb c_in title "Tolvane -> tolvane-slave", \
       p."wine-histogram.dat" using 1:4:2:3 with boxes lc rgb c_out \
         title sprintf("Tolvane -> Wine-library slave -> DLL (%d blocks)", wine_blocks)
} else {
  plot p."histogram.dat" using 1:4:2:3 with boxes lc rgb c_in notitle
}
set key default
set key top right opaque box lc rgb "#cccccc"
unset arrow 1
unset arrow 2
unset label 1
unset label 2
unset logscale x

# ---- The instrument: the MIDI phrase and what came back ----
set origin 0.0, 0.0
set size 1.0, 0.325
set title instrument_title . "; " . events_line
set xlabel "time (s)"
set ylabel "MIDI key"
set xrange [0:instrument_seconds]
set yrange [key_low:key_high + 10]
set style fill transparent solid 0.35 noborder
# Only what there is goes into the plot and its key: a synthesizer sends nothing back, the echo
# makes no sound.
layers = ""
if (instrument_audible) {
  set y2label "output sample"
  set y2range [-instrument_peak:instrument_peak]
  set y2tics
  layers = "p.'instrument-env.dat' using 1:2:3 axes x1y2 with filledcurves lc rgb c_out title 'output (left)', "
}
layers = layers . "p.'notes-sent.dat' using 1:3:2:(0) with vectors nohead lw 9 lc rgb c_sent title 'notes sent'"
if (notes_back > 0) {
  layers = layers . ", p.'notes-back.dat' using 1:3:2:(0) with vectors nohead lw 3 lc rgb c_back title 'notes back'"
}
if (sysex_back > 0) {
  layers = layers . ", p.'sysex-back.dat' using 1:(key_low + 1) with points pt 7 ps 1.2 lc rgb '#b22222' title 'SysEx back'"
}
eval "plot " . layers
unset multiplot
