# Turns the figures bench/run.sh collected, lines "<name> <wall us> <peak KiB> <CPU us>" (one
# per run), into two tables, wall time and CPU time, and the verdict on each target. Each
# figure is the median over the runs; the peak memory is the largest. "pairfloor_<N>" lines are
# floor measurements made right before each run with N modules: "paired ratio" is the median of
# the per-pair ratios of marginal cost to floor, which the machine's drift affects least.
{
    count[$1]++
    walls[$1, count[$1]] = $2
    cpus[$1, count[$1]] = $4
    if ($3 > peak[$1]) peak[$1] = $3
}

function median(values, name,    k, i, j, v, sorted) {
    k = count[name]
    for (i = 1; i <= k; i++) {
        v = values[name, i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    return k % 2 ? sorted[(k + 1) / 2] : (sorted[k / 2] + sorted[k / 2 + 1]) / 2
}
function ms(us) { return sprintf("%.2f", us / 1000) }
function verdict(ok) { return ok ? "met" : "MISSED" }

# One table for one clock; t[] holds its medians. Leaves the marginal costs in marginal[].
function paired_ratio(values, t, k,    i, ratios, name) {
    name = "ratio_" k
    count[name] = count["sign_" k]
    for (i = 1; i <= count[name]; i++) {
        values[name, i] = (values["sign_" k, i] - t["sign_1"]) / (k - 1) / values["pairfloor_" k, i]
    }
    return median(values, name)
}

function print_table(clock, t, values,    i, k, m, shown_marginal, ratio, paired, per_module, script, versus) {
    printf "%s time:\n\n", clock
    printf "| N | median ms | marginal ms/module | floor ms/module | ratio | paired ratio | peak RSS MiB | RSS KiB/module | allocator KiB/image | openssl script ms | script / kvr_sign |\n"
    printf "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n"
    for (i = 1; i <= size_count; i++) {
        k = n[i]
        shown_marginal = "-"; ratio = "-"; paired = "-"; per_module = "-"
        if (k > 1) {
            m = (t["sign_" k] - t["sign_1"]) / (k - 1)
            marginal[clock, k] = m
            shown_marginal = ms(m); ratio = sprintf("%.3f", m / t["floor_module_us"])
            paired_of[clock, k] = paired_ratio(values, t, k)
            paired = sprintf("%.3f", paired_of[clock, k])
            per_module = sprintf("%.2f", (peak["sign_" k] - peak["sign_1"]) / (k - 1))
        }
        script = "-"; versus = "-"
        if (("script_" k) in count) {
            script = ms(t["script_" k]); versus = sprintf("%.1f", t["script_" k] / t["sign_" k])
        }
        # One buffer is too small to show in the peak of resident pages.
        per_image = wall["alloc_" k "_held_kib"] > 0 ? sprintf("%.2f", wall["alloc_" k "_bytes_per_buffer"] / 1024) : "-"
        printf "| %d | %s | %s | %s | %s | %s | %.2f | %s | %s | %s | %s |\n", k, ms(t["sign_" k]),
            shown_marginal, ms(t["floor_module_us"]), ratio, paired, peak["sign_" k] / 1024, per_module,
            per_image, script, versus
    }
    printf "\nfloor per module: %s ms in one loop (digest %.1f us + sign and decode %.1f us + verify %.1f us, measured apart)\n",
        ms(t["floor_module_us"]), t["floor_digest_us"], t["floor_sign_us"], t["floor_verify_us"]
    printf "fixed cost: T(1) %s ms; bare key-and-sign %s ms (with the allocator proxy %s ms); kvr_sign --help %s ms\n\n",
        ms(t["sign_1"]), ms(t["bare"]), ms(t["bare_proxy"]), ms(t["help"])
}

function print_targets(clock, t,    i, k, above, speedup) {
    printf "targets, %s time:\n", clock
    for (i = 1; i <= size_count; i++) {
        k = n[i]
        if (k >= 1000) {
            printf "  marginal <= 1.05 x floor at N=%d: %.3f x -> %s; paired: %.3f x -> %s\n", k,
                marginal[clock, k] / t["floor_module_us"],
                verdict(marginal[clock, k] <= 1.05 * t["floor_module_us"]), paired_of[clock, k],
                verdict(paired_of[clock, k] <= 1.05)
        }
    }
    above = t["sign_1"] - t["bare"]
    printf "  T(1) <= bare + 3 ms: %s ms above -> %s\n", ms(above), verdict(above <= 3000)
    if ("script_100" in count) {
        speedup = t["script_100"] / t["sign_100"]
        printf "  >= 20 x faster than the openssl script at N=100: %.1f x -> %s\n", speedup,
            verdict(speedup >= 20)
    }
}

END {
    size_count = split(sizes, n, " ")
    for (name in count) {
        wall[name] = median(walls, name)
        cpu[name] = median(cpus, name)
    }
    print_table("wall", wall, walls)
    print_table("CPU", cpu, cpus)
    printf "runs: kvr_sign N=1: %d, N=%d: %d; floor rounds: %d; openssl script: %d\n", count["sign_1"],
        n[size_count], count["sign_" n[size_count]], count["floor_module_us"], count["script_1"]
    printf "allocator holding N images (held KiB, bytes/image):"
    for (i = 1; i <= size_count; i++) {
        k = n[i]
        printf " N=%d %d KiB %d B;", k, wall["alloc_" k "_held_kib"], wall["alloc_" k "_bytes_per_buffer"]
    }
    printf "\n\n"
    print_targets("wall", wall)
    print_targets("CPU", cpu)
    big = n[size_count]
    limit = 8 * 1024 + 1.05 * wall["alloc_" big "_held_kib"]
    printf "peak memory:\n  peak RSS at N=%d <= 8 MiB + 1.05 x allocator (%.2f MiB): %.2f MiB -> %s\n", big,
        limit / 1024, peak["sign_" big] / 1024, verdict(peak["sign_" big] <= limit)
}
