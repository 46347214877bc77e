set terminal pngcairo size 960,600 font 'sans,10'
set output 'w3.png'
set title 'W3 fan-out: 200,000 messages of 4 KiB, messages/s against consumers (median, range over rounds)'
set logscale x 2
set xtics (1, 2, 8, 32)
set xrange [0.8:40]
set xlabel 'consumers K'
set ylabel 'messages/s'
set logscale y
set grid
set key outside right top
plot 'w3.dat' using 1:2:3:4 with yerrorlines lw 2 title 'tessard', 'w3.dat' using 1:5:6:7 with yerrorlines lw 2 title 'zmq-bounded', 'w3.dat' using 1:8:9:10 with yerrorlines lw 2 title 'zmq-unbounded', 'w3.dat' using 1:11:12:13 with yerrorlines lw 2 title 'zmq-threads', 'w3.dat' using 1:14:15:16 with yerrorlines lw 2 title 'gstreamer', 'w3.dat' using 1:17:18:19 with yerrorlines lw 2 title 'floor'
