# Full-cycle ratio router / bare baseline against the number of connected
# application servers, from the CSV that rrbench --scale writes
# (docs/performance-scale.csv). Run from the repository root:
#   gnuplot docs/performance-scale.gp
# Writes docs/performance-scale.svg.
set terminal svg size 900,560 dynamic font "sans,12"
set output "docs/performance-scale.svg"
set datafile separator ","
set key bottom left box opaque
set logscale x
set xrange [7:14000]
set yrange [0:1.2]
set xtics ("10" 10, "100" 100, "1000" 1000, "5000" 5000, "10,000" 10000)
set ytics 0.1
set xlabel "connected application servers"
set ylabel "full cycles per second, router / baseline"
set title "KTReqRouter full cycle (get-server, working, idle) against the bare baseline"
set grid

csv = "docs/performance-scale.csv"
# Columns: 2 kind, 3 servers, 4 pools, 12 ratio.
onePool(col) = (strcol(2) eq "cycle" && column(4) == 1) ? column(col) : 1/0
manyPools(col) = (strcol(2) eq "cycle" && column(4) > 1) ? column(col) : 1/0

$targets << EOD
10,0.85
900,0.80
5000,0.70
EOD

plot csv using 3:(onePool(12)) smooth unique with linespoints lw 2 pt 7 title "one pool", \
     csv using 3:(manyPools(12)) smooth unique with linespoints lw 2 pt 5 title "100 pools (10 pools with 10 servers)", \
     $targets using 1:2 with points pt 9 ps 1.5 lc rgb "red" title "targets (10: 0.85, 900: 0.8, 5000: 0.7)", \
     1 with lines dt 2 lc rgb "gray" notitle
