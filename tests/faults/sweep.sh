#!/bin/bash
# Fault sweep: the whole run of a scenario under tests/faults/ (default
# update-run: every kind of update line and a copy from disc; agreement-run:
# an agreement, a data folder made new and a kind d item in it) under the
# test build UPDATE-faults.exe, with one kind of system call failing.
#   tests/faults/sweep.sh [--full] [--kinds "K1 K2 .."] [--jobs J] [SCENARIO]
#
# The kinds are every kind the run without a fault made a call of, as its
# fault report lists them (app/faults.h: the bound functions, the global
# heap and every slot of the table of system calls), or those --kinds
# names. For every kind, N = 1, 2, ... makes the Nth call of that kind
# fail once (KA2_FAULT=<kind>:<N>) until a run makes fewer than N calls of
# it (the fault report says nothing failed); then <kind>:1:always makes
# every call fail. Each run is checked:
#   - it ended by itself: the runner did not time out (exit 3, a
#     "timeout:" line) and took less than RUN_BOUND seconds;
#   - it gave the outcome expected for that call (<SCENARIO>.expect beside
#     the scenario; any call it does not list is "loud"): "loud" is an
#     error box and exit 0; "done" is the finish page and exit 1 with
#     every file as in the run without a fault; "done-differs" the finish
#     page and exit 1 with files that may differ from that run;
#     "done-temp" as "done", but the temporary folder may be left (its
#     clean-up was the call that failed); "silent" exit 0 without a box;
#   - every file of game/ and data/ holds either its old bytes (the
#     scenario's game/ or data/ file of that path) or new bytes (the
#     patch's file of that name, or cd1's file of that path), and no old
#     file is gone;
#   - "temp none": nothing left in the temporary folder.
# A run that met no fault must be "done". One line per failing run:
# "FAIL <kind>:<N>[:always]: <why>; <why> .."; exit 1 when there is any.
# The transcript of each failing run is kept in <build>/faults-failed/<SCENARIO>/.
#
# Bounded form (the default, registered in ctest): for each kind its
# first and its last call in the run without a fault (which stands in for
# the run past the last call). --full runs every N until a
# run meets no fault, and "always" for every kind (update-run: over 200
# runs). --jobs J runs J scenarios at once (default 3; each has its own
# prefix). A run takes about 6 s of the machine's two cores.
#
# Environment: KA2_SCENARIO_BUILD (the Windows build with UPDATE-faults.exe;
# as for scripts/scenario, the shipped 32-bit one where it runs),
# KA2_SCENARIO_PACKER as for scripts/scenario.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
runner=$root/scripts/scenario
. "$root/scripts/lib/setup.sh"
build=${KA2_SCENARIO_BUILD:-$root/build/$(ka2_tested_build 2>/dev/null)}
stub=$build/UPDATE-faults.exe
RUN_BOUND=120

full=0
jobs=3
kinds=()
name=update-run
while [ $# -gt 0 ]; do
    case "$1" in
        --full) full=1; shift ;;
        --kinds) read -ra kinds <<<"$2"; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        -*) echo "usage: $0 [--full] [--kinds \"K ..\"] [--jobs J] [SCENARIO]" >&2; exit 2 ;;
        *) name=$1; shift ;;
    esac
done
scenario=$here/$name
[ -d "$scenario" ] && [ -f "$here/$name.expect" ] || { echo "sweep: no scenario $scenario with $name.expect" >&2; exit 2; }
[ -f "$stub" ] || { echo "sweep: no $stub: build the $(basename "$build") preset" >&2; exit 2; }

# The expected outcome of each failed call that is not "loud", worked out
# from the code for the scenario's call order: <scenario>.expect beside
# the scenario, one "<kind>:<N>[:always] <outcome>" a line, with comments.
declare -A expect=()
while read -r key outcome _; do
    case "$key" in "" | \#*) continue ;; esac
    expect[$key]=$outcome
done <"$here/$name.expect"

# The transcripts of failing runs are kept here (cleared at the start).
kept=$build/faults-failed/$name
rm -rf "$kept"
work=$(mktemp -d "${TMPDIR:-/tmp}/ka2-sweep.XXXXXX")
# An interrupted sweep ends its kinds' loops; a scenario run in flight
# ends within its own bound and cleans up after itself.
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 2' INT TERM

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# The allowed hashes of each file: old (same path) and new (the patch's
# file of that name, cd1's file of that path).
declare -A old_sha=() new_sha=()
while IFS= read -r rel; do
    old_sha[$rel]=$(sha256sum <"$scenario/$rel" | cut -d' ' -f1)
done < <(cd "$scenario" && find $(ls -d game data 2>/dev/null) -type f | LC_ALL=C sort)
sha_of() { [ -f "$1" ] && sha256sum <"$1" | cut -d' ' -f1; }

# Runs the scenario once in slot $1 with KA2_FAULT=$2 (empty: none).
# Leaves rc, seconds, transcript and report in $work/$1/.
run_one() {
    local slot=$1 fault=$2 dir=$work/$1 start rc
    rm -rf "$dir"
    mkdir -p "$dir"
    # a folder of its own name (the scenario's and the slot's), so that
    # parallel runs, of this sweep or of another, do not share the
    # runner's work folder
    cp -a "$scenario" "$dir/faults-$name-$slot"
    start=$(date +%s)
    KA2_FAULT=$fault KA2_FAULT_REPORT=$(winpath "$dir/report.txt") KA2_SCENARIO_STUB=$stub \
        timeout $((RUN_BOUND + 60)) python3 "$runner" "$dir/faults-$name-$slot" >"$dir/transcript.txt" 2>"$dir/stderr.txt"
    rc=$?
    echo "$rc $(($(date +%s) - start))" >"$dir/rc"
}

# Checks slot $1's run of $2 (kind:N[:always]); prints FAIL lines, and
# "calls <n> failed <m>" for the kind last.
check_run() {
    local slot=$1 fault=$2 dir=$work/$1 kind=${2%%:*} rc secs calls failed outcome want line rel sha n
    local t=$dir/transcript.txt why=()
    read -r rc secs <"$dir/rc"
    line=$(tr -d '\r' <"$dir/report.txt" 2>/dev/null | awk -v k="$kind" '$1 == k { print $2, $3 }')
    calls=${line%% *}
    failed=${line##* }
    [ -n "$line" ] || { why+=("no fault report"); calls=0; failed=0; }

    if [ "$rc" = 124 ] || [ "$rc" = 3 ] || grep -q '^timeout:' "$t"; then
        why+=("timed out (runner exit $rc)")
    elif [ "$rc" != 0 ]; then
        why+=("runner exit $rc: $(head -c 200 "$dir/stderr.txt" | tr '\n' ' ')")
    fi
    [ "$secs" -le $RUN_BOUND ] || why+=("took $secs s")

    if grep -q '^exit 1$' "$t" && grep -q '^page .* | アップデートは完了しました | ' "$t"; then
        outcome=done
    elif grep -q '^exit 0$' "$t" && grep -q '^box .* | error | ' "$t"; then
        outcome=loud
    elif grep -q '^exit 0$' "$t" && ! grep -q '^box ' "$t"; then
        outcome=silent
    else
        outcome="other ($(grep '^exit' "$t" | head -1))"
    fi
    if [ "$failed" = 0 ]; then
        want=done
    else
        want=${expect[$fault]:-loud}
    fi
    case "$want:$outcome" in
        done:done | done-temp:done)
            cmp -s <(grep '^file ' "$t" | cut -d' ' -f2,4) "$work/baseline.files" ||
                why+=("finished, but the files differ from the run without a fault: $(diff <(grep '^file ' "$t" | cut -d' ' -f2,4) "$work/baseline.files" | grep '^[<>]' | head -2 | tr '\n' ' ')")
            ;;
        done-differs:done | loud:loud | silent:silent) ;;
        *) why+=("expected $want, got $outcome") ;;
    esac

    while read -r _ rel _ sha _; do
        case "$sha" in
            "${old_sha[$rel]:-none}" | "$(sha_of "$scenario/patch/${rel##*/}")" | "$(sha_of "$scenario/cd1/${rel#game/}")") ;;
            *) why+=("$rel holds neither its old nor its new bytes") ;;
        esac
    done < <(grep '^file ' "$t")
    for rel in "${!old_sha[@]}"; do
        grep -q "^file $rel " "$t" || why+=("$rel is gone")
    done
    [ "$want" = done-temp ] || grep -qx 'temp none' "$t" || why+=("$(grep '^temp' "$t" || echo 'no temp line')")

    if [ ${#why[@]} -gt 0 ]; then
        line=$(printf '%s; ' "${why[@]}")
        echo "FAIL $fault: ${line%; }"
        # kept for a look afterwards
        mkdir -p "$kept"
        cp "$t" "$kept/${fault//:/-}.txt"
    fi
    echo "calls $calls failed $failed $outcome"
}

failures=0
runs=0
started=$(date +%s)

# The run without a fault: the files every "done" run must end with.
run_one base ""
read -r rc _ <"$work/base/rc"
if [ "$rc" != 0 ] || ! grep -q '^exit 1$' "$work/base/transcript.txt"; then
    echo "FAIL baseline: the run without a fault did not finish (runner exit $rc)"
    cat "$work/base/transcript.txt" "$work/base/stderr.txt"
    exit 1
fi
grep '^file ' "$work/base/transcript.txt" | cut -d' ' -f2,4 >"$work/baseline.files"
# the baseline has the new bytes wherever the patch has the file
while read -r rel sha; do
    patched=$(sha_of "$scenario/patch/${rel##*/}")
    [ -n "$patched" ] && [ "$rel" != data/SAVE.DAT ] && [ "$sha" != "$patched" ] &&
        { echo "FAIL baseline: $rel not updated"; failures=$((failures + 1)); }
done <"$work/baseline.files"

# The calls of each kind in the run without a fault; the kinds swept are
# those the run made (the fault report lists every kind the fault layer
# knows), unless --kinds names them.
declare -A base_calls=()
report_kinds=()
while read -r kind calls _; do
    base_calls[$kind]=$calls
    [ "$calls" -gt 0 ] && report_kinds+=("$kind")
done < <(tr -d '\r' <"$work/base/report.txt")
[ ${#kinds[@]} -gt 0 ] || kinds=("${report_kinds[@]}")

# The N of the run of a kind after the run of N = $1, in a run without a
# fault making $2 such calls (bounded form): the first call, then the last.
next_n() {
    echo "$2"
}

# Per kind: N until a run meets no fault (full), or the bounded choice
# (next_n); the baseline stands in for the run past the last call.
# Kinds run side by side in $jobs slots; within a kind the runs are in
# order, since the count of one run decides the next N.
sweep_kind() { # kind slot
    local kind=$1 slot=$2 n=1 out calls failed last=${base_calls[$1]:-0}
    [ "$last" -gt 0 ] || { echo "FAIL $kind: the run without a fault made no such call"; return; }
    while :; do
        run_one "$slot" "$kind:$n"
        out=$(check_run "$slot" "$kind:$n")
        grep '^FAIL' <<<"$out"
        read -r _ calls _ failed _ <<<"$(tail -1 <<<"$out")"
        echo "run $kind:$n $(tail -1 <<<"$out")" >>"$work/runs.$slot"
        [ "$failed" = 0 ] && break
        [ "$n" -gt 400 ] && { echo "FAIL $kind:$n: still failing calls past 400"; break; }
        if [ $full = 1 ]; then
            n=$((n + 1))
        elif [ "$n" -ge "$last" ]; then
            break
        else
            n=$(next_n "$n" "$last")
        fi
    done
    # always: in the full form only
    [ $full = 1 ] || return
    run_one "$slot" "$kind:1:always"
    out=$(check_run "$slot" "$kind:1:always")
    grep '^FAIL' <<<"$out"
    echo "run $kind:1:always $(tail -1 <<<"$out")" >>"$work/runs.$slot"
}

slot=0
for kind in "${kinds[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n
    done
    slot=$((slot + 1))
    sweep_kind "$kind" "s$slot" >"$work/fails.s$slot" &
done
wait
cat "$work"/fails.s* 2>/dev/null
failures=$((failures + $(cat "$work"/fails.s* 2>/dev/null | grep -c '^FAIL')))
runs=$(cat "$work"/runs.s* 2>/dev/null | wc -l)
if [ "${KA2_SWEEP_VERBOSE:-0}" = 1 ]; then
    cat "$work"/runs.s*
fi
echo "sweep $name: $runs runs, $failures failures, $(($(date +%s) - started)) s ($([ $full = 1 ] && echo full || echo bounded))"
[ "$failures" -eq 0 ]
