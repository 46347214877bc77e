set terminal pngcairo size 960,600 font 'sans,10'
set output 'w4-latency.png'
set title 'W4 recording load: latency from send to delivery at the last consumer (all rounds)'
set logscale x
set xlabel 'latency, us'
set ylabel 'fraction of messages at or below'
set yrange [0:1.02]
set grid
set key right bottom
plot 'w4-tessard.dat' using 1:2 with lines lw 2 title 'tessard', 'w4-zmq-bounded.dat' using 1:2 with lines lw 2 title 'zmq-bounded', 'w4-zmq-unbounded.dat' using 1:2 with lines lw 2 title 'zmq-unbounded', 'w4-zmq-threads.dat' using 1:2 with lines lw 2 title 'zmq-threads', 'w4-gstreamer.dat' using 1:2 with lines lw 2 title 'gstreamer', 'w4-floor.dat' using 1:2 with lines lw 2 title 'floor'
