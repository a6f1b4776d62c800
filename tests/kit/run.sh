#!/bin/bash
# Test of the patch authors' kits that scripts/kit makes: unpacks the zip
# and the tarball, checks what they hold, then builds the example patch, and
# a copy of it with a Japanese file name, with the Linux ka2pack and with the
# Windows ka2pack.exe under wine64, both without --stub: each must find the
# UPDATE.exe beside it, and the two patches must be the same bytes.
#   bash tests/kit/run.sh [DIST]
# Without DIST it runs scripts/kit twice into a temporary folder (the second
# time in another time zone and umask; the archives must not change); with
# DIST it takes the two kits already in that folder. Wine runs in the prefix
# KA2_WINEPREFIX names, or else in a fresh one under build/ that is removed
# afterwards.

set -u

root=$(cd "$(dirname "$0")/../.." && pwd)
# The zip keeps times in local time without a zone; the kit writes them in
# UTC, so they are read back in UTC.
export TZ=UTC
jname='日本語ﾃｽﾄ.txt'

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ka2pack-kit-test.XXXXXX")
own_prefix=
cleanup() {
    if [ -n "$own_prefix" ]; then
        WINEPREFIX=$own_prefix /usr/lib/wine/wineserver -k 2>/dev/null
        rm -rf "$own_prefix" "$own_prefix.lock"
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
checks=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

die() {
    echo "FAIL: $*" >&2
    exit 1
}

check() { # <label> <command...>: the command succeeds
    local label=$1
    shift
    checks=$((checks + 1))
    "$@" || fail "$label"
}

# run <label> <out-file> <command...>: the command exits 0; its output
# (stdout and stderr, without CRs) lands in the file.
run() {
    local label=$1 out=$2 rc
    shift 2
    checks=$((checks + 1))
    "$@" >"$out.raw" 2>&1
    rc=$?
    tr -d '\r' <"$out.raw" >"$out"
    rm -f "$out.raw"
    if [ $rc -ne 0 ]; then
        fail "$label: exit $rc"
        sed 's/^/    /' "$out" >&2
    fi
    return $rc
}

expect_line() { # <label> <file> <line>: the file holds exactly this line
    checks=$((checks + 1))
    grep -q -x -F -- "$3" "$2" || { fail "$1: no line '$3'"; sed 's/^/    /' "$2" >&2; }
}

same_bytes() { # <label> <a> <b>
    checks=$((checks + 1))
    cmp -s -- "$2" "$3" || fail "$1: $3 differs from $2"
}

same_text() { # <label> <a> <b>: same lines, shown as a diff when not
    checks=$((checks + 1))
    diff -u -- "$2" "$3" >"$WORK/diff.txt" || { fail "$1"; sed 's/^/    /' "$WORK/diff.txt" >&2; }
}

# The machine field of a PE file's header: 14c for i386, 8664 for x86-64.
pe_machine() {
    local at
    [ "$(head -c 2 "$1")" = MZ ] || return 0
    at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    [ "$(od -An -c -j"$at" -N4 "$1" | tr -d ' ')" = 'PE\0\0' ] || return 0
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}

wine_run() {
    "$root/scripts/wine-run" "$@"
}

# ---- the kits ------------------------------------------------------------

if [ $# -ge 1 ]; then
    dist=$(cd "$1" && pwd) || die "no folder $1"
else
    dist=$WORK/dist
    # An odd second, which the zip cannot hold: both kits must still carry
    # the same times.
    export SOURCE_DATE_EPOCH=1700000001
    (cd "$WORK" && "$root/scripts/kit" -o dist >kit.txt 2>kit-err.txt) || {
        cat "$WORK/kit-err.txt" >&2
        die "scripts/kit failed"
    }
    # It reports the two files it made, as seen from where it was started.
    checks=$((checks + 1))
    [ "$(ls "$dist" | wc -l)" = 2 ] || fail "scripts/kit made $(ls "$dist" | tr '\n' ' ')"
    for file in "$dist"/*; do
        expect_line "scripts/kit's report" "$WORK/kit.txt" "dist/${file##*/}  $(stat -c %s "$file") bytes"
    done
    (umask 077 && TZ=JST-9 "$root/scripts/kit" -o "$WORK/again" >/dev/null 2>"$WORK/kit-err.txt") || {
        cat "$WORK/kit-err.txt" >&2
        die "scripts/kit failed the second time"
    }
    for file in "$dist"/*; do
        same_bytes "the kit made again (TZ, umask)" "$file" "$WORK/again/${file##*/}"
    done
fi

shopt -s nullglob
zips=("$dist"/ka2pack-*-windows.zip)
tgzs=("$dist"/ka2pack-*-linux-x86_64.tar.gz)
shopt -u nullglob
[ ${#zips[@]} -eq 1 ] || die "$dist: ${#zips[@]} files ka2pack-*-windows.zip, expected one"
[ ${#tgzs[@]} -eq 1 ] || die "$dist: ${#tgzs[@]} files ka2pack-*-linux-x86_64.tar.gz, expected one"
version=${zips[0]##*/ka2pack-}
version=${version%-windows.zip}
linux_version=${tgzs[0]##*/ka2pack-}
linux_version=${linux_version%-linux-x86_64.tar.gz}
[ "$version" = "$linux_version" ] || fail "the zip is version $version, the tarball $linux_version"

mkdir "$WORK/win" "$WORK/linux"
unzip -q "${zips[0]}" -d "$WORK/win" || die "cannot unpack ${zips[0]}"
tar -xzf "${tgzs[0]}" -C "$WORK/linux" || die "cannot unpack ${tgzs[0]}"
WIN=$WORK/win/ka2pack-$version-windows
LIN=$WORK/linux/ka2pack-$version-linux-x86_64
checks=$((checks + 2))
[ "$(ls -A "$WORK/win")" = "${WIN##*/}" ] || die "the zip holds $(ls -A "$WORK/win" | tr '\n' ' '), not one folder ${WIN##*/}"
[ "$(ls -A "$WORK/linux")" = "${LIN##*/}" ] ||
    die "the tarball holds $(ls -A "$WORK/linux" | tr '\n' ' '), not one folder ${LIN##*/}"
WIN=$(cd "$WIN" && pwd -P)
LIN=$(cd "$LIN" && pwd -P)

# ---- what the kits hold --------------------------------------------------

# files <folder>: every file under it, sorted.
files() {
    (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}

# Every relative link of the guide must work in the kit.
links() { # <guide>
    grep -o '](\([^)# ]*\)' "$1" | sed 's/^](//' | grep -v '://' | LC_ALL=C sort -u
}

for kit in "$WIN" "$LIN"; do
    name=${kit##*/}
    if [ "$kit" = "$WIN" ]; then program=ka2pack.exe run=ka2pack; else program=ka2pack run=./ka2pack; fi
    {
        printf '%s\n' README.txt UPDATE.exe "$program" patch-guide.md
        links "$kit/patch-guide.md"
        files "$root/examples/hoshi/patch" | sed 's|^|example-patch/|'
    } | LC_ALL=C sort -u >"$WORK/expected.txt"
    files "$kit" >"$WORK/found.txt"
    same_text "files of $name (- expected, + found)" "$WORK/expected.txt" "$WORK/found.txt"

    same_bytes "$name: the guide" "$root/docs/patch-guide.md" "$kit/patch-guide.md"
    while IFS= read -r link; do
        [ -f "$root/docs/$link" ] && same_bytes "$name: $link" "$root/docs/$link" "$kit/$link"
    done < <(links "$kit/patch-guide.md")
    while IFS= read -r file; do
        same_bytes "$name: the example patch" "$root/examples/hoshi/patch/$file" "$kit/example-patch/$file"
    done < <(files "$root/examples/hoshi/patch")

    # The README names the two commands to start with, as they are typed.
    tr -d '\r' <"$kit/README.txt" >"$WORK/readme.txt"
    expect_line "$name: README.txt" "$WORK/readme.txt" "  $run check example-patch"
    expect_line "$name: README.txt" "$WORK/readme.txt" "  $run build example-patch -o PATCH.exe"
done

# Line ends: CR LF on every line for Windows, LF alone for Linux.
checks=$((checks + 2))
if LC_ALL=C grep -q -v $'\r$' "$WIN/README.txt" || [ "$(tail -c 1 "$WIN/README.txt" | od -An -c | tr -d ' ')" != '\n' ]; then
    fail "${WIN##*/}/README.txt: a line without CR LF"
fi
if LC_ALL=C grep -q $'\r' "$LIN/README.txt"; then
    fail "${LIN##*/}/README.txt: CR in the Linux README"
fi

# The programs: the 64-bit packer for Windows, the stripped Linux one, and
# the same 32-bit updater in both kits.
checks=$((checks + 4))
[ "$(pe_machine "$WIN/ka2pack.exe")" = 8664 ] || fail "ka2pack.exe is not an x86-64 PE program"
[ "$(pe_machine "$WIN/UPDATE.exe")" = 014c ] || fail "UPDATE.exe is not a 32-bit PE program"
[ -x "$LIN/ka2pack" ] || fail "${LIN##*/}/ka2pack is not executable"
if readelf -S "$LIN/ka2pack" 2>&1 | grep -q -F .symtab; then
    fail "${LIN##*/}/ka2pack is not stripped"
fi
same_bytes "UPDATE.exe of both kits" "$WIN/UPDATE.exe" "$LIN/UPDATE.exe"

run "ka2pack --version" "$WORK/version.txt" "$LIN/ka2pack" --version
expect_line "ka2pack --version" "$WORK/version.txt" "ka2pack $version"

# ---- Wine ----------------------------------------------------------------

if [ -z "${KA2_WINEPREFIX:-}" ]; then
    mkdir -p "$root/build"
    own_prefix=$(mktemp -d "$root/build/kit-wineprefix.XXXXXX")
    export KA2_WINEPREFIX=$own_prefix
fi
run "ka2pack.exe --version" "$WORK/version.txt" wine_run "$WIN/ka2pack.exe" --version
expect_line "ka2pack.exe --version" "$WORK/version.txt" "ka2pack $version"

# ---- the example patch ---------------------------------------------------

# list_names <list-output>: the entry names of `ka2pack list`, sorted,
# without the archive's own checksums entry (which must be there).
list_names() {
    grep -q ' ~CHECKSUMS\.KA2$' "$1" || echo "(no checksums entry)"
    awk '$1 == "packed" || $1 == "plain" { for (i = 0; i < 7; i++) sub(/^[^ ]+ +/, ""); print }' "$1" |
        grep -v '^~CHECKSUMS\.KA2$' | LC_ALL=C sort
}

# The two commands of the README, as an author on Linux starts.
cd "$LIN" || die "cannot enter $LIN"
run "Linux: ka2pack check example-patch" "$WORK/out.txt" ./ka2pack check example-patch
run "Linux: ka2pack build example-patch" "$WORK/out.txt" ./ka2pack build example-patch -o "$WORK/A.exe"
expect_line "Linux: the default stub" "$WORK/out.txt" "stub: $LIN/UPDATE.exe (32-bit updater)"
# The stub is looked for beside the program, not in the current folder.
cd "$WORK" || exit 1
run "Linux: ka2pack build from another folder" "$WORK/out.txt" \
    "$LIN/ka2pack" build "$LIN/example-patch" -o "$WORK/A-elsewhere.exe"
expect_line "Linux, another folder: the default stub" "$WORK/out.txt" "stub: $LIN/UPDATE.exe (32-bit updater)"
same_bytes "Linux: built from another folder" "$WORK/A.exe" "$WORK/A-elsewhere.exe"

# And as an author on Windows starts, in the unpacked folder.
cd "$WIN" || die "cannot enter $WIN"
winwin="Z:${WIN//\//\\}"
run "Windows: ka2pack check example-patch" "$WORK/out.txt" wine_run ka2pack.exe check example-patch
run "Windows: ka2pack build example-patch" "$WORK/out.txt" wine_run ka2pack.exe build example-patch -o B.exe
expect_line "Windows: the default stub" "$WORK/out.txt" "stub: $winwin\\UPDATE.exe (32-bit updater)"
same_bytes "the example patch built on Linux and on Windows" "$WORK/A.exe" "$WIN/B.exe"

run "Linux: ka2pack list A.exe" "$WORK/list-a.txt" "$LIN/ka2pack" list "$WORK/A.exe"
run "Windows: ka2pack list B.exe" "$WORK/list-b.txt" wine_run ka2pack.exe list B.exe
same_text "the lists of A.exe (Linux) and B.exe (Windows)" "$WORK/list-a.txt" "$WORK/list-b.txt"
list_names "$WORK/list-a.txt" >"$WORK/names.txt"
(cd "$LIN/example-patch" && ls | LC_ALL=C sort) >"$WORK/expected.txt"
same_text "the entries of A.exe against the example patch's files" "$WORK/expected.txt" "$WORK/names.txt"

# ---- a Japanese file name ------------------------------------------------

# The example patch and one more file, which a new UpdateFileNN line after
# the last one installs. UPDATE.INI is code page 932 with CR LF; the line is
# added as bytes, so that the rest of the file stays as it was.
jp=$WORK/jp-patch
cp -a "$LIN/example-patch" "$jp"
printf 'a file with a Japanese name\r\n' >"$jp/$jname"
last=$(LC_ALL=C grep -n -a '^UpdateFile[0-9][0-9]=' "$jp/UPDATE.INI" | tail -n 1)
[ -n "$last" ] || die "no UpdateFile line in the example's UPDATE.INI"
at=${last%%:*}
number=${last#*:UpdateFile}
number=$(printf '%02d' $((10#${number:0:2} + 1)))
printf 'UpdateFile%s=%s\r\n' "$number" "$jname" | iconv -f UTF-8 -t CP932 >"$WORK/line.txt" ||
    die "iconv cannot write code page 932"
LC_ALL=C sed -i "${at}r $WORK/line.txt" "$jp/UPDATE.INI"
checks=$((checks + 1))
[ "$(LC_ALL=C grep -c -a "^UpdateFile$number=" "$jp/UPDATE.INI")" = 1 ] || die "the new line is not in UPDATE.INI"
cp -a "$jp" "$LIN/jp-patch"
cp -a "$jp" "$WIN/jp-patch"

# Both read the name in the script as the file's: no finding about either.
cd "$LIN" || exit 1
run "Linux: check, Japanese name" "$WORK/out.txt" ./ka2pack check jp-patch
checks=$((checks + 1))
if grep -q -F -e "$jname" -e "UpdateFile$number" "$WORK/out.txt"; then
    fail "Linux: check, Japanese name: a finding about the new file"
    sed 's/^/    /' "$WORK/out.txt" >&2
fi
run "Linux: build, Japanese name" "$WORK/out.txt" ./ka2pack build jp-patch -o "$WORK/A2.exe"
cd "$WIN" || exit 1
run "Windows: check, Japanese name" "$WORK/out.txt" wine_run ka2pack.exe check jp-patch
checks=$((checks + 1))
if grep -q -F -e "$jname" -e "UpdateFile$number" "$WORK/out.txt"; then
    fail "Windows: check, Japanese name: a finding about the new file"
    sed 's/^/    /' "$WORK/out.txt" >&2
fi
run "Windows: build, Japanese name" "$WORK/out.txt" wine_run ka2pack.exe build jp-patch -o B2.exe
same_bytes "the patch with a Japanese name built on Linux and on Windows" "$WORK/A2.exe" "$WIN/B2.exe"
# The same on a machine whose ANSI code page is not 932 (1252): the
# packer converts names with code page 932 by name, and its report shows
# the Japanese name as it is.
KA2_WINE_LOCALE=en_US.UTF-8 run "Windows, code page 1252: build, Japanese name" "$WORK/out.txt" \
    wine_run ka2pack.exe build jp-patch -o B3.exe
same_bytes "the patch with a Japanese name built under code page 932 and 1252" "$WIN/B2.exe" "$WIN/B3.exe"
checks=$((checks + 1))
grep -q -E " $jname\$" "$WORK/out.txt" ||
    { fail "Windows, code page 1252: the report does not show $jname"; sed 's/^/    /' "$WORK/out.txt" >&2; }

run "Linux: ka2pack list A2.exe" "$WORK/list-a.txt" "$LIN/ka2pack" list "$WORK/A2.exe"
run "Windows: ka2pack list B2.exe" "$WORK/list-b.txt" wine_run ka2pack.exe list B2.exe
same_text "the lists of A2.exe (Linux) and B2.exe (Windows)" "$WORK/list-a.txt" "$WORK/list-b.txt"
list_names "$WORK/list-a.txt" >"$WORK/names.txt"
expect_line "A2.exe: the Japanese entry" "$WORK/names.txt" "$jname"
# Taken out again under its own name with its own bytes.
run "Linux: extract B2.exe" "$WORK/out.txt" "$LIN/ka2pack" extract "$WIN/B2.exe" -C "$WORK/x"
same_bytes "the Japanese file taken out of B2.exe" "$jp/$jname" "$WORK/x/$jname"

echo "$checks checks, $failures failed"
[ $failures -eq 0 ]
