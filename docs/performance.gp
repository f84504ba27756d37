# Get-server round trip against pool size, from the CSV that rrbench --all
# writes (docs/performance.csv). Run from the repository root:
#   gnuplot docs/performance.gp
# Writes docs/performance-latency.svg.
set terminal svg size 900,560 dynamic font "sans,12"
set output "docs/performance-latency.svg"
set datafile separator ","
set key top left box opaque
set logscale x
set logscale y
set xrange [7:1400]
set xtics ("10" 10, "100" 100, "1000" 1000)
set xlabel "application servers in the pool"
set ylabel "get-server round trip (microseconds)"
set title "KTReqRouter get-server latency against pool size (one request in flight, loopback)"
set grid

csv = "docs/performance.csv"
# Column numbers of the CSV: 1 scenario, 2 servers, 11..13 p50/p90/p99,
# 15 baseline p50.
is(prefix) = sprintf("strstrt(strcol(1), \"%s\") == 1", prefix)
paced(col) = (strstrt(strcol(1), "paced") == 1 && strstrt(strcol(1), "limits") == 0) ? column(col) : 1/0
pacedLimits(col) = (strstrt(strcol(1), "paced") == 1 && strstrt(strcol(1), "limits") > 0) ? column(col) : 1/0
refused(col) = strstrt(strcol(1), "refused") == 1 ? column(col) : 1/0
flood(col) = strstrt(strcol(1), "flood") == 1 ? column(col) : 1/0

plot csv using 2:(paced(11)) smooth unique with linespoints lw 2 pt 7 title "p50, assignment (paced)", \
     csv using 2:(paced(12)) smooth unique with linespoints lw 1 pt 6 dt 2 title "p90, assignment (paced)", \
     csv using 2:(paced(13)) smooth unique with linespoints lw 1 pt 6 dt 3 title "p99, assignment (paced)", \
     csv using 2:(pacedLimits(11)) smooth unique with linespoints lw 2 pt 5 title "p50, assignment with limits (paced)", \
     csv using 2:(refused(11)) smooth unique with linespoints lw 2 pt 9 title "p50, pool scanned and refused (flood)", \
     csv using 2:(flood(11)) smooth unique with linespoints lw 2 pt 11 title "p50, full cycles (flood)", \
     csv using 2:(refused(15)) smooth unique with linespoints lw 2 pt 13 lc rgb "black" title "p50, UDP echo baseline"
