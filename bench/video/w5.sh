#!/bin/sh
# W5, real cameras: M cameras of 1080p H.264 at 25 frames/s and about
# 4 Mbit/s, fed from a pre-encoded file at its real-time rate (so that no
# encoder's CPU counts), recorded into Matroska, by three contenders in the
# same run:
#
#   tessard  the server with the example camera plugin (one pipeline per
#            camera: filesrc ! matroskademux ! appsink, paced by the sink;
#            the camera makes each unit Annex-B itself) and the example
#            recorder (matroskamux ! filesink per camera, fed by its writer
#            thread), every frame through the core as a sequenced record;
#   peer     GStreamer alone (peer.c beside this script): one process with
#            one pipeline per camera, filesrc ! matroskademux ! h264parse !
#            clocksync ! matroskamux ! filesink, paced by clocksync;
#   bare     the same peer without h264parse, the input path of the
#            server's file cameras: what it costs the server more than this
#            is the hub's own cost.
#
# All start each camera's pipeline from a thread of its own, so that in
# all each camera paces its frames at instants of its own, as real cameras
# do. (Chains sharing one pipeline would all wake at the same instants,
# which costs much less CPU on this machine than frames spread over the
# frame period, and would not compare like with like.)
#
# For every M it reports each contender's CPU time per camera-hour in the
# steady state: the process's user and system time (all threads, from
# /proc/<pid>/stat) from 2 s after its start to 1 s before the source's
# end, so that starting up (loading GStreamer's elements) and finishing do
# not count. And whether the run kept real time with no frame lost: every
# output file holds every frame of the source, and the last camera ended
# within 5 % plus 3 s of the source's length after the start (for the
# server: after it said it was up). The largest M that did is the
# contender's real-time M.
#
# The contenders run every M `--rounds` times, one after the other, the
# first of them changing from round to round: the CPU time one run takes
# moves by a quarter or more on this machine, so one run per M cannot tell
# differences of that size. The table gives each contender's median CPU
# time and the median of the per-round ratios of the server's CPU time to
# each peer's; a contender kept real time when it did in every round.
#
#   w5.sh BUILD_DIR OUT_DIR [--cameras "4 8 16"] [--seconds 30] [--rounds 3]
#
# BUILD_DIR holds the built tessard and plugins/; OUT_DIR gets w5.tsv (the
# medians), w5-rounds.tsv (every run), the table w5.md, and w5.png when
# gnuplot is there. The source file is made
# once, into BUILD_DIR/w5-source-<seconds>s.mkv.
set -eu

build=$(cd "$1" && pwd)
out=$2
shift 2
cameras="2 8 16 32 64 128"
seconds=30
rounds=3
while [ $# -gt 0 ]; do
    case "$1" in
        --cameras) cameras=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
work="$build/w5-work"
source="$build/w5-source-${seconds}s.mkv"
frames=$((seconds * 25))
# One registry of GStreamer's elements for every run, made by the first:
# without it each server, with its own HOME, would scan them all again.
GST_REGISTRY="$build/w5-gstreamer-registry.bin"
export GST_REGISTRY

# ---- The source: 1080p, 25 frames/s, ~4 Mbit/s, a key frame every 2 s --------
# Noise, so that the encoder spends the whole bitrate on it.
if [ ! -s "$source" ]; then
    echo "=== encoding the source ($seconds s of 1080p), once"
    gst-launch-1.0 -q videotestsrc num-buffers="$frames" pattern=snow \
        ! video/x-raw,width=1920,height=1080,framerate=25/1 \
        ! x264enc speed-preset=ultrafast bitrate=4000 key-int-max=50 \
        ! h264parse ! matroskamux ! filesink location="$source.part"
    mv "$source.part" "$source"
fi
bitrate=$(ffprobe -v error -show_entries format=bit_rate -of default=nw=1:nk=1 "$source")

# Frames in every .mkv of a directory, one count a line.
count_frames() {
    for file in "$1"/*.mkv; do
        ffprobe -v error -count_packets -select_streams v:0 \
            -show_entries stream=nb_read_packets -of default=nw=1:nk=1 "$file"
    done
}

# "yes" when the directory holds $2 files of $frames frames each.
complete() {
    count_frames "$1" | awk -v m="$2" -v f="$frames" \
        '$1 == f { n++ } END { print (n == m ? "yes" : "no") }'
}

# CPU time (user + system, all threads) of process $1 so far, in seconds.
cpu_of() {
    awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}

now() { date +%s.%N; }

# Samples the CPU time of process $1 from 2 s after $2 (its start) to 1 s
# before the source's end; prints it.
steady_cpu() {
    sleep "$(echo "$2 + 2 - $(now)" | bc)"
    first=$(cpu_of "$1")
    sleep "$(echo "$2 + $seconds - 1 - $(now)" | bc)"
    echo "$(cpu_of "$1") - $first" | bc
}

# ---- tessard --------------------------------------------------------------------
# Prints "cpu_seconds ended_after_seconds complete": the CPU time of the
# steady window, and when the last camera reached the end of the source,
# counted from the moment the server was up.
run_tessard() {
    m=$1
    rm -rf "$work" && mkdir -p "$work/plugins" "$work/home" "$work/rec"
    # A copy: the server follows links in its own path to its plugins.
    cp "$build/tessard" "$work/tessard"
    cp "$build/plugins/camera.so" "$build/plugins/recorder.so" "$work/plugins/"
    {
        echo "cameras = $m"
        i=1
        while [ "$i" -le "$m" ]; do echo "source.$i = $source"; i=$((i + 1)); done
    } > "$work/plugins/camera.conf"
    printf 'directory = %s\nsegment_seconds = 3600\n' "$work/rec" > "$work/plugins/recorder.conf"
    mkfifo "$work/input"
    (cd "$work" && HOME="$work/home" exec ./tessard -d < "$work/input" > "$work/output" 2>&1) &
    server=$!
    exec 3> "$work/input"
    until grep -q "press any key" "$work/output" 2> /dev/null; do sleep 0.05; done
    up=$(now)
    cpu=$(steady_cpu "$server" "$up")
    deadline=$(echo "$up + $seconds * 2 + 30" | bc)
    while [ "$(grep -c ': end of ' "$work/output" || true)" -lt "$m" ] &&
        [ "$(echo "$(now) < $deadline" | bc)" = 1 ]; do
        sleep 0.1
    done
    ended=$(now)
    echo >&3
    exec 3>&-
    wait "$server"
    echo "$cpu $(echo "$ended - $up" | bc) $(complete "$work/rec" "$m")"
}

# ---- The GStreamer peer ---------------------------------------------------------
peer_program="$build/w5-peer"
if [ ! -x "$peer_program" ] || [ "$here/peer.c" -nt "$peer_program" ]; then
    # shellcheck disable=SC2046
    cc -O2 -o "$peer_program" "$here/peer.c" $(pkg-config --cflags --libs gstreamer-1.0) -lpthread
fi

run_peer() {  # M [--no-parser]
    m=$1
    shift
    rm -rf "$work" && mkdir -p "$work/rec"
    up=$(now)
    "$peer_program" "$source" "$m" "$work/rec" "$@" > "$work/output" 2>&1 &
    peer=$!
    cpu=$(steady_cpu "$peer" "$up")
    wait "$peer"
    ended=$(now)
    echo "$cpu $(echo "$ended - $up" | bc) $(complete "$work/rec" "$m")"
}

run_bare() { run_peer "$1" --no-parser; }

# ---- The rounds -----------------------------------------------------------------
realtime() {  # ended_after complete -> yes/no
    awk -v e="$1" -v c="$2" -v s="$seconds" 'BEGIN { print (c == "yes" && e <= s * 1.05 + 3 ? "yes" : "no") }'
}

# Median of the numbers on standard input, one a line.
median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# For camera count $m, per contender: the median CPU, the latest end, and
# "yes" only when every round kept real time.
summary() {
    rows=$(awk -F '\t' -v m="$m" -v c="$1" '$1 == m && $3 == c' "$out/w5-rounds.tsv")
    printf '%s\t' "$(printf '%s\n' "$rows" | cut -f4 | median)"
    printf '%s\n' "$rows" | awk -F '\t' '$5 > end { end = $5 } $6 != "yes" { late = 1 }
        END { printf "%s\t%s", end, (late ? "no" : "yes") }'
}
ratio() {  # the median of the rounds' ratios of the server's CPU time to $1's
    awk -F '\t' -v m="$m" -v p="$1" '$1 == m { cpu[$2, $3] = $4; n[$2] = 1 }
        END { for (r in n) if (cpu[r, p] > 0) print cpu[r, "tessard"] / cpu[r, p] }' \
        "$out/w5-rounds.tsv" | median
}

printf 'cameras\tround\tcontender\tcpu_s\tended_s\trealtime\n' > "$out/w5-rounds.tsv"
printf 'cameras\ttessard_cpu_s\ttessard_ended_s\ttessard_realtime\tpeer_cpu_s\tpeer_ended_s\tpeer_realtime\tcpu_ratio\tbare_cpu_s\tbare_ended_s\tbare_realtime\tbare_cpu_ratio\n' > "$out/w5.tsv"
for m in $cameras; do
    round=1
    while [ "$round" -le "$rounds" ]; do
        case $((round % 3)) in
            1) order="tessard peer bare" ;;
            2) order="peer bare tessard" ;;
            0) order="bare tessard peer" ;;
        esac
        for contender in $order; do
            set -- $(run_"$contender" "$m")
            rt=$(realtime "$2" "$3")
            printf '%s\t%s\t%s\t%s\t%.1f\t%s\n' "$m" "$round" "$contender" "$1" "$2" "$rt" >> "$out/w5-rounds.tsv"
            echo "M=$m round $round: $contender $1 s CPU, ended after $2 s, real time: $rt"
        done
        round=$((round + 1))
    done
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$m" "$(summary tessard)" "$(summary peer)" "$(ratio peer)" \
        "$(summary bare)" "$(ratio bare)" >> "$out/w5.tsv"
done
rm -rf "$work"

# ---- The table and the plot -----------------------------------------------------
awk -F '\t' -v s="$seconds" -v rate="$bitrate" -v rounds="$rounds" '
    NR == 1 { next }
    {
        hours = $1 * (s - 3) / 3600
        t = $2 / hours; p = $5 / hours; b = $9 / hours
        rows = rows sprintf("| %d | %.0f | %s | %.0f | %s | %.2f | %.0f | %s | %.2f |\n",
                            $1, t, $4, p, $7, $8, b, $11, $12)
        if ($4 == "yes") tm = $1
        if ($7 == "yes") pm = $1
        if ($11 == "yes") bm = $1
    }
    END {
        printf "Source: 1080p, 25 frames/s, %.2f Mbit/s, %d s per run, %d rounds per M.\n\n", rate / 1e6, s, rounds
        print "| M cameras | tessard CPU s per camera-hour (median) | tessard real time, no loss | GStreamer peer CPU s per camera-hour (median) | peer real time, no loss | CPU ratio to the peer (median of rounds) | peer without parser CPU s per camera-hour | its real time, no loss | CPU ratio to it |"
        print "|---|---|---|---|---|---|---|---|---|"
        printf "%s\n", rows
        printf "Largest M recorded in real time with no frame lost: tessard %d, peer %d, peer without parser %d.\n", tm, pm, bm
    }' "$out/w5.tsv" > "$out/w5.md"
cat "$out/w5.md"
if command -v gnuplot > /dev/null; then
    (cd "$out" && gnuplot -e "seconds=$seconds" "$here/w5.gp")
fi
