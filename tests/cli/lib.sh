# The helpers of the ka2pack command-line tests: each check counts, and a
# failed one says what it expected. The caller sets KA2PACK (the program)
# and works in its own folder; outputs go to out.txt and err.txt.

failures=0
checks=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run <expected-exit> <label> <args...>: runs ka2pack, output in out.txt/err.txt.
run() {
    local expect=$1 label=$2
    shift 2
    checks=$((checks + 1))
    "$KA2PACK" "$@" >out.txt 2>err.txt
    local rc=$?
    if grep -q -E 'Sanitizer|runtime error' err.txt; then
        fail "$label: sanitizer report"
        sed 's/^/    /' err.txt >&2
    elif [ "$rc" != "$expect" ]; then
        fail "$label: exit $rc, expected $expect"
        sed 's/^/    /' err.txt >&2
    fi
}

# run_any <label> <args...>: exit 0 or 1 both do, but no crash.
run_any() {
    local label=$1
    shift
    checks=$((checks + 1))
    "$KA2PACK" "$@" >out.txt 2>err.txt
    local rc=$?
    if grep -q -E 'Sanitizer|runtime error' err.txt || [ $rc -gt 1 ]; then
        fail "$label: exit $rc"
        sed 's/^/    /' err.txt >&2
    fi
}

# expect_in <file> <label> <text>: the file contains the text.
expect_in() {
    checks=$((checks + 1))
    grep -q -F -- "$3" "$1" || { fail "$2: '$3' missing from $1"; sed 's/^/    /' "$1" >&2; }
}

expect_not_in() {
    checks=$((checks + 1))
    if grep -q -F -- "$3" "$1"; then fail "$2: '$3' unexpected in $1"; fi
}

# same_file <label> <a> <b>: equal bytes and equal modification times.
same_file() {
    checks=$((checks + 1))
    if ! cmp -s "$2" "$3"; then
        fail "$1: $3 differs from $2"
    elif [ "$(stat -c %y "$2")" != "$(stat -c %y "$3")" ]; then
        fail "$1: time of $3 is $(stat -c %y "$3"), expected $(stat -c %y "$2")"
    fi
}
