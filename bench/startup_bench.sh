#!/bin/bash
# Measures what starting vek costs when the transfer itself costs nothing: the
# sz that vek runs is a stand-in that exits at once, so what is left is vek's
# own start, its shell and its log handling. Each figure is set against the
# bare shell command a host would otherwise run, and `vek -V` against
# /bin/true. Runs are timed in batches, since one run is too short for the
# clock; the batches of all figures alternate (forward, then backward) so that
# drift in the machine hits every figure alike, and each figure is the median
# over its batches.
# Usage: bench/startup_bench.sh [path-to-vek] [runs-per-figure] [runs-per-batch]
set -euo pipefail

vek=$(realpath "${1:-build/vek}")
runs=${2:-2000}
batch=${3:-100}
rounds=$(((runs + batch - 1) / batch))
truebin=/bin/true

work=$(mktemp -d "${TMPDIR:-/tmp}/vek-startup.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/tmp"
ln -s "$truebin" "$work/bin/sz"
export PATH="$work/bin:$PATH" TMP="$work/tmp"
unset TEMP TEMPDIR VEKLOG POSIXLY_CORRECT
cd "$work"
# What vek hands to the shell, with a fixed log name in place of a fresh one.
bare_command="sz -brNvv \"x\" 2>'$work/tmp/bare.log'"

# One batch each; the loop and its redirections are the same for all.
run_vek()     { local i; for ((i = 0; i < batch; i++)); do "$vek" sz x; done; }
run_veklog()  { local i; for ((i = 0; i < batch; i++)); do VEKLOG="$work/xfer.log" "$vek" sz x; done; }
run_bare()    { local i; for ((i = 0; i < batch; i++)); do sh -c "$bare_command"; done; }
run_version() { local i; for ((i = 0; i < batch; i++)); do "$vek" -V; done; }
run_true()    { local i; for ((i = 0; i < batch; i++)); do "$truebin"; done; }

figures=(vek veklog bare version true)
declare -A samples=()

# Appends the microseconds per run of one batch of figure $1.
time_batch() {
    local start=${EPOCHREALTIME/[.,]/}
    "run_$1" </dev/null >/dev/null
    local end=${EPOCHREALTIME/[.,]/}
    samples[$1]+="$(((end - start) / batch)) "
}

# Warm-up: page cache, binaries, the shell's hash table.
for f in "${figures[@]}"; do "run_$f" </dev/null >/dev/null; done
"$vek" -V | grep -q 'v[0-9]' || { echo "startup_bench: $vek -V prints no version" >&2; exit 1; }

for ((r = 0; r < rounds; r++)); do
    if ((r % 2 == 0)); then
        for ((k = 0; k < ${#figures[@]}; k++)); do time_batch "${figures[k]}"; done
    else
        for ((k = ${#figures[@]} - 1; k >= 0; k--)); do time_batch "${figures[k]}"; done
    fi
done
if [ -s "$work/xfer.log" ]; then
    echo "startup_bench: the stand-in sz left transfer-log records" >&2
    exit 1
fi

median() { tr ' ' '\n' | grep . | sort -g | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
# The ratio of each round's two batches, which ran next to each other.
round_ratios() {
    awk -v a="${samples[$1]}" -v b="${samples[$2]}" 'BEGIN {
        n = split(a, x, " "); split(b, y, " ")
        for (i = 1; i <= n; i++) printf "%.4f ", x[i] / y[i]
    }'
}
declare -A med=()
for f in "${figures[@]}"; do med[$f]=$(median <<<"${samples[$f]}"); done
ratio_vek=$(round_ratios vek bare | median)
ratio_veklog=$(round_ratios veklog bare | median)
ratio_version=$(round_ratios version true | median)

echo "vek: $vek"
echo "runs per figure: $((rounds * batch)), timed in $rounds batches of $batch that alternate;"
echo "median microseconds per run, and the median over the rounds of the ratio of two batches"
awk -v v="${med[vek]}" -v l="${med[veklog]}" -v b="${med[bare]}" \
    -v ver="${med[version]}" -v t="${med[true]}" \
    -v rv="$ratio_vek" -v rl="$ratio_veklog" -v rver="$ratio_version" 'BEGIN {
    printf "  %-40s %7.0f us\n", "sh -c '\''sz -brNvv \"x\" 2>file'\''", b
    printf "  %-40s %7.0f us   %.3fx the bare command\n", "vek sz x", v, rv
    printf "  %-40s %7.0f us   %.3fx the bare command\n", "VEKLOG=file vek sz x", l, rl
    printf "  %-40s %7.0f us\n", "/bin/true", t
    printf "  %-40s %7.0f us   %.3fx /bin/true\n", "vek -V", ver, rver
    worst = rv > rl ? rv : rl
    printf "no-op run: %.3fx the bare command (target: at most 1.6x, %s)\n", worst, worst <= 1.6 ? "met" : "NOT met"
}'
