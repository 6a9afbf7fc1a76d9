#!/bin/bash
# Measures what the front end costs on a large transfer: a 100 MB file moved
# between two vek processes, and between the bare sz and rz commands with the
# same standard-error redirections, both over a pair of pipes; then what
# --telnet costs: the same two vek processes over a socket pair, with and
# without the option. Repetitions alternate between the two of each pair so
# that drift in the machine hits both alike.
# Usage: bench/transfer_bench.sh [path-to-vek] [repetitions] [megabytes]
set -euo pipefail

vek=$(realpath "${1:-build/vek}")
reps=${2:-7}
megabytes=${3:-100}
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/send" "$work/recv" "$work/tmp"
head -c "$((megabytes * 1000000))" /dev/urandom >"$work/send/payload.bin"

# Runs "sender" and "receiver" (shell snippets) back to back over two FIFOs
# and prints the elapsed wall-clock seconds.
run_pair() {
    local sender=$1 receiver=$2
    rm -f "$work/recv/payload.bin" "$work"/*.log "$work/a" "$work/b"
    mkfifo "$work/a" "$work/b"
    local start=$EPOCHREALTIME
    (cd "$work/recv" && eval "$receiver" <"$work/a" >"$work/b") &
    local receiver_pid=$!
    (cd "$work/send" && eval "$sender" >"$work/a" <"$work/b")
    wait "$receiver_pid"
    local end=$EPOCHREALTIME
    cmp -s "$work/send/payload.bin" "$work/recv/payload.bin" || {
        echo "bench: the copy differs" >&2
        exit 1
    }
    echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }'
}

# The same over one socket pair, as a host hands over a network connection;
# perl (always there on Debian) makes the pair and starts both sides on it.
run_socket_pair() {
    local sender=$1 receiver=$2
    rm -f "$work/recv/payload.bin" "$work"/*.log
    local start=$EPOCHREALTIME
    work=$work vek=$vek perl -MSocket -e '
        socketpair(my $x, my $y, AF_UNIX, SOCK_STREAM, PF_UNSPEC) or die "socketpair: $!";
        my @pids;
        for my $side ([$x, $ARGV[0]], [$y, $ARGV[1]]) {
            my $pid = fork() // die "fork: $!";
            if ($pid == 0) {
                open(STDIN, "<&", $side->[0]) && open(STDOUT, ">&", $side->[0]) or die "dup: $!";
                close $x; close $y;
                exec "/bin/bash", "-c", $side->[1] or die "exec: $!";
            }
            push @pids, $pid;
        }
        close $x; close $y;
        waitpid($_, 0) for @pids;' "cd \"\$work/send\" && $sender" "cd \"\$work/recv\" && $receiver"
    local end=$EPOCHREALTIME
    cmp -s "$work/send/payload.bin" "$work/recv/payload.bin" || {
        echo "bench: the copy differs" >&2
        exit 1
    }
    echo "$start $end" | awk '{ printf "%.4f\n", $2 - $1 }'
}

bare() {
    run_pair 'sz -brNvv "payload.bin" 2>"$work/tmp/bare-send.log"' \
             'rz -bpRvv 2>"$work/tmp/bare-recv.log"'
}
front() {
    run_pair 'TMP="$work/tmp" VEKLOG="$work/send.log" "$vek" sz payload.bin' \
             'TMP="$work/tmp" VEKLOG="$work/recv.log" "$vek" rz'
}
socket_plain() {
    run_socket_pair 'TMP="$work/tmp" VEKLOG="$work/send.log" "$vek" sz payload.bin' \
                    'TMP="$work/tmp" VEKLOG="$work/recv.log" "$vek" rz'
}
socket_telnet() {
    run_socket_pair 'TMP="$work/tmp" VEKLOG="$work/send.log" "$vek" --telnet sz payload.bin' \
                    'TMP="$work/tmp" VEKLOG="$work/recv.log" "$vek" --telnet rz'
}

bare >/dev/null  # warm-up: page cache and binaries
front >/dev/null
bare_times=() front_times=()
for ((i = 0; i < reps; i++)); do
    if ((i % 2 == 0)); then
        bare_times+=("$(bare)") front_times+=("$(front)")
    else
        front_times+=("$(front)") bare_times+=("$(bare)")
    fi
done

# Bytes that the diagnostic streams occupy on disk in TMP: the bare commands
# leave their logs there; for vek the largest amount seen while a transfer runs.
tmp_bytes() { find "$work/tmp" -mindepth 1 -printf '%b\n' | awk '{ s += $1 * 512 } END { print s + 0 }'; }
bare >/dev/null
bare_disk=$(tmp_bytes)
rm -f "$work"/tmp/*
peak_file="$work/peak"
echo 0 >"$peak_file"
(
    peak=0
    while :; do
        b=$(tmp_bytes)
        ((b > peak)) && { peak=$b; echo "$peak" >"$peak_file"; }
        sleep 0.01
    done
) &
sampler=$!
front >/dev/null
kill "$sampler" 2>/dev/null; wait "$sampler" 2>/dev/null || true
front_disk=$(cat "$peak_file")

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
bare_median=$(median "${bare_times[@]}")
front_median=$(median "${front_times[@]}")
echo "payload: ${megabytes} MB, repetitions: $reps (alternating)"
echo "bare sz/rz seconds: ${bare_times[*]}"
echo "vek pair seconds:   ${front_times[*]}"
awk -v b="$bare_median" -v f="$front_median" 'BEGIN {
    printf "median bare %.4f s, median vek %.4f s, ratio vek/bare %.4f (%+.2f%%)\n", b, f, f / b, (f / b - 1) * 100
}'
echo "diagnostic streams on disk in TMP: bare sz/rz logs $bare_disk bytes; vek at most $front_disk bytes during the transfer"

socket_plain >/dev/null  # warm-up
socket_telnet >/dev/null
plain_times=() telnet_times=()
for ((i = 0; i < reps; i++)); do
    if ((i % 2 == 0)); then
        plain_times+=("$(socket_plain)") telnet_times+=("$(socket_telnet)")
    else
        telnet_times+=("$(socket_telnet)") plain_times+=("$(socket_plain)")
    fi
done
plain_median=$(median "${plain_times[@]}")
telnet_median=$(median "${telnet_times[@]}")
echo "over a socket pair:"
echo "vek pair seconds:          ${plain_times[*]}"
echo "vek --telnet pair seconds: ${telnet_times[*]}"
awk -v p="$plain_median" -v t="$telnet_median" 'BEGIN {
    printf "median vek %.4f s, median vek --telnet %.4f s, ratio telnet/plain %.4f (%+.2f%%)\n", p, t, t / p, (t / p - 1) * 100
}'
