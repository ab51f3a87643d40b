#!/usr/bin/env bash
# ctest with a record of the run for the summary of `make test`:
#   scripts/ctest.sh NAME BUILD_DIR [ctest options...]
# runs ctest on BUILD_DIR, keeps its JUnit report and full log as
# build/test-results/NAME.{xml,log}, prints what was skipped and why, and
# exits with ctest's status.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: ctest.sh NAME BUILD_DIR [ctest options]}
dir=${2:?usage: ctest.sh NAME BUILD_DIR [ctest options]}
shift 2
results=$root/build/test-results
mkdir -p "$results"
rm -f "$results/$name.xml" "$results/$name.log"
ctest --test-dir "$dir" --output-junit "$results/$name.xml" "$@"
status=$?
cp "$dir/Testing/Temporary/LastTest.log" "$results/$name.log" 2>/dev/null || true
python3 "$root/scripts/test-summary.py" run "$results" "$name" || true
exit $status
