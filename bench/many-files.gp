# Draws bench/many-files.png from the data bench/render.py writes:
#   gnuplot -e "npm='NPM.dat'; tree='TREE.dat'; out='many-files.png'; subtitle='...'" many-files.gp
# Each data line: "label" start floor (seconds; each minus the bare program's
# start). One panel per corpus given (a quick run has no npm corpus), each
# with its own scale: a start and its floor side by side for every kind of
# start measured.
set terminal pngcairo size 1200,560 font "DejaVu Sans,10"
set output out
set multiplot layout 1,exists("npm") + exists("tree") title "Starts of many small files under Wine against Windows-side floors under the same Wine\n{/*0.8 " . subtitle . "}"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:*]
set xtics rotate by -25 left
set ylabel "time minus a bare program's start (s)"
set key top right box opaque
set rmargin 8
if (exists("npm")) {
    set title "npm: node_modules" noenhanced
    plot npm using 2:xtic(1) lc rgb "#2471a3" title "launcher start", \
         '' using 3 lc rgb "#aab7b8" title "floor"
    unset ylabel
}
if (exists("tree")) {
    set title "synthetic tree"
    plot tree using 2:xtic(1) lc rgb "#2471a3" title "launcher start", \
         '' using 3 lc rgb "#aab7b8" title "floor"
}
unset multiplot
