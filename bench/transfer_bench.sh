#!/bin/bash
# Measures what the front end costs on a large transfer: a 100 MB file moved
# between two vek processes, and between the bare sz and rz commands with the
# same standard-error redirections, both over a pair of pipes; then what
# --telnet costs: the same two vek processes over a socket pair, with and
# without the option; then vek sz against bare sz on a pseudo-terminal, bare
# rz receiving over pipes, at least 11 runs each, with the CPU time vek itself
# takes there; then, as root, what a small capture pipe costs: vek as
# an unprivileged user whose pipe budget is spent, so that the system gives
# it 8 KiB, against the same user given 1 MiB; and a 20 MiB YMODEM-G upload
# into vek rg against ZMODEM and against rz's own YMODEM pace (needs node).
# Repetitions alternate between the two of each pair so that drift in the
# machine hits both alike.
# Usage: bench/transfer_bench.sh [path-to-vek] [repetitions] [megabytes]
set -euo pipefail

vek=$(realpath "${1:-build/vek}")
reps=${2:-7}
megabytes=${3:-100}
work=$(mktemp -d "${TMPDIR:-/tmp}/vek-bench.XXXXXX")
soft=/proc/sys/fs/pipe-user-pages-soft
soft_was=$(cat "$soft")
trap 'echo "$soft_was" >"$soft" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/send" "$work/recv" "$work/tmp"
head -c "$((megabytes * 1000000))" /dev/urandom >"$work/send/payload.bin"

# perl cpu_of.pl FILE COMMAND...: runs COMMAND and appends to FILE the clock
# ticks of user and system time of that one process, its threads included
# and its children not (the sz that vek starts is not vek's): they are read
# from /proc once it has ended, before it is reaped. A pidfd (pidfd_open is system call
# 434 on every architecture) wakes perl at that end; without one it looks
# every 10 ms. Plain perl: the POSIX module alone takes some 13 ms to load.
cat >"$work/cpu_of.pl" <<'PERL'
my $out = shift;
my $pid = fork() // die "fork: $!";
if ($pid == 0) { exec { $ARGV[0] } @ARGV or die "exec $ARGV[0]: $!" }
my $fd = syscall(434, $pid, 0);
my ($bits, @f) = ("");
vec($bits, $fd, 1) = 1 if $fd >= 0;
for (;;) {
    open(my $stat, "<", "/proc/$pid/stat") or die "/proc/$pid/stat: $!";
    my $line = <$stat>;
    # The fields after the command's name, which is in parentheses: the
    # state, then utime and stime as the 12th and 13th.
    @f = split " ", substr($line, rindex($line, ")") + 2);
    last if $f[0] eq "Z";
    $fd >= 0 ? select(my $ready = $bits, undef, undef, undef) : select(undef, undef, undef, 0.01);
}
open(my $o, ">>", $out) or die "$out: $!";
print $o $f[11] + $f[12], "\n";
close $o;
waitpid($pid, 0);
exit(($? & 127) ? 128 + ($? & 127) : $? >> 8);
PERL

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
# leave their logs there; for vek the largest amount seen while a transfer runs
# (a capture that vek removes while find looks is counted as gone).
tmp_bytes() {
    { find "$work/tmp" -mindepth 1 -printf '%b\n' 2>/dev/null || true; } | awk '{ s += $1 * 512 } END { print s + 0 }'
}
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
# The median, the quartiles (interpolated between the sorted values) and the
# extremes: on a shared machine single runs stray far, and a median alone
# hides how far.
spread() {
    printf '%s\n' "$@" | sort -g | awk '
        function at(f,  h, l) { h = (NR - 1) * f + 1; l = int(h); return a[l] + (h - l) * (a[l + (l < NR)] - a[l]) }
        { a[NR] = $1 }
        END { printf "median %.4f, quartiles %.4f-%.4f, range %.4f-%.4f\n", at(0.5), at(0.25), at(0.75), a[1], a[NR] }'
}
bare_median=$(median "${bare_times[@]}")
front_median=$(median "${front_times[@]}")
echo "payload: ${megabytes} MB, repetitions: $reps (alternating)"
echo "bare sz/rz seconds: ${bare_times[*]}"
echo "vek pair seconds:   ${front_times[*]}"
awk -v b="$bare_median" -v f="$front_median" 'BEGIN {
    printf "median bare %.4f s, median vek %.4f s, ratio vek/bare %.4f (%+.2f%%)\n", b, f, f / b, (f / b - 1) * 100
}'
echo "diagnostic streams on disk in TMP: bare sz/rz logs $bare_disk bytes; vek at most $front_disk bytes during the transfer"

# alternate NAME_A NAME_B LABEL_A LABEL_B [RUNS]: RUNS (else REPS) runs of
# each, alternating, then their medians and the ratio B/A, and the spread of
# each and of the ratio within each round (its two runs are next to each
# other in time, so the ratio drifts less than either side).
alternate() {
    local a=$1 b=$2 runs=${5:-$reps} i a_times=() b_times=() ratios=()
    "$a" >/dev/null  # warm-up
    "$b" >/dev/null
    rm -f "$work"/*.cpu  # CPU figures from the warm-up do not count
    for ((i = 0; i < runs; i++)); do
        if ((i % 2 == 0)); then
            a_times+=("$("$a")") b_times+=("$("$b")")
        else
            b_times+=("$("$b")") a_times+=("$("$a")")
        fi
    done
    local am bm
    am=$(median "${a_times[@]}")
    bm=$(median "${b_times[@]}")
    printf '%-26s %s\n' "$3 seconds:" "${a_times[*]}" "$4 seconds:" "${b_times[*]}"
    awk -v a="$am" -v b="$bm" -v la="$3" -v lb="$4" 'BEGIN {
        printf "median %s %.4f s, median %s %.4f s, ratio %.4f (%+.2f%%)\n", la, a, lb, b, b / a, (b / a - 1) * 100
    }'
    for ((i = 0; i < runs; i++)); do
        ratios+=("$(awk -v a="${a_times[i]}" -v b="${b_times[i]}" 'BEGIN { print b / a }')")
    done
    printf '  %-24s %s\n' "$3:" "$(spread "${a_times[@]}")" "$4:" "$(spread "${b_times[@]}")" \
        "ratio within a round:" "$(spread "${ratios[@]}")"
}

echo "over a socket pair:"
alternate socket_plain socket_telnet "vek pair" "vek --telnet pair"

# The event stream to a file on both sides, against none.
events_on() {
    rm -f "$work"/*.ev
    run_pair 'TMP="$work/tmp" VEKLOG="$work/send.log" VEKEVENTS="$work/send.ev" "$vek" sz payload.bin' \
             'TMP="$work/tmp" VEKLOG="$work/recv.log" VEKEVENTS="$work/recv.ev" "$vek" rz'
}
echo "events to a file against none:"
alternate front events_on "vek pair" "vek pair with events"
echo "progress events for the ${megabytes} MB file: sender $(grep -c '"event":"progress"' "$work/send.ev"), receiver $(grep -c '"event":"progress"' "$work/recv.ev")"

# A batch of 300 small files, the events to a FIFO whose reader lags: it
# takes what is there only every 0.3 s, during the transfer and after.
mkdir -p "$work/batch"
for i in $(seq 1 300); do head -c 100 /dev/urandom >"$work/batch/f$i"; done
rm -f "$work/lag.fifo" "$work/lag.out" && mkfifo "$work/lag.fifo"
perl -e 'open(my $in, "<", $ARGV[0]) or die; while (1) { select(undef, undef, undef, 0.3);
    my $n = sysread($in, my $buf, 65536) or last; print $buf }' "$work/lag.fifo" >"$work/lag.out" &
lagging=$!
rm -rf "$work/recv"/*
rm -f "$work/a" "$work/b" && mkfifo "$work/a" "$work/b"
(cd "$work/recv" && TMP="$work/tmp" exec rz -bpRq <"$work/a" >"$work/b") &
(cd "$work/batch" && TMP="$work/tmp" VEKEVENTS="$work/lag.fifo" "$vek" sz $(seq -f 'f%g' 1 300) >"$work/a" <"$work/b")
wait
rm -f "$work/a" "$work/b"
echo "300 files, events to a FIFO read every 0.3 s: $(grep -c '"event":"done"' "$work/lag.out") done, $(grep -c '"event":"end"' "$work/lag.out") end, $(ls "$work/recv" | wc -l) files received"

# An upload of 20 MiB by YMODEM-G (the tests' own sender, tests/interop/
# ymodem_g.js, into vek rg, which relays it to rz) against the same by ZMODEM
# (bare sz into vek rz), on the same kind of line: two FIFOs. rz takes YMODEM
# only a block per answer (it empties its input after each block, so what
# follows a block in the same read is lost), so the second pair measures the
# pace rz itself keeps: plain YMODEM from a sender that waits for each answer,
# straight into bare rz. What the relay costs is rg against that; what rz
# costs is that against ZMODEM. Each runs in its own directories under
# $work/g, so that the payload above stays as it is.
peer=$(dirname "$(realpath "$0")")/../tests/interop/ymodem_g.js
if command -v node >/dev/null; then
    mkdir -p "$work/g/send" "$work/g/recv" "$work/g/tmp"
    head -c $((20 * 1048576)) /dev/urandom >"$work/g/send/payload.bin"
    upload_g() {
        local work=$work/g
        run_pair 'node "$peer" send payload.bin' 'TMP="$work/tmp" VEKLOG="$work/recv.log" "$vek" rg'
    }
    upload_y() {
        local work=$work/g
        run_pair 'node "$peer" send-acked payload.bin' 'TMP="$work/tmp" rz -bpRq --ymodem 2>/dev/null'
    }
    upload_z() {
        local work=$work/g
        run_pair 'sz -brNvv payload.bin 2>/dev/null' 'TMP="$work/tmp" VEKLOG="$work/recv.log" "$vek" rz'
    }
    echo "20 MiB upload over two FIFOs, YMODEM-G against ZMODEM:"
    alternate upload_z upload_g "sz into vek rz" "YMODEM-G into vek rg" "$((reps > 5 ? reps : 5))"
    echo "the same YMODEM-G upload against rz's own pace (plain YMODEM, a block per answer, into bare rz):"
    alternate upload_y upload_g "YMODEM into bare rz" "YMODEM-G into vek rg" "$((reps > 5 ? reps : 5))"
else
    echo "YMODEM-G upload: not measured (needs node, for the sender in tests/interop/ymodem_g.js)"
fi

# The sending side on a pseudo-terminal, as a host that runs its nodes under
# one, against bare rz over pipes. script (util-linux) starts the command on a
# fresh pty and copies its own standard input and output to and from the
# master as they are; the slave starts as a new pty does (cooked, echo on),
# and vek and bare sz alike make it raw for the transfer. Bare sz ends on a
# pty with a flush that can throw away its closing "OO": rz has the whole file
# by then, but sends ZFIN again to a sender that has gone and dies of SIGPIPE
# (status 141), which counts as done here; the copy is compared all the same.
# On a terminal vek's relay moves every byte, so vek's own CPU time here is
# what the relay costs such a host; it is taken in the timed runs themselves.
# Bare sz runs under cpu_of.pl too, so that both sides pay for the wrapper
# (a few ms) alike. The kernel counts CPU time in ticks (10 ms), and single
# runs stray far on a shared machine: hence at least 11 runs of each.
pty_receiver='rz -bpRvv 2>"$work/tmp/bare-recv.log" || [ $? = 141 ]'
pty_bare() {
    run_pair 'script -q -e -c "perl \"$work/cpu_of.pl\" \"$work/sz.cpu\" sz -brNvv payload.bin 2>\"$work/tmp/bare-send.log\"" /dev/null' \
             "$pty_receiver"
}
pty_front() {
    run_pair 'script -q -e -c "TMP=\"$work/tmp\" VEKLOG=\"$work/send.log\" perl \"$work/cpu_of.pl\" \"$work/vek.cpu\" \"$vek\" sz payload.bin" /dev/null' \
             "$pty_receiver"
}
pty_reps=$((reps > 11 ? reps : 11))
echo "sender on a pseudo-terminal, bare rz over pipes ($pty_reps runs of each):"
alternate pty_bare pty_front "bare sz on pty" "vek sz on pty" "$pty_reps"
# The ticks of each run in a file of cpu_of.pl's, as seconds per 100 MiB.
per_100mib() {
    awk -v tick="$(getconf CLK_TCK)" -v mb="$megabytes" '{ printf "%.4f\n", $1 / tick * 104857600 / (mb * 1000000) }' "$1"
}
mapfile -t vek_cpu < <(per_100mib "$work/vek.cpu")
mapfile -t sz_cpu < <(per_100mib "$work/sz.cpu")
echo "own CPU seconds (user+system) per 100 MiB on the pty, the same runs:"
printf '  %-24s %s\n' "vek:" "$(spread "${vek_cpu[@]}")" "bare sz:" "$(spread "${sz_cpu[@]}")"

if [ "$(id -u)" != 0 ] || ! [ -w "$soft" ]; then
    echo "small capture pipe: not measured (needs root, to spend an unprivileged user's pipe budget)"
    exit 0
fi
chmod -R a+rwX "$work"
# Only vek's own capture pipe is nobody's: the FIFOs between the two sides are
# opened by this shell, as root.
as_nobody='setpriv --reuid=nobody --regid=nogroup --clear-groups'
capture_big() {
    echo "$soft_was" >"$soft"
    run_pair "TMP=\"\$work/tmp\" $as_nobody \"\$vek\" sz payload.bin" "TMP=\"\$work/tmp\" $as_nobody \"\$vek\" rz"
}
capture_small() {
    echo 1 >"$soft"
    run_pair "TMP=\"\$work/tmp\" $as_nobody \"\$vek\" sz payload.bin" "TMP=\"\$work/tmp\" $as_nobody \"\$vek\" rz"
    echo "$soft_was" >"$soft"
}
echo "capture pipe of 8 KiB against 1 MiB (vek as nobody):"
alternate capture_big capture_small "1 MiB pipe" "8 KiB pipe"
