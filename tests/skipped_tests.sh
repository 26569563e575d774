#!/bin/sh
# Lists the tests of the last test run that were skipped, each with the
# reason it gave, and the rows of passing tests that did not run: the test
# command's own summary names them without a reason.
# Usage: skipped_tests.sh BUILD_FOLDER
log="$1/Testing/Temporary/LastTest.log"
if [ ! -f "$log" ]; then
    echo "No test has run in $1 yet."
    exit 0
fi
awk '
    function flush() {
        if (skipped) {
            print "  " name ": " (reason == "" ? "(no reason given)" : reason)
            count++
        }
        for (i = 1; i <= rows; i++) {
            print "  " name ", one row: " row[i]
            count++
        }
        skipped = 0; rows = 0; reason = ""; in_reason = 0
    }
    / Test: / && /^[0-9]+\/[0-9]+ Test: / { flush(); name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); next }
    /^End testing:/ { flush(); next }
    /: Skipped$/ { in_reason = 1; reason = ""; next }
    /^\[  SKIPPED \] / { if (in_reason || !skipped) skipped = 1; in_reason = 0; next }
    # The reason ends at a blank line or at the trace of the table row.
    in_reason && (NF == 0 || /^Google Test trace:/) { in_reason = 0; next }
    in_reason { reason = (reason == "" ? "" : reason " ") $0; next }
    /^zodevir-tests: row skipped: / { line = $0; sub(/^zodevir-tests: row skipped: /, "", line)
                                      row[++rows] = line; next }
    END {
        if (count == 0) print "No test or row was skipped."
        else print count " skipped, with the reasons above."
    }
' "$log" | {
    IFS= read -r first || exit 0
    case "$first" in
    No\ *) echo "$first" ;;
    *) echo "Skipped, and why:"; echo "$first"; cat ;;
    esac
}
