# morlane's time ÷ JNA direct's per operation, both JVMs, median and quartiles (bench/run.sh).
set terminal svg size 820,440 font 'sans,12' background rgb 'white'
set output out
set datafile missing '?'
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set yrange [0:*]
set ylabel "morlane ÷ JNA direct (time per call)"
set title "Below 1: morlane is faster (bars: median of per-round ratios; whiskers: quartiles)"
set xtics scale 0
set grid ytics
set key outside top center horizontal
set arrow from graph 0, first 0.8 to graph 1, first 0.8 nohead dt 2 lc rgb '#6a3d9a'
set arrow from graph 0, first 1 to graph 1, first 1 nohead lc rgb '#444444'
plot data using 2:3:4:xtic(1) title '64-bit JVM (target ≤ 0.8 on register calls)' \
       lc rgb '#6a3d9a', \
     '' using 5:6:7 title '32-bit JVM (target ≤ 1.0)' lc rgb '#ff7f00'
