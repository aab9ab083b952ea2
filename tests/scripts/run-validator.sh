#!/bin/sh
# Runs the SDK's validator on the bundle and fails unless it reports
# "N tests passed, 0 tests failed" with N > 0 (its exit code alone does not
# say that any test ran).
set -eu
validator=$1
bundle=$2
shift 2
out=$("$validator" "$@" "$bundle" 2>&1) || { echo "$out"; exit 1; }
summary=$(echo "$out" | grep -E '^Result: [0-9]+ tests passed, [0-9]+ tests failed' | tail -n 1)
echo "$summary"
echo "$summary" | grep -qE '^Result: [1-9][0-9]* tests passed, 0 tests failed$' || {
    echo "$out" | grep -iE 'fail|error' | head -n 40
    exit 1
}
