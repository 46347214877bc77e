# W5's plot: CPU time per camera-hour against the number of cameras, for
# the server, the GStreamer peer and the peer without a parser; points where a contender did not keep
# real time (or lost a frame) are drawn hollow. Reads w5.tsv in the current
# directory, writes w5.png; `seconds` (the run length) comes from w5.sh.
set terminal pngcairo size 900,520 font "DejaVu Sans,11"
set output "w5.png"
set datafile separator "\t"
set key top right
set grid
set logscale x 2
set xlabel "cameras (1080p, 25 frames/s, ~4 Mbit/s each)"
set ylabel "CPU seconds per camera-hour"
set yrange [0:*]
hours(m) = m * (seconds - 3) / 3600.0
plot "w5.tsv" every ::1 using 1:(strcol(4) eq "yes" ? $2 / hours($1) : 1/0) \
         with linespoints pt 7 lc rgb "#1f77b4" title "tessard", \
     "" every ::1 using 1:(strcol(4) eq "yes" ? 1/0 : $2 / hours($1)) \
         with points pt 6 ps 1.5 lc rgb "#1f77b4" title "tessard, not real time", \
     "" every ::1 using 1:(strcol(7) eq "yes" ? $5 / hours($1) : 1/0) \
         with linespoints pt 5 lc rgb "#ff7f0e" title "GStreamer peer", \
     "" every ::1 using 1:(strcol(7) eq "yes" ? 1/0 : $5 / hours($1)) \
         with points pt 4 ps 1.5 lc rgb "#ff7f0e" title "peer, not real time", \
     "" every ::1 using 1:(strcol(11) eq "yes" ? $9 / hours($1) : 1/0) \
         with linespoints pt 9 lc rgb "#2ca02c" title "peer without parser", \
     "" every ::1 using 1:(strcol(11) eq "yes" ? 1/0 : $9 / hours($1)) \
         with points pt 8 ps 1.5 lc rgb "#2ca02c" title "peer without parser, not real time"
