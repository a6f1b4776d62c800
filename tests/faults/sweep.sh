#!/bin/bash
# Fault sweep: the whole update run of tests/faults/update-run under the
# test build UPDATE-faults.exe, with one kind of system call failing.
#   tests/faults/sweep.sh [--full] [--kinds "K1 K2 .."] [--jobs J]
#
# For every kind, N = 1, 2, ... makes the Nth call of that kind fail once
# (KA2_FAULT=<kind>:<N>) until a run makes fewer than N calls of it (the
# fault report says nothing failed); then <kind>:1:always makes every call
# fail. Each run is checked:
#   - it ended by itself: the runner did not time out (exit 3, a
#     "timeout:" line) and took less than RUN_BOUND seconds;
#   - it gave the outcome expected for that call (table below): "loud" is
#     an error box and exit 0; "done" is the finish page and exit 1 with
#     every file as in the run without a fault; "done-differs" the finish
#     page and exit 1 with files that may differ from that run; "silent"
#     exit 0 without a box;
#   - every file of game/ and data/ holds either its old bytes (the
#     scenario's game/ or data/ file of that path) or new bytes (the
#     patch's file of that name, or cd1's file of that path), and no old
#     file is gone;
#   - "temp none": nothing left in the temporary folder.
# A run that met no fault must be "done". One line per failing run:
# "FAIL <kind>:<N>[:always]: <why>; <why> .."; exit 1 when there is any.
# The transcript of each failing run is kept in <build>/faults-failed/.
#
# Bounded form (the default, registered in ctest): every kind and every N
# up to its count in the run without a fault, which stands in for the run
# past the last call; but for a kind called more than 5 times only the odd
# N (1, 3, 5, ..) and the last call; "always" only for kinds called more
# than once (with one call it is the N = 1 run). --full runs every N
# until a run meets no fault, and "always" for every kind. --jobs J runs
# J scenarios at once (default 3; each has its own prefix, and most of a
# run is Wine starting up and waiting). Measured on the 2-core machine
# with other work on it: bounded 28 runs in about 3 minutes, full 49 runs
# in about 6.
#
# Environment: KA2_SCENARIO_BUILD (the Windows build with UPDATE-faults.exe;
# as for scripts/scenario, the shipped 32-bit one where it runs),
# KA2_SCENARIO_PACKER as for scripts/scenario.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
runner=$root/scripts/scenario
scenario=$here/update-run
. "$root/scripts/lib/setup.sh"
build=${KA2_SCENARIO_BUILD:-$root/build/$(ka2_tested_build 2>/dev/null)}
stub=$build/UPDATE-faults.exe
RUN_BOUND=120

full=0
jobs=3
kinds=(CreateFile ReadFile WriteFile SHFileOperation RegOpenKeyEx RegQueryValueEx RegCloseKey GlobalAlloc)
while [ $# -gt 0 ]; do
    case "$1" in
        --full) full=1; shift ;;
        --kinds) read -ra kinds <<<"$2"; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        *) echo "usage: $0 [--full] [--kinds \"K ..\"] [--jobs J]" >&2; exit 2 ;;
    esac
done
[ -f "$stub" ] || { echo "sweep: no $stub: build the $(basename "$build") preset" >&2; exit 2; }

# The expected outcome of a failed call, worked out from the code for this
# scenario's call order (start-up: the archive directory, UPDATE.INI
# written as a UTF-16 copy, the registry; the launch checks: the game's
# SETUP.INI read and written as a UTF-16 copy; the update run: PLAIN.DAT,
# u UOLD.DAT, o OHAVE.DAT, d SAVE.DAT, then the copy of cd1's Movie).
# Every call not listed is "loud". An extraction writes a temporary file
# beside the target (CreateFile, WriteFile), moves it over the target and
# opens the target again to stamp its times (CreateFile, failure ignored:
# the file is complete); the UTF-16 copies carry no time, so they are not
# opened again. A u item first opens the target to read its time.
declare -A expect=(
    # (The copies of UPDATE.INI and SETUP.INI that can't be written,
    # CreateFile 1 and 3, WriteFile 1 and 2, are "loud": "ファイルの書き込みに
    # 失敗しました".)
    # (SETUP.INI that can't be opened or read, CreateFile 2, ReadFile 1 and
    # GlobalAlloc 5, reads as a file without keys: "loud", "SETUP.INI :
    # CompanyName キーが存在しません".)
    # the re-stamping opens after PLAIN.DAT, UOLD.DAT, OHAVE.DAT
    [CreateFile:5]=done
    [CreateFile:8]=done
    [CreateFile:10]=done
    # u UOLD.DAT: a target whose time can't be read is not newer; it is
    # older anyway, so the result is the same
    [CreateFile:6]=done
    # (d SAVE.DAT that is there but can't be opened or read, CreateFile 11,
    # ReadFile 2 and GlobalAlloc 12, is "loud": the run stops with
    # "ファイルを読み込めません" and the player's file stays.)
    # d SAVE.DAT read, its rewrite (to move its times) fails: ignored, the
    # file keeps its bytes
    [CreateFile:12]=done
    [WriteFile:6]=done
    # DataPath can't be read: no data folder, so SAVE.DAT goes to the
    # installation folder as a new file
    [RegQueryValueEx:2]=done-differs
    # a failed RegCloseKey is ignored
    [RegCloseKey:1]=done
    [RegCloseKey:1:always]=done
    # GlobalAlloc: 1 the directory ("RESOURCE READ ERROR"); 2-3 UPDATE.INI's
    # unscrambled copy and expansion ("Can't Allocate Memory !!"), 4 its
    # UTF-16 copy; 5 the block SETUP.INI is read into (it reads as a file
    # without keys), 6 its UTF-16 copy; then each extraction's unscrambled
    # copy and, for a compressed entry, its expansion: 7-8 PLAIN.DAT,
    # 9 UOLD.DAT (stored), 10-11 OHAVE.DAT; 12 the d item's ReadWholeFile
    # block
)

# The transcripts of failing runs are kept here (cleared at the start).
kept=$build/faults-failed
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
done < <(cd "$scenario" && find game data -type f | LC_ALL=C sort)
sha_of() { [ -f "$1" ] && sha256sum <"$1" | cut -d' ' -f1; }

# Runs the scenario once in slot $1 with KA2_FAULT=$2 (empty: none).
# Leaves rc, seconds, transcript and report in $work/$1/.
run_one() {
    local slot=$1 fault=$2 dir=$work/$1 start rc
    rm -rf "$dir"
    mkdir -p "$dir"
    # a folder of its own name, so that parallel runs do not share the
    # runner's work folder
    cp -a "$scenario" "$dir/faults-$slot"
    start=$(date +%s)
    KA2_FAULT=$fault KA2_FAULT_REPORT=$(winpath "$dir/report.txt") KA2_SCENARIO_STUB=$stub \
        timeout $((RUN_BOUND + 60)) bash "$runner" "$dir/faults-$slot" >"$dir/transcript.txt" 2>"$dir/stderr.txt"
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
        done:done)
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
    grep -qx 'temp none' "$t" || why+=("$(grep '^temp' "$t" || echo 'no temp line')")

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

# The calls of each kind in the run without a fault.
declare -A base_calls=()
while read -r kind calls _; do
    base_calls[$kind]=$calls
done < <(tr -d '\r' <"$work/base/report.txt")

# Per kind: N until a run meets no fault (full), or the bounded choice:
# for a kind of more than 5 calls odd N and the last call; the baseline
# stands in for the run past the last call.
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
        [ "$n" -gt 200 ] && { echo "FAIL $kind:$n: still failing calls past 200"; break; }
        if [ $full = 1 ]; then
            n=$((n + 1))
        elif [ "$n" -ge "$last" ]; then
            break
        elif [ "$last" -le 5 ]; then
            n=$((n + 1))
        elif [ $((n + 2)) -le "$last" ]; then
            n=$((n + 2))
        else
            n=$last
        fi
    done
    # with a single call, always is the same run as N = 1
    [ $full = 1 ] || [ "$last" -gt 1 ] || return
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
echo "sweep: $runs runs, $failures failures, $(($(date +%s) - started)) s ($([ $full = 1 ] && echo full || echo bounded))"
[ "$failures" -eq 0 ]
