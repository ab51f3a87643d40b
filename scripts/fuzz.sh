#!/usr/bin/env bash
# Runs the libFuzzer targets of build/fuzz, each for FUZZ_SECONDS (default 60),
# FUZZ_PARALLEL at a time (default 1). New inputs go to build/fuzz/corpus/<target>
# (the seeds in tests/fuzz/corpus are only read), findings to
# build/fuzz/artifacts/<target>/, each run's output to build/fuzz/logs/<target>.log.
# Exits non-zero when a target found something.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
parallel=${FUZZ_PARALLEL:-1}
read -r -a targets <<<"${FUZZ_TARGETS:-handler cert config framing}"
out=$root/build/fuzz

run_one() {
    local t=$1 args=()
    mkdir -p "$out/corpus/$t" "$out/artifacts/$t" "$out/logs"
    [ -f "$root/tests/fuzz/$t.dict" ] && args+=(-dict="$root/tests/fuzz/$t.dict")
    # Frames larger than the reader's 8 KiB buffer need room.
    [ "$t" = framing ] && args+=(-max_len=20000)
    "$out/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$t/" "${args[@]}" \
        "$out/corpus/$t" "$root/tests/fuzz/corpus/$t" >"$out/logs/$t.log" 2>&1
}
export -f run_one
export root out seconds

status=0
printf '%s\n' "${targets[@]}" | xargs -P "$parallel" -I{} bash -c 'run_one {}' || status=1
for t in "${targets[@]}"; do
    echo "$t: $(grep -E '^#[0-9]+' "$out/logs/$t.log" | tail -n 1)"
    ls "$out/artifacts/$t" | sed "s|^|  finding: $out/artifacts/$t/|"
done
exit $status
