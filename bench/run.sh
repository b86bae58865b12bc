#!/usr/bin/env bash
# Measures what a signed module costs: kvr_sign against OpenSSL's own per-module floor and
# against the whole-run floor (a program that only reads, signs, verifies and writes its outputs
# the all-or-nothing way, staged, flushed and renamed, with no checks), a bare
# key-and-sign program, the allocator's cost of holding the images, and the same job scripted
# with the openssl command-line tool. Prints the figures as two tables, by wall time and by
# CPU time (user and system): on a machine shared with other work the CPU time is the steadier.
#
#   bench/run.sh [<build folder>]        (default: build)
#
# Configure the build folder as Release for meaningful figures. Environment knobs: the number
# of rounds KVR_BENCH_RUNS (default 7), of them with N = 10000 KVR_BENCH_RUNS_LARGE
# (default 3) and with the openssl script KVR_BENCH_SCRIPT_RUNS (default 3);
# KVR_BENCH_FRESH_OUTPUTS=1 removes the signed outputs before every run; KVR_BENCH_SIZES lists
# the values of N (default "1 100 1000 10000"). The plot of time per
# module against N goes to KVR_BENCH_PLOT (default: <build folder>/bench/performance.svg); it
# needs gnuplot, which only the bench uses: run as root, this script installs gnuplot-nox when
# it is missing, else it prints the tables without the plot.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
runs=${KVR_BENCH_RUNS:-7}
runs_large=${KVR_BENCH_RUNS_LARGE:-3}
script_runs=${KVR_BENCH_SCRIPT_RUNS:-3}
sizes=${KVR_BENCH_SIZES:-1 100 1000 10000}
# The openssl script runs at the small sizes only (it starts openssl several times a module).
script_sizes=$(for n in 1 100; do case " $sizes " in *" $n "*) printf '%s ' "$n" ;; esac; done)

sign=$build/qpx/fradel/kvr_sign
make_modules=$build/examples/kvr_make_modules
runner=$build/bench/kvr_bench_run
for program in "$sign" "$make_modules" "$runner" "$build/bench/kvr_bench_floor" \
    "$build/bench/kvr_bench_bare" "$build/bench/kvr_bench_bare_proxy" "$build/bench/kvr_bench_alloc" \
    "$build/bench/kvr_bench_stage" "$build/bench/kvr_bench_floor_process"; do
    if [ ! -x "$program" ]; then
        echo "run.sh: $program is missing; build the project first (cmake --build $build)" >&2
        exit 1
    fi
done
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
plot=${KVR_BENCH_PLOT:-$build/bench/performance.svg}

# gnuplot draws the plot; the build and the tests never need it.
if ! command -v gnuplot >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "run.sh: installing gnuplot-nox for the plot" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gnuplot-nox >&2 ||
        echo "run.sh: gnuplot-nox could not be installed" >&2
fi
command -v gnuplot >/dev/null ||
    echo "run.sh: gnuplot is missing (Debian package gnuplot-nox): no plot will be drawn" >&2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
results=$work/results

# measure <label> <program> [<argument>...]: runs the program once and appends
# "<label> <wall us> <peak KiB> <CPU us>"; stops when the run fails.
measure() {
    local label=$1 line
    shift
    if ! line=$("$runner" "$@"); then
        echo "run.sh: '$*' failed (wall us, peak KiB, status, CPU us: $line)" >&2
        exit 1
    fi
    echo "$label $line" | awk '{ print $1, $2, $3, $5 }' >>"$results"
}

# With KVR_BENCH_FRESH_OUTPUTS=1 every run writes new files; by default a run replaces the
# outputs of the one before, as a build that signs again does (on ext4 replacing a file by
# truncating it costs more than creating it).
fresh_outputs() {
    if [ "${KVR_BENCH_FRESH_OUTPUTS:-0}" = 1 ]; then
        rm -f "$work/n$1"/*.signed.module "$work/n$1/key.module" "$work/n$1"/*.floor.module \
            "$work/n$1/floor-key.module"
    fi
}

echo "kvr_sign benchmark: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(openssl version | cut -d' ' -f1-2), build type ${build_type:-unset}," \
    "outputs $([ "${KVR_BENCH_FRESH_OUTPUTS:-0}" = 1 ] && echo "fresh each run" || echo "replaced each run")"
load_before=$(cut -d' ' -f1 /proc/loadavg)
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$build_type" = Release ] || echo "warning: $build is not a Release build" >&2

echo "generating modules ..." >&2
for n in $sizes; do
    "$make_modules" "$work/n$n" "$n" "$work/n$n/list.txt"
    # The whole-run floor reads the same inputs and keeps its own outputs beside kvr_sign's.
    sed 's/\.signed\.module$/.floor.module/' "$work/n$n/list.txt" >"$work/n$n/floor.txt"
done

# The whole-run floor for N modules, timed from outside like kvr_sign.
measure_whole_floor() {
    measure "whole_floor_$1" "$build/bench/kvr_bench_floor_process" "$work/n$1/floor.txt" \
        "$work/n$1/floor-key.module"
}

# Every round measures everything once, so that the floor, the bare program and the signer
# see the same machine even when its load changes during the run; the table takes medians.
for ((round = 1; round <= runs; round++)); do
    echo "round $round of $runs (load $(cut -d" " -f1 /proc/loadavg)) ..." >&2
    "$build/bench/kvr_bench_floor" 200 1 | awk '{ print "floor_" $1, $2, 0, $3 }' >>"$results"
    # The short runs are the noisiest: three of each per round.
    for repeat in 1 2 3; do
        measure bare "$build/bench/kvr_bench_bare"
        measure bare_proxy "$build/bench/kvr_bench_bare_proxy"
        measure help "$sign" --help
        fresh_outputs 1
        measure_whole_floor 1
        measure sign_1 "$sign" "$work/n1/list.txt" "$work/n1/key.module"
    done
    for n in $sizes; do
        [ "$n" -eq 1 ] && continue
        [ "$n" -ge 10000 ] && [ "$round" -gt "$runs_large" ] && continue
        # The floor again, right before the run it is compared with (at most 2000 modules'
        # worth), so that both see the same machine: the table also gives the ratio per pair.
        "$build/bench/kvr_bench_floor" $((n < 2000 ? n : 2000)) 1 module |
            awk -v n="$n" '{ print "pairfloor_" n, $2, 0, $3 }' >>"$results"
        fresh_outputs "$n"
        measure_whole_floor "$n"
        measure "sign_$n" "$sign" "$work/n$n/list.txt" "$work/n$n/key.module"
        # What the all-or-nothing output path alone costs at this size.
        mkdir -p "$work/stage$n"
        measure "stage_$n" "$build/bench/kvr_bench_stage" "$work/stage$n" "$n"
    done
    if [ "$round" -le "$script_runs" ]; then
        for n in $script_sizes; do
            measure "script_$n" "$here/openssl-script-sign.sh" "$work/n$n/list.txt" \
                "$work/n$n/script-key.module"
        done
    fi
done

echo "measuring the allocator ..." >&2
for n in $sizes; do
    "$build/bench/kvr_bench_alloc" "$n" | awk -v n="$n" '{ print "alloc_" n "_" $1, $2, 0, 0 }' >>"$results"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

awk -v sizes="$sizes" -f "$here/table.awk" "$results"

# The whole process against the whole-run floor measured right before it, run for run.
echo
echo "Whole run against the whole-run floor (read, sign, verify, staged writes), medians:"
awk -v sizes="$sizes" -f "$here/whole_run.awk" "$results"

# Time per module against N, as a plot.
if command -v gnuplot >/dev/null; then
    awk -v sizes="$sizes" -f "$here/plot_data.awk" "$results" >"$work/points"
    machine="$(nproc) cores, load $load_before to $(cut -d' ' -f1 /proc/loadavg), $runs rounds"
    gnuplot -e "data='$work/points'; output='$plot'; machine='$machine'" "$here/plot.gp"
    echo
    echo "Plot of time per module against N: $plot"
    sed 's/^/  /' "$work/points"
fi

# System calls per module of one run of 1000 modules, by name (the tracer slows the run; the
# counts are what matter).
if command -v strace >/dev/null; then
    echo
    echo "System calls per module, N = 1000 (strace -c):"
    strace -c -o "$work/syscalls" "$sign" "$work/n1000/list.txt" "$work/n1000/key.module" >/dev/null
    awk '$NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $4 ~ /^[0-9]+$/ { printf "  %-16s %6.2f\n", $NF, $4 / 1000; total += $4 }
         END { printf "  %-16s %6.2f\n", "all", total / 1000 }' "$work/syscalls"
fi

# The output path on its own: staging, flushing and renaming N files as kvr_sign does.
echo
echo "Output path alone (stage, flush, rename), medians:"
awk '$1 ~ /^stage_/ { n = substr($1, 7); wall[n] = wall[n] " " $2; cpu[n] = cpu[n] " " $4 }
    function median(list,   v, k, i, j, t) {
        k = split(list, v, " ")
        for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
        return v[int((k + 1) / 2)]
    }
    END {
        printf "| N | wall ms | CPU ms | wall us/file |\n|---:|---:|---:|---:|\n"
        for (n in wall) printf "| %s | %.2f | %.2f | %.1f |\n", n, median(wall[n]) / 1000, median(cpu[n]) / 1000, median(wall[n]) / n
    }' "$results" | sort -t'|' -k2 -n
