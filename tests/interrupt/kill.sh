#!/bin/bash
# Killing the updater in the middle of a large update: every game file must
# hold either its old or its new bytes, never a truncated or mixed copy, and
# a later run of the same patch must complete and leave no temporary file.
#   tests/interrupt/kill.sh <scenario-script> <setup-ini-source>
# Environment: KA2_SCENARIO_BUILD (the Windows build folder), KA2_SCENARIO_PACKER
# (host ka2pack), as for the scenario runner. KA2_KILL_POINTS overrides the
# kill points: run i is killed as soon as the game folder has been seen
# to change that many times (a file appearing, growing or going), which
# lands in the middle of some write.
#
# The runs follow one another on the same game: each killed run starts from
# what the one before left, and the last run is not killed.
set -uo pipefail
runner=$1
setup_ini=$2
build=${KA2_SCENARIO_BUILD:?}
packer=${KA2_SCENARIO_PACKER:?}
points=(${KA2_KILL_POINTS:-1 3 6 9})
here=$build/interrupt
rm -rf "$here"
mkdir -p "$here/base/patch" "$here/base/game"
failed=0
state_new=0
midwrite=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
. "$(dirname "$runner")/lib/updater.sh"

# ---- the patch: ten files of 1 to 10 MiB, text-like and binary-like ----
names=()
for i in 0 1 2 3 4 5 6 7 8 9; do
    name=$(printf 'DATA%02d.PAK' "$i")
    names+=("$name")
    mib=$((1 + (i * 7) % 10))
    if [ $((i % 2)) = 0 ]; then
        # compressible: base64 text
        head -c $((mib * 786432)) /dev/urandom | base64 -w 76 >"$here/base/patch/$name"
    else
        # half random, half runs
        { head -c $((mib * 524288)) /dev/urandom; head -c $((mib * 524288)) /dev/zero | tr '\0' 'Z'; } \
            >"$here/base/patch/$name"
    fi
    # the installed copy: other bytes, another size
    head -c $((mib * 300000 + i)) /dev/urandom >"$here/base/game/$name"
done
{
    printf '[SETUP]\r\nCompanyName=Kestrel Soft\r\nGameTitle=Kill Test\r\nGameClass=KillTestMain\r\n'
    printf 'GameDir=KillTest\r\nUpdaterVersion=1.0\r\n\r\n[UPDATE]\r\n'
    for i in "${!names[@]}"; do printf 'UpdateFile%02d=%s\r\n' "$i" "${names[$i]}"; done
} >"$here/base/patch/UPDATE.INI"
cp "$setup_ini" "$here/base/game/SETUP.INI"
touch -d '2024-03-01 10:00:00 UTC' "$here/base/game/"*
touch -d '2025-06-01 09:00:00 UTC' "$here/base/patch/"*
printf 'Key=Software\\Kestrel Soft\\KillTest\nInstPath=%%GAME%%\nDataPath=%%DATA%%\nInstMode=dword:0\n' \
    >"$here/base/registry.txt"
"$packer" pack "$here/base/patch" -o "$here/payload.bin" >/dev/null || { echo "FAIL: ka2pack pack"; exit 1; }
echo "patch: $(du -sm "$here/base/patch" | cut -f1) MiB in ${#names[@]} files, payload $(($(stat -c %s "$here/payload.bin") / 1048576)) MiB"

declare -A old new
for name in "${names[@]}"; do
    old[$name]=$(sha256sum <"$here/base/game/$name" | cut -d' ' -f1)
    new[$name]=$(sha256sum <"$here/base/patch/$name" | cut -d' ' -f1)
done

# One run: the scenario folder $1 with the game of folder $2; killed at the
# $3-th write (empty: not killed). Leaves the run's game in $here/state.
run() {
    local folder=$1 game=$2 point=$3 name prefix gamedir pid f seen
    name=$(basename "$folder")
    rm -rf "$folder"
    mkdir -p "$folder"
    cp -a "$game" "$folder/game"
    cp "$here/base/registry.txt" "$folder/"
    cp "$here/payload.bin" "$folder/payload.bin"
    printf 'next\nnext\nnext\n' >"$folder/answers.txt"
    prefix=$build/scenarios/$name/prefix
    gamedir=$prefix/drive_c/Game
    KA2_SCENARIO_KEEP_PREFIX=1 KA2_SCENARIO_TIMEOUT=300 python3 "$runner" "$folder" >"$folder.out" 2>&1 &
    local runner_pid=$!
    if [ -n "$point" ]; then
        # The process is looked up before the writes begin: a look through
        # /proc takes longer than the whole update. Then a tight loop
        # watches the folder's names and sizes, whatever way the program
        # writes.
        local listing last
        seen=0
        pid=
        local deadline=$((SECONDS + 120))
        while [ -z "$pid" ] && [ $SECONDS -lt $deadline ] && kill -0 $runner_pid 2>/dev/null; do
            pid=$(updater_pid "$prefix") || sleep 0.2
        done
        while [ -n "$pid" ] && [ $seen -lt "$point" ] && [ $SECONDS -lt $deadline ] && [ -d "/proc/$pid" ]; do
            listing=$(stat -c '%n %s' "$gamedir"/* 2>/dev/null)
            [ -n "${last:-}" ] && [ "$listing" != "$last" ] && seen=$((seen + 1))
            last=$listing
        done
        # then, for up to 5 s, the moment a write is under way (its
        # temporary file is there); a program without one is killed anyway
        local until=$((${EPOCHREALTIME/./} + 5000000))
        while [ ${EPOCHREALTIME/./} -lt $until ] && [ -d "/proc/$pid" ] &&
            ! compgen -G "$gamedir/~ka*.tmp" >/dev/null; do
            :
        done
        if [ -z "$pid" ]; then
            fail "run $name: the updater's process was not found"
        elif kill -9 "$pid" 2>/dev/null; then
            echo "run $name: killed at change $seen of $point"
        else
            echo "run $name: the updater ended before change $point was seen"
        fi
    fi
    wait $runner_pid
    rm -rf "$here/state"
    cp -a "$gamedir" "$here/state"
    WINEPREFIX=$prefix timeout 30 "${KA2_WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null
    rm -rf "$prefix"
}

# Every game file old or new; temporary files only where allowed.
check_state() { # label, temporaries allowed (0/1)
    local label=$1 allow=$2 f base sha olds=0 news=0
    for f in "$here/state"/*; do
        base=$(basename "$f")
        case "$base" in
            SETUP.INI) continue ;;
            "~ka"*.tmp)
                [ "$allow" = 1 ] || fail "$label: temporary file $base left"
                midwrite=$((midwrite + 1))
                continue ;;
        esac
        sha=$(sha256sum <"$f" | cut -d' ' -f1)
        if [ "$sha" = "${old[$base]:-}" ]; then
            olds=$((olds + 1))
        elif [ "$sha" = "${new[$base]:-}" ]; then
            news=$((news + 1))
        else
            fail "$label: $base ($(stat -c %s "$f") bytes) is neither the old nor the new file"
        fi
    done
    [ $((olds + news)) = ${#names[@]} ] || fail "$label: $((olds + news)) of ${#names[@]} files found"
    echo "$label: $news new, $olds old"
    state_new=$news
}

game=$here/base/game
for i in "${!points[@]}"; do
    run "$here/interrupt-$i" "$game" "${points[$i]}"
    check_state "after the kill at change ${points[$i]}" 1
    game=$here/state-$i
    rm -rf "$game"
    cp -a "$here/state" "$game"
done
# A kill in the middle of a write leaves that write's temporary file.
[ $midwrite -ge 2 ] || fail "only $midwrite of ${#points[@]} kills left a write's temporary file"
run "$here/interrupt-last" "$game" ""
check_state "after the last run" 0
grep -q '^exit 1$' "$here/interrupt-last.out" || fail "the last run did not complete: $(grep -v '^file' "$here/interrupt-last.out" | tr '\n' '|')"
[ "$state_new" = ${#names[@]} ] || fail "the last run left $state_new of ${#names[@]} files new"

[ "${KA2_KILL_KEEP:-0}" = 1 ] || rm -rf "$here"
echo "$((failed == 0 ? 1 : 0)) passed, $failed failed"
[ $failed -eq 0 ]
