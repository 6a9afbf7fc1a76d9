#!/bin/sh
# Captures the streams of the second table in README.md from the real sz and
# rz (lrzsz), for the event scanner's tests to replay: the two back to back
# over named pipes, each direction through a relay that can cut the line, go
# silent or signal a side once some bytes have passed.
# Run from anywhere: sh tests/data/capture.sh [NAME...]   (default: all)
# Needs lrzsz, perl, and node with the zmodem.js package (npm ci in
# tests/interop, or NODE_MODULES=path/to/node_modules).
set -u
here=$(cd "$(dirname "$0")" && pwd)
modules=${NODE_MODULES:-$here/../interop/node_modules}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# relay N [cut | silent | SIGNAL PIDFILE]: passes N bytes from standard input
# to standard output, then swallows the rest (a silent line); or waits half a
# second, so that both sides are blocked on the line, then ends (a cut line)
# or sends SIGNAL to the process in PIDFILE and passes the rest.
relay() {
    exec perl -e '
        my ($n, $what, $pidfile) = @ARGV;
        while ($n > 0 && (my $r = sysread(STDIN, my $b, $n < 4096 ? $n : 4096))) { syswrite(STDOUT, $b); $n -= $r }
        if ($what eq "silent") { 1 while sysread(STDIN, my $b, 4096); sleep 3600 }
        select(undef, undef, undef, 0.5);
        exit 0 if $what eq "cut";
        open(my $f, "<", $pidfile) or die; kill($what, 0 + <$f>);
        while (my $r = sysread(STDIN, my $b, 4096)) { syswrite(STDOUT, $b) }' "$@"
}

# fresh: send/ with a.bin (5000 bytes), b.bin (20000) and c.bin (200000, more
# than the pipes hold, so that sz is still sending it when a relay acts), an
# empty recv/.
fresh() {
    rm -rf "$work/run"
    mkdir -p "$work/run/send" "$work/run/recv"
    cd "$work/run" || exit 1
    head -c 5000 /dev/urandom >send/a.bin
    head -c 20000 /dev/urandom >send/b.bin
    head -c 200000 /dev/urandom >send/c.bin
    mkfifo w1 w2 b1 b2
}

# pair SEND RECV SZARGS RZARGS [FORWARD [BACK [LIMIT]]]: sz SZARGS in send/
# feeding rz RZARGS in recv/, through relay commands FORWARD (sz to rz) and
# BACK (rz to sz), default cat; both killed after LIMIT seconds (default 60).
# Their standard error goes to SEND and RECV in this directory ("-": dropped).
pair() {
    sout=$here/$1; rout=$here/$2
    [ "$1" = - ] && sout=/dev/null
    [ "$2" = - ] && rout=/dev/null
    (cd send && exec sz $3 >../w1 <../b2 2>"$sout") &
    echo $! >sz.pid
    (eval "${5:-exec cat}" <w1 >w2) &
    fwd=$!
    (cd recv && exec rz $4 <../w2 >../b1 2>"$rout") &
    echo $! >rz.pid
    (eval "${6:-exec cat}" <b1 >b2) &
    back=$!
    perl -e 'sleep shift; kill "KILL", @ARGV' "${7:-60}" "$(cat sz.pid)" "$(cat rz.pid)" &
    bound=$!
    wait "$(cat sz.pid)"; echo "$1: sz status $?"
    wait "$(cat rz.pid)"; echo "$2: rz status $?"
    kill "$fwd" "$back" "$bound" 2>/dev/null
    wait
    cd "$here" || exit 1
}

# skip SEND NAME SZARGS: sz SZARGS in send/ under zmodem.js as the terminal,
# which skips the file NAME and takes the others.
skip() {
    (cd send && NODE_PATH=$modules exec node -e '
        const { spawn } = require("node:child_process");
        const fs = require("node:fs");
        const Zmodem = require("zmodem.js");
        console.debug = () => {};
        const [errFile, name, ...args] = process.argv.slice(1);
        const sz = spawn("sz", args, { stdio: ["pipe", "pipe", fs.openSync(errFile, "w")] });
        sz.stdin.on("error", () => {});
        const sentry = new Zmodem.Sentry({
            to_terminal: () => {}, on_retract: () => {},
            sender: (bytes) => sz.stdin.write(Buffer.from(bytes)),
            on_detect: (detection) => {
                const session = detection.confirm();
                session.on("offer", (offer) => offer.get_details().name === name ? offer.skip() : offer.accept());
                session.start();
            },
        });
        sz.stdout.on("data", (chunk) => sentry.consume(chunk));
        sz.on("exit", (code, signal) => console.log(`sz status ${code ?? signal}`));
        setTimeout(() => sz.kill("SIGKILL"), 30000).unref();' "$here/$1" "$2" $3)
    cd "$here" || exit 1
}

# upload RECV NAME...: rz in recv/ under zmodem.js as the terminal, which
# offers 3000 bytes under each NAME in turn.
upload() {
    f=$1; shift
    (cd recv && NODE_PATH=$modules exec node -e '
        const { spawn } = require("node:child_process");
        const fs = require("node:fs");
        const Zmodem = require("zmodem.js");
        console.debug = () => {};
        console.warn = () => {};
        const [errFile, ...names] = process.argv.slice(1);
        const rz = spawn("rz", ["-bpRvv"], { stdio: ["pipe", "pipe", fs.openSync(errFile, "w")] });
        rz.stdin.on("error", () => {});
        const data = Buffer.alloc(3000, 65);
        const sentry = new Zmodem.Sentry({
            to_terminal: () => {}, on_retract: () => {},
            sender: (bytes) => rz.stdin.write(Buffer.from(bytes)),
            on_detect: async (detection) => {
                const session = detection.confirm();
                try {
                    for (const name of names) {
                        const xfer = await session.send_offer({ name, size: data.length, mode: 0o644, mtime: new Date() });
                        if (xfer) { xfer.send(data); await xfer.end(); }
                    }
                    await session.close();
                } catch (e) { console.log(`terminal: ${e.message}`); }
            },
        });
        rz.stdout.on("data", (chunk) => { try { sentry.consume(chunk); } catch (e) { console.log(`terminal: ${e.message}`); } });
        rz.on("exit", (code, signal) => console.log(`rz status ${code ?? signal}`));
        setTimeout(() => rz.kill("SIGKILL"), 30000).unref();' "$here/$f" "$@")
    cd "$here" || exit 1
}

wanted() { [ -z "$only" ] || case " $only " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }
only=$*
Z="-brNvv"
R="-bpRvv"

# A whole batch.
wanted z-send && { fresh; pair z-send.txt z-recv.txt "$Z a.bin b.bin" "$R"; }
# A name that does not exist and one that is a directory, between two files.
wanted z-send-missing && { fresh; mkdir send/dir; pair z-send-missing.txt - "$Z a.bin nope dir b.bin" "$R"; }
# The terminal skips a.bin.
wanted z-send-skipped && { fresh; skip z-send-skipped.txt a.bin "$Z a.bin b.bin"; }
# The receiver has a.bin already: it refuses, and the batch ends.
wanted z-recv-exists && { fresh; cp send/a.bin recv/; pair z-send-refused.txt z-recv-exists.txt "$Z a.bin b.bin" "$R"; }
# Names that rz -R will not write.
wanted z-recv-hidden && { fresh; mv send/a.bin send/.hidden; pair - z-recv-hidden.txt "$Z .hidden b.bin" "$R"; }
wanted z-recv-dotdot && { fresh; upload z-recv-dotdot.txt ../a.bin b.bin; }
# Names rz cannot open: it skips them, and the batch goes on.
wanted z-recv-skipped && { fresh; upload z-recv-skipped.txt d/ "$(printf "%0300d" 0)" ok.bin; }
# Names that hold line ends and words of the stream.
wanted z-recv-names && { fresh; upload z-recv-names.txt "$(printf "a\rRetry 0: Sender Canceled\rb")" \
    "$(printf "c\nrz: caught signal 13\nd")" ok.bin; }
# The sender stopped (TERM, as vek passes on a host's stop) in the middle of c.bin.
wanted z-send-stopped && { fresh; pair z-send-stopped.txt z-recv-cancelled.txt "$Z a.bin c.bin" "$R" 'relay 12000 TERM sz.pid'; }
# The line from sz to rz cut in the middle of c.bin.
wanted z-send-cut && { fresh; pair z-send-cut.txt z-recv-cut.txt "$Z a.bin c.bin" "$R" 'relay 12000 cut'; }
# A hang-up, and a stop, for rz in the middle of c.bin; each leaves the partial copy.
wanted z-recv-hup && { fresh; pair - z-recv-hup.txt "$Z a.bin c.bin" "$R" 'relay 12000 HUP rz.pid'; ls -l "$work/run/recv"; }
wanted z-recv-stopped && { fresh; pair - z-recv-stopped.txt "$Z a.bin c.bin" "$R" 'relay 12000 TERM rz.pid'; ls -l "$work/run/recv"; }
# The receiver falls silent after a.bin (its first four headers pass): sz
# gives up on b.bin after about a minute.
wanted z-send-timeout && { fresh; pair z-send-timeout.txt - "$Z a.bin b.bin" "$R" 'exec cat' 'relay 84 silent' 90; }
# No receiver answers at all: sz gives up after half a minute.
wanted z-send-silent && { fresh; pair z-send-silent.txt - "$Z a.bin b.bin" "$R" 'relay 0 silent' 'relay 0 silent' 45; }
# YMODEM, the line from sz to rz cut in the middle of b.bin.
wanted y-send-cut && { fresh; pair y-send-cut.txt y-recv-cut.txt "$Z --ymodem a.bin b.bin" "$R --ymodem" 'relay 12000 cut'; }
