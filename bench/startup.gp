# Draws bench/startup.png from the data bench/render.py writes:
#   gnuplot -e "wine='WINE.dat'; synthetic='SYNTH.dat'; out='startup.png'; subtitle='...'" startup.gp
# Each data line: size_MB cold warm changed cold_floor warm_floor changed_floor
# (seconds; launcher starts minus the bare program's start). The Wine corpus
# is drawn as lines; the synthetic folder, whose data compress differently,
# as lone open markers.
set terminal pngcairo size 960,600 font "DejaVu Sans,11"
set output out
set title "Launcher starts under Wine against native floors\n{/*0.8 " . subtitle . "}"
set xlabel "application size (MB)"
set ylabel "start time minus a bare program's start (s)"
set key top left box opaque
set grid
set xrange [0:*]
set yrange [0:*]
set style line 1 lc rgb "#c0392b" lw 2 pt 7 ps 1.2
set style line 2 lc rgb "#2471a3" lw 2 pt 5 ps 1.2
set style line 3 lc rgb "#229954" lw 2 pt 9 ps 1.4
set style line 11 lc rgb "#c0392b" lw 2 dt 2 pt 7 ps 0.8
set style line 12 lc rgb "#2471a3" lw 2 dt 2 pt 5 ps 0.8
set style line 13 lc rgb "#229954" lw 2 dt 2 pt 9 ps 1.0
plot wine using 1:2 with linespoints ls 1 title "cold start", \
     wine using 1:5 with linespoints ls 11 title "cold floor: zstd -d + tar -xf", \
     wine using 1:4 with linespoints ls 3 title "one file changed", \
     wine using 1:7 with linespoints ls 13 title "changed floor: zstd -d + CRC-32", \
     wine using 1:3 with linespoints ls 2 title "warm start", \
     wine using 1:6 with linespoints ls 12 title "warm floor: CRC-32 of every file", \
     synthetic using 1:2 with points lc rgb "#c0392b" pt 6 ps 1.6 notitle, \
     synthetic using 1:4 with points lc rgb "#229954" pt 8 ps 1.6 notitle, \
     synthetic using 1:3 with points lc rgb "#2471a3" pt 4 ps 1.6 notitle, \
     NaN with points lc rgb "#555555" pt 6 ps 1.6 title "synthetic folder (open markers)"
