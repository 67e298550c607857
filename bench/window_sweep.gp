# Edge-phase sweep time against window size, reference and fast kernel.
#   gnuplot -e "csv='edge_sweep_by_window.csv'; png='window_sweep.png'" window_sweep.gp
set datafile separator ','
set terminal pngcairo size 720,420 font ',11'
set output png
set title 'Sorvik edge-phase sweep, 512 x 512, K = 4'
set xlabel 'window size w (pixels)'
set ylabel 'time per sweep (ms)'
set logscale y
set grid
set key top left
set xtics 3,2,21
plot csv using 1:3 skip 1 with linespoints lw 2 pt 7 title 'reference (pass over the disc per class)', \
     csv using 1:4 skip 1 with linespoints lw 2 pt 5 title 'fast (running class counts)'
