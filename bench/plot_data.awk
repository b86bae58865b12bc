# Writes the points of the bench's plot from the lines "<name> <wall us> <peak KiB> <CPU us>"
# that bench/run.sh collected: for each N, the median time per module of kvr_sign ("sign_<N>")
# and of the whole-run floor ("whole_floor_<N>"), and the per-module floor of signing alone
# ("floor_module_us"), all in ms, first by wall time and then by CPU time.
{
    count[$1]++
    times["wall", $1, count[$1]] = $2
    times["cpu", $1, count[$1]] = $4
}

function median(clock, name,    k, i, j, v, sorted) {
    k = count[name]
    for (i = 1; i <= k; i++) {
        v = times[clock, name, i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    return k % 2 ? sorted[(k + 1) / 2] : (sorted[k / 2] + sorted[k / 2 + 1]) / 2
}

END {
    print "# N, then ms per module by wall and by CPU time: kvr_sign, whole-run floor, signing floor"
    size_count = split(sizes, n, " ")
    for (i = 1; i <= size_count; i++) {
        k = n[i]
        if (!(("sign_" k) in count) || !(("whole_floor_" k) in count)) continue
        printf "%d", k
        for (c = 1; c <= 2; c++) {
            clock = c == 1 ? "wall" : "cpu"
            printf " %.4f %.4f %.4f", median(clock, "sign_" k) / 1000 / k,
                median(clock, "whole_floor_" k) / 1000 / k, median(clock, "floor_module_us") / 1000
        }
        printf "\n"
    }
}
