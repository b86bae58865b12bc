# Writes the points of the bench's plot from the lines "<name> <wall us> <peak KiB> <CPU us>"
# that bench/run.sh collected: for each N, the median wall time per module of kvr_sign
# ("sign_<N>") and of the whole-run floor ("whole_floor_<N>"), and the per-module floor of
# signing alone ("floor_module_us"), all in ms.
{
    count[$1]++
    wall[$1, count[$1]] = $2
}

function median(name,    k, i, j, v, sorted) {
    k = count[name]
    for (i = 1; i <= k; i++) {
        v = wall[name, i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    return k % 2 ? sorted[(k + 1) / 2] : (sorted[k / 2] + sorted[k / 2 + 1]) / 2
}

END {
    print "# N  kvr_sign_ms_per_module  whole_run_floor_ms_per_module  signing_floor_ms_per_module"
    size_count = split(sizes, n, " ")
    for (i = 1; i <= size_count; i++) {
        k = n[i]
        if (!(("sign_" k) in count) || !(("whole_floor_" k) in count)) continue
        printf "%d %.4f %.4f %.4f\n", k, median("sign_" k) / 1000 / k,
            median("whole_floor_" k) / 1000 / k, median("floor_module_us") / 1000
    }
}
