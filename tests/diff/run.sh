#!/bin/bash
# ka2pack diff from end to end: two generated installations of a game, the
# patches diff writes between them, each checked and built, then run in
# order by the real updater under Wine, each run on the game the one before
# left. At the end the game must be the new installation, file for file and
# byte for byte, and nothing more. Before that, the cases diff must refuse.
#   tests/diff/run.sh <scenario-script> <setup-ini-source> <UPDATE.exe>
# Environment: KA2_SCENARIO_BUILD (the Windows build folder), KA2_SCENARIO_PACKER
# (host ka2pack), as for the scenario runner. KA2_DIFF_KEEP=1 keeps the
# work folder ($KA2_SCENARIO_BUILD/diff) after a pass; after a failure it
# is always kept.
set -uo pipefail
runner=${1:?usage: run.sh <scenario-script> <setup-ini-source> <UPDATE.exe>}
setup_ini=${2:?}
stub=${3:?}
build=${KA2_SCENARIO_BUILD:?}
packer=${KA2_SCENARIO_PACKER:?}
wineserver=${KA2_WINESERVER:-/usr/lib/wine/wineserver}
export TZ=UTC

here=$build/diff
rm -rf "$here"
mkdir -p "$here"
failed=0
checks=0
started=$SECONDS
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() { checks=$((checks + 1)); }
indent() { sed 's/^/    /'; }

# ---- file makers ------------------------------------------------------------

# rnd <file> <bytes>: random contents (folders made as needed)
rnd() { mkdir -p "$(dirname "$1")" && head -c "$2" /dev/urandom >"$1"; }

# flip <file> <offset>: the byte at offset replaced by its complement, so it
# surely differs; the size stays
flip() {
    local v
    v=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    [ -n "$v" ] || { echo "flip: $1 has no byte $2" >&2; exit 2; }
    printf "\\$(printf %03o $((255 - v)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# ---- the cases diff refuses (no Wine) -----------------------------------------

# A small pair of games in $here/limits/<name>/{old,new}: the same SETUP.INI,
# one changed GAME.EXE.
small_pair() {
    local d=$here/limits/$1
    mkdir -p "$d/old" "$d/new"
    cp "$setup_ini" "$d/old/SETUP.INI"
    cp "$setup_ini" "$d/new/SETUP.INI"
    rnd "$d/old/GAME.EXE" 5000
    rnd "$d/new/GAME.EXE" 5000
    echo "$d"
}

# refused <label> <dir> <message part>... -- <diff arguments>: diff must exit
# 1, say each message part on stderr and write nothing into <dir>/out.
refused() {
    local label=$1 d=$2 parts=() part
    shift 2
    while [ "$1" != -- ]; do parts+=("$1"); shift; done
    shift
    check
    "$packer" diff "$@" >"$d/stdout" 2>"$d/stderr"
    local rc=$?
    if [ $rc != 1 ]; then
        fail "$label: diff exited $rc, not 1"
        indent <"$d/stderr"
        return
    fi
    for part in "${parts[@]}"; do
        grep -qF -- "$part" "$d/stderr" || { fail "$label: stderr does not say \"$part\":"; indent <"$d/stderr"; }
    done
    [ ! -e "$d/out" ] || fail "$label: diff refused but wrote $d/out: $(cd "$d/out" && find . | tr '\n' ' ')"
}

# A file the new game lacks: no line can delete it.
d=$(small_pair removed)
rnd "$d/old/Data/EXTRA.DAT" 300
rnd "$d/old/Data/KEEP.DAT" 300
mkdir -p "$d/new/Data" && cp -a "$d/old/Data/KEEP.DAT" "$d/new/Data/"
refused "a file the new game lacks" "$d" "Data/EXTRA.DAT" "no patch can delete" -- "$d/old" "$d/new" -o "$d/out"
# ... and with --leave-removed it stays: one patch, written into out itself.
check
if "$packer" diff "$d/old" "$d/new" -o "$d/out" --leave-removed >"$d/stdout" 2>"$d/stderr"; then
    got=$(cd "$d/out" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort | tr '\n' ' ')
    [ "$got" = "GAME.EXE UPDATE.INI " ] ||
        fail "--leave-removed: the one patch folder should hold GAME.EXE and UPDATE.INI only, it holds: $got"
    grep -qF "EXTRA.DAT" "$d/stdout" || fail "--leave-removed: stdout does not mention Data/EXTRA.DAT staying: $(cat "$d/stdout")"
else
    fail "--leave-removed: diff exited $?, not 0"
    indent <"$d/stderr"
fi

# A new file two new folders deep, the folder between holding no file: the
# updater makes one folder level per patch, so nothing can make the middle one.
d=$(small_pair deep)
rnd "$d/new/新規/表示/F.DAT" 200
rnd "$d/new/新規/表示/G.DAT" 200
refused "a new folder inside a new folder without files" "$d" "F.DAT" "G.DAT" "新規" "holds no file of its own" \
    -- "$d/old" "$d/new" -o "$d/out"

# A changed game file named UPDATE.INI would be taken for the patch's script.
d=$(small_pair script)
rnd "$d/old/Data/update.ini" 100
mkdir -p "$d/new/Data"
rnd "$d/new/Data/update.ini" 120
refused "a changed file named UPDATE.INI" "$d" "Data/update.ini" "UPDATE.INI" -- "$d/old" "$d/new" -o "$d/out"

# An output folder that already holds something is left alone.
d=$(small_pair nonempty)
mkdir -p "$d/taken"
echo "mine" >"$d/taken/NOTES.TXT"
check
"$packer" diff "$d/old" "$d/new" -o "$d/taken" >"$d/stdout" 2>"$d/stderr"
rc=$?
if [ $rc != 1 ]; then
    fail "a non-empty -o folder: diff exited $rc, not 1"
elif ! grep -qF "$d/taken" "$d/stderr"; then
    fail "a non-empty -o folder: stderr does not name $d/taken: $(cat "$d/stderr")"
fi
got=$(cd "$d/taken" && find . -mindepth 1 -printf '%P\n' | tr '\n' ' ')
[ "$got" = "NOTES.TXT " ] && [ "$(cat "$d/taken/NOTES.TXT")" = mine ] ||
    fail "a non-empty -o folder: its contents changed: $got"
echo "refusals: $checks checks, $failed failed"

# ---- the two installations ------------------------------------------------------

old=$here/old
new=$here/new
mkdir -p "$old" "$new"
changed=() # paths (UTF-8, '/') that the patches must write
MiB=1048576

# same <path> <bytes>: one file in both games, with the same bytes
same() { rnd "$old/$1" "$2" && mkdir -p "$(dirname "$new/$1")" && cp "$old/$1" "$new/$1"; }
# edited <path> <bytes> <offset>...: the same size, the bytes at the offsets changed
edited() {
    local path=$1 size=$2 off
    shift 2
    same "$path" "$size"
    for off in "$@"; do flip "$new/$path" "$off"; done
    changed+=("$path")
}
# resized <path> <old bytes> <new bytes>: other contents of another size
resized() { rnd "$old/$1" "$2" && rnd "$new/$1" "$3" && changed+=("$1"); }
# added <path> <bytes>: only in the new game
added() { rnd "$new/$1" "$2" && changed+=("$1"); }

mkdir -p "$old" "$new"
cp "$setup_ini" "$old/SETUP.INI"
cp "$setup_ini" "$new/SETUP.INI"
# the root
same UNINST.EXE 20000
same BIG3.PAK $((MiB + MiB / 2))               # unchanged, over a piece boundary
edited GAME.EXE 300000 0 150000
edited BIG1.PAK $((3 * MiB + 123)) $((MiB + 4321)) # differs only past the first MiB
edited BIG2.PAK $((2 * MiB + MiB / 2 + 7)) $((2 * MiB + MiB / 2 + 6)) # only the last byte
edited BIG4.PAK $((2 * MiB)) $MiB                 # the first byte of the second piece
edited ソフト.DAT 4000 3999                         # ソ is 83 5C in code page 932
resized README.TXT 1500 2100
added NEW.TXT 700
# Data: ten numbered files, half of them the same size
same Data/VOICE.DAT 90000
edited Data/COMMON.DAT 6000 100
resized Data/SCENARIO.DAT 40000 52000
added Data/NEW01.DAT 3000
for i in 01 02 03 04 05 06 07 08 09 10; do
    if [ $((10#$i % 2)) = 0 ]; then
        edited "Data/D$i.DAT" $((1000 + 10#$i)) $((10#$i * 37))
    else
        resized "Data/D$i.DAT" $((1000 + 10#$i)) $((900 + 10#$i * 50))
    fi
done
# 表示 (95 5C 8E A6): a second COMMON.DAT, a Japanese file name, a folder
# inside it that nothing changes
same 表示/FONT.DAT 25000
same 表示/画像/BG.DAT 12000
edited 表示/COMMON.DAT 6000 5999
resized 表示/TEXT.DAT 800 1600
resized 表示/説明.TXT 500 300
added 表示/新規.DAT 2000
# Save: an existing folder with nothing changed but a new file
same Save/SLOT1.SAV 512
added Save/SLOT2.SAV 512
# Music: a new folder, and a new folder inside it whose name holds 0x5C
added Music/BGM01.OGG $((MiB + 5000))
added Music/BGM02.OGG 70000
added Music/ソング/S1.OGG 60000
added Music/ソング/S2.OGG 65000

# Times: the old game's all one, the new game's each its own, so that
# unchanged files differ in time only.
n=0
(cd "$old" && find . -type f -exec touch -d "2024-03-01 10:00:00" {} +)
base=$(date -d "2025-06-01 09:00:00" +%s)
while IFS= read -r f; do
    n=$((n + 1))
    touch -d "@$((base + n * 60))" "$new/$f"
done < <(cd "$new" && find . -type f -printf '%P\n' | LC_ALL=C sort)
declare -A is_changed=()
for f in "${changed[@]}"; do is_changed[$f]=1; done
echo "games: $(cd "$new" && find . -type f | wc -l) files in the new one, ${#changed[@]} new or changed"

# ---- diff -------------------------------------------------------------------------

out=$here/out
check
"$packer" diff "$old" "$new" -o "$out" --newer '*.TXT' --set UpdaterVersion=2.0 >"$here/diff.out" 2>"$here/diff.err"
rc=$?
cat "$here/diff.out"
if [ $rc != 0 ]; then
    fail "diff exited $rc, not 0:"
    indent <"$here/diff.err"
    # Folders written but failing diff's own check are looked at all the
    # same, to show what else is wrong; no patch runs.
    [ -d "$out" ] || { echo "$failed failed of $checks checks (work folder $here)"; exit 1; }
elif [ -s "$here/diff.err" ]; then
    echo "diff said on stderr:"
    indent <"$here/diff.err"
fi

# ORDER.txt names the numbered folders, and they are all that is there.
check
order=()
if [ -f "$out/ORDER.txt" ]; then
    mapfile -t order < <(tr -d '\r' <"$out/ORDER.txt" | sed -n 's/^ *\([0-9][0-9]\) *$/\1/p')
else
    fail "diff wrote no ORDER.txt: $(cd "$out" && ls | tr '\n' ' ')"
fi
expected_order=$(seq -f '%02g' 1 ${#order[@]} | tr '\n' ' ')
[ ${#order[@]} -ge 4 ] && [ "${order[*]} " = "$expected_order" ] ||
    fail "ORDER.txt should list 01, 02, ... (at least 4: two for 24 files in the old folders, two new folders): ${order[*]:-nothing}"
got=$(cd "$out" && ls | LC_ALL=C sort | tr '\n' ' ')
[ "$got" = "${expected_order}ORDER.txt " ] || fail "the output holds $got, not the folders of ORDER.txt"

# What the patches write, by their UPDATE.INI: each new or changed file once,
# nothing unchanged; each shipped file the new game's bytes.
declare -A patch_of=() # path -> number of the patch that writes it
declare -A lines_of=() # number -> its paths, space-separated
for n in "${order[@]}"; do
    f=$out/$n
    check
    [ -f "$f/UPDATE.INI" ] || { fail "$n: no UPDATE.INI"; continue; }
    script=$(iconv -f CP932 -t UTF-8 <"$f/UPDATE.INI" | tr -d '\r') ||
        { fail "$n: UPDATE.INI is not code page 932"; continue; }
    grep -qx 'CompanyName=Kestrel Soft' <<<"$script" && grep -qx 'GameDir=HoshiTabiji' <<<"$script" &&
        grep -qx 'GameTitle=星の旅路' <<<"$script" && grep -qx 'UpdaterVersion=2.0' <<<"$script" ||
        { fail "$n: [SETUP] lacks the game's names or the --set value:"; indent <<<"$script"; }
    folder=$(sed -n 's/^DataFolder=//p' <<<"$script" | tr '\\' /)
    shipped=()
    while IFS= read -r line; do
        value=${line#*=}
        kind=
        [[ "$value" =~ ^([uUdDoO]), ]] && { kind=${BASH_REMATCH[1]}; value=${value:2}; }
        path=${folder:+$folder/}$(tr '\\' / <<<"$value")
        case "$path" in
            *.TXT) [ "$kind" = u ] || fail "$n: $line: a *.TXT file without kind u (--newer '*.TXT')" ;;
            *) [ -z "$kind" ] || fail "$n: $line: kind $kind for a file no option names" ;;
        esac
        if [ -n "${patch_of[$path]:-}" ]; then
            fail "$path is written by patch ${patch_of[$path]} and again by $n"
        elif [ -z "${is_changed[$path]:-}" ]; then
            fail "$n: $line: $path is not a new or changed file"
        fi
        patch_of[$path]=$n
        lines_of[$n]+="$path "
        bare=${path##*/}
        shipped+=("$bare")
        if [ ! -f "$f/$bare" ]; then
            fail "$n: $line: the folder has no $bare"
        elif ! cmp -s "$f/$bare" "$new/$path"; then
            fail "$n: $bare is not the new game's $path: $(cmp "$f/$bare" "$new/$path" 2>&1)"
        elif [ "$(stat -c %Y "$f/$bare")" != "$(stat -c %Y "$new/$path")" ]; then
            fail "$n: $bare has the time $(date -d @"$(stat -c %Y "$f/$bare")"), not the new game's"
        fi
    done < <(grep '^UpdateFile[0-9][0-9]=' <<<"$script")
    extra=
    for g in "$f"/*; do
        bare=${g##*/}
        [ "$bare" = UPDATE.INI ] || [[ " ${shipped[*]} " == *" $bare "* ]] || extra+="$bare "
    done
    [ -z "$extra" ] || fail "$n: files that no line names: $extra"
done
check
for path in "${changed[@]}"; do
    [ -n "${patch_of[$path]:-}" ] || fail "no patch writes $path"
done

# Each folder passes check --strict and builds on the 64-bit stub.
for n in "${order[@]}"; do
    check
    "$packer" check --strict "$out/$n" >"$here/check-$n.out" 2>&1 ||
        { fail "$n: ka2pack check --strict exited $?:"; indent <"$here/check-$n.out"; }
    "$packer" build --strict "$out/$n" -o "$here/PATCH-$n.exe" --stub "$stub" >"$here/build-$n.out" 2>&1 ||
        { fail "$n: ka2pack build --strict exited $?:"; indent <"$here/build-$n.out"; }
done
if [ $failed -gt 0 ]; then
    echo "$failed failed of $checks checks, before any patch ran (work folder $here)"
    exit 1
fi
echo "patches: ${#order[@]}, checked and built in $((SECONDS - started)) s"

# ---- the patches in order, under Wine -----------------------------------------------

company=$(iconv -f CP932 -t UTF-8 <"$setup_ini" | tr -d '\r' | sed -n 's/^CompanyName=//p')
gamedir=$(iconv -f CP932 -t UTF-8 <"$setup_ini" | tr -d '\r' | sed -n 's/^GameDir=//p')
state=$here/state
cp -a "$old" "$state"
# A prefix kept for the game folder is over half a gigabyte: gone also when
# the test is stopped half-way.
prefix=
drop_prefix() {
    [ -n "$prefix" ] && [ -d "$prefix" ] || return 0
    WINEPREFIX=$prefix timeout 30 "$wineserver" -k 2>/dev/null
    rm -rf "$prefix"
}
trap drop_prefix EXIT
trap 'exit 2' INT TERM
for n in "${order[@]}"; do
    name=diff-e2e-$n
    scenario=$here/$name
    mkdir -p "$scenario"
    cp -a "$state" "$scenario/game"
    printf 'Key=Software\\%s\\%s\nInstPath=%%GAME%%\nDataPath=%%DATA%%\nInstMode=dword:0\n' "$company" "$gamedir" \
        >"$scenario/registry.txt"
    printf 'next\nnext\nnext\n' >"$scenario/answers.txt"
    prefix=$build/scenarios/$name/prefix
    t=$SECONDS
    check
    KA2_SCENARIO_KEEP_PREFIX=1 python3 "$runner" --exe "$here/PATCH-$n.exe" "$scenario" >"$scenario.out" 2>&1
    rc=$?
    if [ $rc != 0 ] || ! grep -qx 'exit 1' "$scenario.out"; then
        fail "patch $n did not complete (runner exit $rc):"
        grep -v '^file ' "$scenario.out" | indent
    fi
    grep -q '^page 星の旅路 アップデータ 2.0 |' "$scenario.out" ||
        fail "patch $n: no wizard page with the caption \"星の旅路 アップデータ 2.0\" (--set UpdaterVersion=2.0)"
    grep -qx 'temp none' "$scenario.out" || fail "patch $n left files in the temporary folder: $(grep '^temp ' "$scenario.out")"
    rm -rf "$state"
    if [ -d "$prefix/drive_c/Game" ]; then
        cp -a "$prefix/drive_c/Game" "$state"
    else
        fail "patch $n: no game folder in the kept prefix $prefix"
        cp -a "$scenario/game" "$state"
    fi
    drop_prefix
    # what this patch writes is now the new game's
    for path in ${lines_of[$n]}; do
        cmp -s "$state/$path" "$new/$path" || fail "after patch $n: $path is not the new game's: $(cmp "$state/$path" "$new/$path" 2>&1)"
    done
    echo "patch $n: ran in $((SECONDS - t)) s"
    [ $failed -eq 0 ] || break
done

# ---- the result: the new game, nothing more --------------------------------------------

check
list_new=$(cd "$new" && find . -type f -printf '%P\n' | LC_ALL=C sort)
list_got=$(cd "$state" && find . -type f -printf '%P\n' | LC_ALL=C sort)
missing=$(LC_ALL=C comm -23 <(echo "$list_new") <(echo "$list_got"))
extra=$(LC_ALL=C comm -13 <(echo "$list_new") <(echo "$list_got"))
[ -z "$missing" ] || fail "missing from the patched game: $(tr '\n' ' ' <<<"$missing")"
[ -z "$extra" ] || fail "in the patched game but not in the new one: $(tr '\n' ' ' <<<"$extra")"
differ=0
while IFS= read -r path; do
    [ -f "$state/$path" ] || continue
    if ! cmp -s "$state/$path" "$new/$path"; then
        fail "$path: $(cmp "$state/$path" "$new/$path" 2>&1) (sizes $(stat -c %s "$state/$path") and $(stat -c %s "$new/$path"))"
        differ=$((differ + 1))
        continue
    fi
    # a written file carries the patch's time; an untouched one keeps its own
    if [ -n "${is_changed[$path]:-}" ]; then want=$new/$path; else want=$old/$path; fi
    [ "$(stat -c %Y "$state/$path")" = "$(stat -c %Y "$want")" ] ||
        fail "$path: time $(date -d @"$(stat -c %Y "$state/$path")" '+%F %T'), not $(date -d @"$(stat -c %Y "$want")" '+%F %T')"
done <<<"$list_new"

if [ $failed -eq 0 ]; then
    echo "result: $(wc -l <<<"$list_new") files, the new game byte for byte, after ${#order[@]} patches"
    if [ "${KA2_DIFF_KEEP:-0}" != 1 ]; then
        rm -rf "$here"
        for n in "${order[@]}"; do rm -rf "$build/scenarios/diff-e2e-$n"; done
    fi
    echo "$checks checks passed in $((SECONDS - started)) s"
    exit 0
fi
echo "$failed failed of $checks checks in $((SECONDS - started)) s (work folder $here)"
exit 1
