# The bench's plot: time per module against N for kvr_sign, the whole-run floor and the
# per-module floor of signing alone, by wall time and by CPU time (user and system).
#   gnuplot -e "data='<points>'; output='<file>.svg'; machine='<text>'" bench/plot.gp
set terminal svg size 960,440 dynamic noenhanced font "sans,12" background "white"
set output output
set multiplot layout 1,2 title "Time per module, medians (".machine.")" font "sans,12"
set logscale x
set xlabel "N, modules signed in one run"
set ylabel "ms per module"
set yrange [0:*]
set xrange [0.7:15000]
set key top right
set grid xtics ytics lc rgb "#dddddd"
set title "wall time"
plot data using 1:2 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "kvr_sign", \
     data using 1:3 with linespoints lw 2 pt 5 lc rgb "#ff7f0e" title "whole-run floor", \
     data using 1:4 with lines lw 2 dt 2 lc rgb "#2ca02c" title "signing floor"
set title "CPU time (user + system)"
plot data using 1:5 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "kvr_sign", \
     data using 1:6 with linespoints lw 2 pt 5 lc rgb "#ff7f0e" title "whole-run floor", \
     data using 1:7 with lines lw 2 dt 2 lc rgb "#2ca02c" title "signing floor"
unset multiplot
