#!/usr/bin/env bash
# Line and branch coverage of the driver's folders, the host and the program, from the counts that the
# programs of a coverage build (scripts/build.sh sanitize) wrote while the suites ran: the test suites,
# the z40k program the end-to-end suites ran, the fuzz corpora's replays. A line is reached when any of
# its code ran, a branch when it was taken; prints one line per part and every line of the driver no run
# reached. Usage: scripts/coverage.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-sanitize}
shopt -s nullglob
profiles=("$dir"/profiles/*.profraw)
if [ ${#profiles[@]} -eq 0 ]; then
    echo "coverage: no counts in $dir/profiles (a build with -DZ40K_COVERAGE=ON writes them as it runs)" >&2
    exit 1
fi
llvm-profdata-14 merge -sparse "${profiles[@]}" -o "$dir/coverage.profdata"
# The programs whose counts are merged: the first as llvm-cov names it, the others as objects.
objects=()
for program in "$dir"/z40k_tests "$dir"/z40k "$dir"/*_fuzz; do
    [ -x "$program" ] || continue
    [ ${#objects[@]} -eq 0 ] && objects+=("$program") || objects+=(-object "$program")
done
# The driver's headers are compiled through the build's view of the driver's folders; they count as the
# tree's own files. Functions that programs built apart name alike (their mains, the tests' helpers) do
# not merge; llvm-cov says how many, which is no news.
lcov() {
    llvm-cov-14 export -format=lcov -instr-profile="$dir/coverage.profdata" \
        -path-equivalence="$PWD/$dir/driver-view,$PWD" "${objects[@]}" "$@" 2> >(grep -v "mismatched data" >&2) |
        sed -e "s|^SF:$PWD/$dir/driver-view/|SF:|" -e "s|^SF:$PWD/|SF:|"
}
# A part's figures from its lines (DA:line,count) and branches (BRDA:line,block,branch,taken or -).
figures() {
    awk -v part="$1" -F'[:,]' '
        /^DA:/ { lines++; if ($3 > 0) reached++ }
        /^BRDA:/ { branches++; if ($5 != "-" && $5 > 0) taken++ }
        END { printf "coverage %s: lines %d/%d (%.2f%%), branches %d/%d (%.2f%%)\n", part, reached, lines,
                     100 * reached / lines, taken, branches, 100 * taken / branches }'
}
driver=$(lcov driver streams camera properties imaging)
figures driver <<<"$driver"
lcov host | figures host
lcov tools | figures program
awk -F'[:,]' '/^SF:/ { file = $2 } /^DA:/ && $3 == 0 { print "coverage unreached: " file ":" $2 }' <<<"$driver"
