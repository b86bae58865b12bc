# Compares each kvr_sign run ("sign_<N>") with the whole-run floor measured right before it
# ("whole_floor_<N>"), from the lines "<name> <wall us> <peak KiB> <CPU us>" that bench/run.sh
# collected: the n-th run of one is paired with the n-th run of the other, and the table gives
# the medians of both and of the per-pair ratios, by wall and by CPU time.
{
    count[$1]++
    wall[$1, count[$1]] = $2
    cpu[$1, count[$1]] = $4
}

function median(values, k,    i, j, v, sorted) {
    for (i = 1; i <= k; i++) {
        v = values[i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    return k % 2 ? sorted[(k + 1) / 2] : (sorted[k / 2] + sorted[k / 2 + 1]) / 2
}

# Median of one column of runs of `name`, or of the per-pair ratios of two names.
function column(clock, name, over,    i, k, values) {
    k = count[name]
    for (i = 1; i <= k; i++) {
        values[i] = clock == "wall" ? wall[name, i] : cpu[name, i]
        if (over != "") values[i] /= clock == "wall" ? wall[over, i] : cpu[over, i]
    }
    return median(values, k)
}

END {
    printf "| N | floor wall ms | kvr_sign wall ms | paired ratio wall | floor CPU ms | kvr_sign CPU ms | paired ratio CPU |\n"
    printf "|---:|---:|---:|---:|---:|---:|---:|\n"
    size_count = split(sizes, n, " ")
    for (i = 1; i <= size_count; i++) {
        k = n[i]
        floor_name = "whole_floor_" k
        sign_name = "sign_" k
        if (!(floor_name in count) || count[floor_name] != count[sign_name]) continue
        ratio_wall[k] = column("wall", sign_name, floor_name)
        ratio_cpu[k] = column("cpu", sign_name, floor_name)
        printf "| %d | %.2f | %.2f | %.3f | %.2f | %.2f | %.3f |\n", k,
            column("wall", floor_name) / 1000, column("wall", sign_name) / 1000, ratio_wall[k],
            column("cpu", floor_name) / 1000, column("cpu", sign_name) / 1000, ratio_cpu[k]
    }
    if (1000 in ratio_wall) {
        printf "\ntarget: whole process at N=1000 <= 1.10 x the whole-run floor: wall %.3f x -> %s; CPU %.3f x -> %s\n",
            ratio_wall[1000], ratio_wall[1000] <= 1.10 ? "met" : "MISSED",
            ratio_cpu[1000], ratio_cpu[1000] <= 1.10 ? "met" : "MISSED"
    }
}
