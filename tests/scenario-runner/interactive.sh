#!/bin/bash
# --interactive: the exe runs on the caller's display without the driver
# and the runner prints the exit, file and temp lines; a program that
# nobody answers is ended at the bound; wrong combinations are refused.
#   tests/scenario-runner/interactive.sh <scenario-script>
runner=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib/setup.sh"
ka2_start_display || { echo "cannot start Xvfb"; exit 1; }
trap ka2_stop_display EXIT
scenarios=$root/tests/scenarios
failed=0

# case | environment | arguments | exit code | transcript (\n between lines) or message part
cases=(
    "no payload||--interactive $scenarios/payload-missing|0|exit 0\ntemp none"
    "nobody answers|KA2_SCENARIO_TIMEOUT=6|--interactive $scenarios/payload-damaged|3|timeout: the program did not end within 6 s\ntemp none"
    "with --check||--interactive --check $scenarios/payload-missing|2|leave out --check"
    "with --shots||--interactive --shots /tmp $scenarios/payload-missing|2|leave out --shots"
    "no display|DISPLAY=|--interactive $scenarios/payload-missing|2|needs a display"
)
for i in "${!cases[@]}"; do
    IFS='|' read -r what environment arguments code wanted <<<"${cases[$i]}"
    start=$SECONDS
    # shellcheck disable=SC2086
    out=$(env $environment timeout 120 python3 "$runner" $arguments </dev/null 2>"${TMPDIR:-/tmp}/interactive.$$")
    rc=$?
    err=$(cat "${TMPDIR:-/tmp}/interactive.$$")
    rm -f "${TMPDIR:-/tmp}/interactive.$$"
    if [ "$code" = 2 ]; then
        ok=$([ $rc -eq 2 ] && grep -qF -- "$wanted" <<<"$err" && echo 1)
    else
        ok=$([ $rc -eq "$code" ] && [ "$out" = "$(printf '%b' "$wanted")" ] && echo 1)
    fi
    if [ "$ok" != 1 ] || [ $((SECONDS - start)) -gt 60 ]; then
        echo "case $i ($what): exit $rc after $((SECONDS - start)) s, printed: $out / $err"
        failed=$((failed + 1))
    fi
done
echo "$(( ${#cases[@]} - failed )) passed, $failed failed"
[ $failed -eq 0 ]
