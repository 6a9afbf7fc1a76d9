#!/bin/bash
# Shows the whole job: one vek sends a few sample files to another over a pair
# of pipes, the copies are checked, and both transfer logs are printed.
# Usage: scripts/demo.sh [path-to-vek] [demo-directory]
set -euo pipefail

vek=$(realpath "${1:-build/vek}")
demo=$(realpath -m "${2:-build/demo}")

for tool in sz rz; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "demo: '$tool' is missing; install it with: sudo apt-get install lrzsz" >&2
        exit 1
    fi
done

rm -rf "$demo"
mkdir -p "$demo/send" "$demo/recv" "$demo/tmp"
cd "$demo"

head -c 3000000 /dev/urandom >"send/random.bin"
printf 'Hello from the sending node.\n' >"send/hello.txt"
: >"send/empty.dat"
seq 1 20000 >"send/numbers in a file.txt"
files=("random.bin" "hello.txt" "empty.dat" "numbers in a file.txt")

# One pipe each way; each side opens its writing end first, so neither
# open blocks the other.
mkfifo to-recv to-send
(
    cd recv
    TMP="$demo/tmp" VEKLOG="$demo/recv.log" exec timeout 120 "$vek" rz \
        <"$demo/to-recv" >"$demo/to-send"
) &
receiver=$!
status=0
(
    cd send
    TMP="$demo/tmp" VEKLOG="$demo/send.log" exec timeout 120 "$vek" sz "${files[@]}" \
        >"$demo/to-recv" <"$demo/to-send"
) || status=$?
wait "$receiver" || status=$?
rm -f to-recv to-send
if [ "$status" -ne 0 ]; then
    echo "demo: a transfer did not finish (status $status)" >&2
    exit 1
fi

echo "Sent from $demo/send to $demo/recv:"
for f in "${files[@]}"; do
    if cmp -s "send/$f" "recv/$f"; then
        printf '  %-24s %9d bytes  identical\n' "$f" "$(stat -c %s "recv/$f")"
    else
        echo "demo: $f differs or is missing in $demo/recv" >&2
        exit 1
    fi
done
show_log() {
    echo
    echo "$1 transfer log ($demo/$2):"
    if [ -s "$2" ]; then cat "$2"; else echo "  (no records)"; fi
}
show_log "Sender's" send.log
show_log "Receiver's" recv.log
