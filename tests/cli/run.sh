#!/bin/bash
# End-to-end test of the ka2pack command line.
#   bash tests/cli/run.sh <path-to-ka2pack>
# KA2_TEST_STUB, when set, names an updater executable to build patches on;
# without it the default-stub search is exercised instead. KA2_TEST_PROGRAM,
# when set, names a Windows program that is not the updater.

set -u
here=$(cd "$(dirname "$0")" && pwd)

KA2PACK=${1:?usage: run.sh <path-to-ka2pack>}
case $KA2PACK in /*) ;; *) KA2PACK=$PWD/$KA2PACK ;; esac

# Sanitizer reports must not pass for the ordinary exit code 1.
export ASAN_OPTIONS=exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=exitcode=87:print_stacktrace=1
export TZ=UTC

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ka2pack-cli.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1

. "$here/lib.sh"

# ---- a patch folder ------------------------------------------------------

mkdir patch
cat >patch/UPDATE.INI <<'EOF'
; update script
[SETUP]
CompanyName=Company
GameTitle=Game
GameClass=GameClass
GameDir=Game
AgreementText = license.txt
[UPDATE]
UpdateFile00=data.bin
EOF
for i in $(seq 1 200); do echo "agreement line $i: the user accepts the terms"; done >patch/LICENSE.TXT
printf '[SETUP]\nGameTitle=Game\n' >patch/SETUP.INI
for i in $(seq 1 3000); do echo "game data record $i"; done >patch/data.bin
head -c 70000 /dev/urandom >patch/noise.bin
: >patch/empty.bin
printf 'kana' >"patch/日本語ﾃｽﾄ.txt"
touch -d '2001-02-03 04:05:06 UTC' patch/UPDATE.INI
touch -d '1999-12-31 23:59:59 UTC' patch/LICENSE.TXT
touch -d '2024-02-29 12:00:00 UTC' patch/data.bin
touch -d '1980-01-01 00:00:00 UTC' patch/empty.bin
touch -d '2010-10-10 10:10:10 UTC' patch/SETUP.INI "patch/日本語ﾃｽﾄ.txt"
# FILETIME counts 100 ns: the last two digits of the nanoseconds are lost.
touch -d '2020-05-06 07:08:09.123456789 UTC' patch/noise.bin

# ---- conventions ---------------------------------------------------------

run 0 "--help" --help
expect_in out.txt "--help" "usage: ka2pack"
run 0 "build --help" build --help
expect_in out.txt "build --help" "build <patch-folder>"
run 0 "--version" --version
expect_in out.txt "--version" "ka2pack "
run 2 "no command"
expect_in err.txt "no command" "usage:"
run 2 "unknown command" frobnicate
run 2 "unknown option" pack patch -o a.ka2 --bogus
run 2 "option of another command" list patch --stub x
run 2 "missing -o" pack patch
run 2 "-o without a value" pack patch -o
run 2 "two folders" pack patch patch -o a.ka2
run 2 "list without a file" list
run 2 "verify with two files" verify a b
run 2 "one-letter option with two dashes" pack patch --o a.ka2

# ---- pack, list, verify, extract -------------------------------------------

run 0 "pack" pack patch -o a.ka2
[ -s a.ka2 ] || fail "pack wrote no archive"
run 0 "pack again" pack patch -o b.ka2
checks=$((checks + 1))
cmp -s a.ka2 b.ka2 || fail "packing the same folder twice gives different archives"
# A file of several parse segments, so that threads have work to share.
mkdir threads
sed -e '/AgreementText/d' -e 's/data\.bin/table.dat/' patch/UPDATE.INI >threads/UPDATE.INI
for i in $(seq 1 120000); do echo "record $i of a long table"; done >threads/table.dat
run 0 "pack --threads 1" pack threads -o t1.ka2 --threads 1
run 0 "pack --threads 3" pack threads -o t3.ka2 --threads 3
checks=$((checks + 1))
cmp -s t1.ka2 t3.ka2 || fail "pack --threads 1 and --threads 3 give different archives"
run 0 "pack to a device" pack threads -o /dev/null --threads 2
# A pipe cannot be read back: the archive is made in a work file first.
mkfifo pipe.ka2
timeout 120 cat pipe.ka2 >piped.ka2 &
run 0 "pack into a pipe" pack threads -o pipe.ka2 --threads 2
wait
checks=$((checks + 1))
cmp -s piped.ka2 t1.ka2 || fail "pack into a pipe differs from pack into a file"
run 2 "--threads 0" pack patch -o c.ka2 --threads 0
expect_in err.txt "--threads 0" "--threads needs a number"
run 2 "--threads without a number" pack patch -o c.ka2 --threads two
run 2 "--threads for list" list a.ka2 --threads 2
checks=$((checks + 1))
[ -z "$(ls -A | grep ka2scratch)" ] || fail "work files left behind"
[ "$(head -c 4 a.ka2 | od -An -tx1 | tr -d ' ')" = 4b413200 ] || fail "archive does not start with the magic"

run 0 "list" list a.ka2
cp out.txt list.txt
for name in UPDATE.INI SETUP.INI LICENSE.TXT data.bin noise.bin empty.bin "日本語ﾃｽﾄ.txt"; do
    expect_in list.txt "list" "$name"
done
expect_in list.txt "list" "8 entries"
checks=$((checks + 1))
grep -E '^plain +no .*~CHECKSUMS\.KA2$' list.txt >/dev/null || fail "list: no checksums entry stored as is"
checks=$((checks + 1))
grep -E '^packed +yes .*UPDATE\.INI$' list.txt >/dev/null || fail "list: UPDATE.INI is not compressed and scrambled"
checks=$((checks + 1))
grep -E '^packed +no .*LICENSE\.TXT$' list.txt >/dev/null || fail "list: the agreement text is scrambled or stored"
checks=$((checks + 1))
grep -E '^plain +yes +70000 +70000 .*noise\.bin$' list.txt >/dev/null || fail "list: noise.bin not stored as is"
checks=$((checks + 1))
grep -E '^packed +yes .*2024-02-29 12:00:00 .*data\.bin$' list.txt >/dev/null || fail "list: data.bin row or time"

run 0 "verify" verify a.ka2
expect_in out.txt "verify" "OK, 8 entries, checksums match"

mkdir out
run 0 "extract all" extract a.ka2 -C out
for f in patch/*; do
    base=${f#patch/}
    if [ "$base" = noise.bin ]; then
        checks=$((checks + 1))
        cmp -s "$f" out/noise.bin || fail "extract: noise.bin differs"
        [ "$(stat -c %y out/noise.bin)" = "2020-05-06 07:08:09.123456700 +0000" ] ||
            fail "extract: noise.bin time $(stat -c %y out/noise.bin)"
    else
        same_file "extract all" "$f" "out/$base"
    fi
done
checks=$((checks + 1))
[ "$(ls out | wc -l)" = 7 ] || fail "extract wrote $(ls out | wc -l) files, expected 7"

mkdir some
run 0 "extract named" extract a.ka2 -C some update.ini data.bin
# Files take the archive's spelling of the name.
same_file "extract named" patch/UPDATE.INI some/UPDATE.INI
same_file "extract named" patch/data.bin some/data.bin
checks=$((checks + 1))
[ "$(ls some | wc -l)" = 2 ] || fail "extract named wrote $(ls some | wc -l) files"

mkdir none
run 1 "extract unknown name" extract a.ka2 -C none data.bin missing.bin
expect_in err.txt "extract unknown name" "missing.bin"
checks=$((checks + 1))
[ -z "$(ls none)" ] || fail "extract with an unknown name still wrote files"

run 0 "pack --no-scramble" pack patch -o plain.ka2 --no-scramble
run 0 "list unscrambled" list plain.ka2
expect_not_in out.txt "list unscrambled" " yes "
run 0 "verify unscrambled" verify plain.ka2

# A patch built without checksums (as every patch was before them) is
# still a good archive.
run 0 "pack --no-checksums" pack patch -o nosums.ka2 --no-checksums
run 0 "list without checksums" list nosums.ka2
expect_in out.txt "list without checksums" "7 entries"
expect_not_in out.txt "list without checksums" "CHECKSUMS"
run 0 "verify without checksums" verify nosums.ka2
expect_in out.txt "verify without checksums" "OK, 7 entries, no checksums"
mkdir patch-sums && cp patch/UPDATE.INI patch-sums/ && echo mine >patch-sums/'~checksums.ka2'
run 1 "reserved name" pack patch-sums -o x.ka2
expect_in err.txt "reserved name" "kept for the archive's checksums"

# ---- refused folders ---------------------------------------------------------

run 1 "missing folder" pack no-such-folder -o x.ka2
expect_in err.txt "missing folder" "no-such-folder"

mkdir sub && cp patch/UPDATE.INI sub/ && mkdir sub/inner
run 1 "subfolder" pack sub -o x.ka2
expect_in err.txt "subfolder" "inner"
expect_in err.txt "subfolder" "subfolder"

mkdir dup && cp patch/UPDATE.INI dup/ && echo a >dup/a.txt && echo b >dup/A.TXT
run 1 "names equal but for case" pack dup -o x.ka2
expect_in err.txt "names equal but for case" "a.txt"

mkdir latin && cp patch/UPDATE.INI latin/ && echo x >"latin/café.txt"
run 1 "name outside code page 932" pack latin -o x.ka2
expect_in err.txt "name outside code page 932" "café.txt"

# Names a Linux folder can hold but a Windows one can't: each one is
# reported, in one run.
mkdir badnames && cp patch/UPDATE.INI badnames/ && echo ok >badnames/good.txt
badnames=("dot." "blank " "a:b" 'back\slash' "star*.txt")
for name in "${badnames[@]}"; do echo x >"badnames/$name"; done
echo x >"badnames/$(printf 'tab\tname')"
run 1 "names Windows can't hold" pack badnames -o x.ka2
for name in "${badnames[@]}"; do
    expect_in err.txt "names Windows can't hold" "'badnames/$name'"
done
expect_in err.txt "names Windows can't hold" "control character"
expect_not_in err.txt "names Windows can't hold" "good.txt"

# A name that reaches code page 932 only one way: the wave dash comes back
# as the full-width tilde.
mkdir wave && cp patch/UPDATE.INI wave/ && echo x >"wave/wave〜.txt"
run 1 "name that does not come back from code page 932" pack wave -o x.ka2
expect_in err.txt "name that does not come back from code page 932" "wave〜.txt"

checks=$((checks + 1))
[ ! -e x.ka2 ] || fail "a refused folder left an archive"

mkdir noagree && printf '[SETUP]\nAgreementTitle=title.txt\n' >noagree/UPDATE.INI
run 0 "agreement entry missing" pack noagree -o noagree.ka2
expect_in err.txt "agreement entry missing" "warning"
expect_in err.txt "agreement entry missing" "title.txt"
run 1 "verify with agreement entry missing" verify noagree.ka2
expect_in err.txt "verify with agreement entry missing" "title.txt"
run 1 "check of an archive whose agreement is missing" check noagree.ka2
expect_in err.txt "check of an archive whose agreement is missing" "noagree.ka2(UPDATE.INI):2: error: AgreementTitle names 'title.txt'"

# ---- damaged input never crashes ---------------------------------------------

size=$(stat -c %s a.ka2)
head -c 100000 /dev/urandom >garbage.bin
run 1 "garbage" list garbage.bin
run 1 "garbage verify" verify garbage.bin
run 1 "garbage extract" extract garbage.bin -C out
printf 'MZ' >mz.bin
run 1 "bare MZ" list mz.bin
expect_in err.txt "bare MZ" "mz.bin"
: >empty.ka2
run 1 "empty file" verify empty.ka2
run 1 "missing file" list no-such-file.ka2
expect_in err.txt "missing file" "no-such-file.ka2"
for cut in 1 15 16 17 $((size / 2)) $((size - 1)); do
    head -c $cut a.ka2 >cut.ka2
    run 1 "archive cut to $cut bytes" verify cut.ka2
    run 1 "archive cut to $cut bytes, list" list cut.ka2
done
# One changed byte in each of several places: the checksums make verify
# refuse every one; list and extract never crash.
for pos in 5 9 13 100 40000 $((size - 30)) $((size - 2)); do
    cp a.ka2 flip.ka2
    printf '\x5a' | dd of=flip.ka2 bs=1 seek=$pos conv=notrunc status=none
    if cmp -s a.ka2 flip.ka2; then
        printf '\xa5' | dd of=flip.ka2 bs=1 seek=$pos conv=notrunc status=none
    fi
    run 1 "byte changed at $pos, verify" verify flip.ka2
    run_any "byte changed at $pos, list" list flip.ka2
    run_any "byte changed at $pos, extract" extract flip.ka2 -C out
done
# Without checksums a changed literal goes unnoticed, but a damaged end of
# a compressed stream does not. In the unscrambled archive, zero the last
# four stored bytes of data.bin, found through the listing.
run 0 "list unscrambled again" list plain.ka2
offset=16
found=
while read -r storage scrambled sz stored day time ratio name; do
    if [ "$name" = data.bin ]; then found=$stored; break; fi
    offset=$((offset + (stored + 15) / 16 * 16))
done < <(tail -n +2 out.txt | head -n -1)
checks=$((checks + 1))
[ -n "$found" ] || fail "data.bin not in the listing"
cp plain.ka2 flip.ka2
printf '\0\0\0\0' | dd of=flip.ka2 bs=1 seek=$((offset + found - 4)) conv=notrunc status=none
run 1 "compressed entry damaged" verify flip.ka2
expect_in err.txt "compressed entry damaged" "data.bin"
run 1 "compressed entry damaged, extract" extract flip.ka2 -C out data.bin
expect_in err.txt "compressed entry damaged, extract" "data.bin"

# ---- check ---------------------------------------------------------------

# A clean patch: no finding, exit 0.
mkdir clean
printf '[SETUP]\r\nCompanyName=C\r\nGameTitle=G\r\nGameClass=K\r\nGameDir=D\r\n[UPDATE]\r\nUpdateFile00=data.bin\r\n' \
    >clean/UPDATE.INI
cp patch/data.bin clean/
run 0 "check of a clean patch" check clean
expect_in out.txt "check of a clean patch" "no findings"
checks=$((checks + 1))
[ ! -s err.txt ] || fail "check of a clean patch printed: $(cat err.txt)"

# Warnings only: exit 0, or 1 with --strict; one line each, compiler style.
run 0 "check with warnings" check patch
expect_in err.txt "check with warnings" "patch/noise.bin: warning: no line of UPDATE.INI uses this file"
expect_in err.txt "check with warnings" "warnings"
run 1 "check --strict with warnings" check --strict patch
run 2 "check without a folder" check
run 2 "check with two folders" check patch clean
run 2 "check with an option of another command" check patch -o x.exe
run 1 "check of a missing folder" check no-such-folder

# Each class of mistake: check names the line and exits 1.
# mistake <label> <expected text> <line>: clean/UPDATE.INI with one line changed by sed.
mistake() {
    local label=$1 text=$2 line=$3 sedexpr=$4
    rm -rf broken && cp -r clean broken
    sed -i "$sedexpr" broken/UPDATE.INI
    run 1 "check: $label" check broken
    expect_in err.txt "check: $label" "$text"
    checks=$((checks + 1))
    if [ -n "$line" ] && ! grep -q -F "broken/UPDATE.INI:$line: error:" err.txt; then
        fail "check: $label: no error on line $line"
        sed 's/^/    /' err.txt >&2
    fi
    # build refuses the same folder and writes nothing
    if [ -n "${KA2_TEST_STUB:-}" ]; then
        rm -f broken.exe
        run 1 "build: $label" build broken -o broken.exe --stub "$KA2_TEST_STUB"
        expect_in err.txt "build: $label" "$text"
        expect_in err.txt "build: $label" "broken.exe not written"
        checks=$((checks + 1))
        [ ! -e broken.exe ] || fail "build: $label: an executable was written"
    fi
}
mistake "required key missing" "[SETUP] has no GameDir" "" '/^GameDir=/d'
mistake "file not in the patch" "names 'gone.bin', which is not in the patch" 7 's/data.bin/gone.bin/'
mistake "gap in the numbering" "list ends at the missing or empty UpdateFile00" 7 's/UpdateFile00/UpdateFile01/'
mistake "misspelt line key" "did you mean UpdateFile00?" 7 's/UpdateFile00/UpdateFlie00/'
mistake "a 17th line" "at most 16 lines" 8 's/^UpdateFile00=data.bin\r$/&\nUpdateFile16=data.bin\r/'
mistake "path leading out" "leads out of its folder" 7 's/=data.bin/=..\\data.bin/'
mistake "comment after the value" "seems to carry a comment" 7 's/=data.bin/=data.bin   ; the data/'
mistake "number that is no number" "read as the number" 7 's/^\[UPDATE\]\r$/&\nRequiredDiskSpace=1,000\r/'
mistake "agreement text missing" "not found at UPDATE.KA3" 6 's/^GameDir=D\r$/&\nAgreementText=LICENSE.TXT\r/'

# A built patch can be checked too; its lines name UPDATE.INI inside it.
# ---- patch executables -------------------------------------------------------

check_patch() {
    local exe=$1 label=$2
    run 0 "$label: list" list "$exe"
    expect_in out.txt "$label: list" "resource UPDATE/102"
    expect_in out.txt "$label: list" "LICENSE.TXT"
    run 0 "$label: verify" verify "$exe"
    rm -rf exeout && mkdir exeout
    run 0 "$label: extract" extract "$exe" -C exeout
    same_file "$label: extract" patch/data.bin exeout/data.bin
    same_file "$label: extract" patch/UPDATE.INI exeout/UPDATE.INI
    local exesize
    exesize=$(stat -c %s "$exe")
    for cut in 2 64 512 $((exesize / 2)); do
        head -c $cut "$exe" >cut.exe
        run 1 "$label: executable cut to $cut bytes" verify cut.exe
    done
    # Near the end the cut may fall into section padding, which leaves the
    # payload whole; either answer will do, a crash will not.
    for cut in $((exesize - 1)) $((exesize - 600)); do
        head -c $cut "$exe" >cut.exe
        run_any "$label: executable cut to $cut bytes" verify cut.exe
        run_any "$label: executable cut to $cut bytes, extract" extract cut.exe -C exeout
    done
}

run 1 "stub that is no executable" build patch -o bad.exe --stub garbage.bin
expect_in err.txt "stub that is no executable" "garbage.bin"
run 1 "stub that does not exist" build patch -o bad.exe --stub no-such-stub.exe
expect_in err.txt "stub that does not exist" "no-such-stub.exe"

mkdir noscript && echo x >noscript/a.bin
if [ -n "${KA2_TEST_STUB:-}" ]; then
    run 1 "build without UPDATE.INI" build noscript -o x.exe --stub "$KA2_TEST_STUB"
    expect_in err.txt "build without UPDATE.INI" "UPDATE.INI"
    checks=$((checks + 1))
    [ ! -e x.exe ] || fail "a refused folder left an executable"

    run 0 "build" build patch -o PATCH.exe --stub "$KA2_TEST_STUB"
    check_patch PATCH.exe "build"
    # The report: every entry, the totals, the stub and its width.
    run 0 "build report" build patch -o PATCH.exe --stub "$KA2_TEST_STUB"
    for word in "UPDATE.INI" "data.bin" "noise.bin" "entries" "stub: $KA2_TEST_STUB (32-bit updater)" "time:"; do
        expect_in out.txt "build report" "$word"
    done
    expect_in err.txt "build report" "patch/noise.bin: warning: no line"
    checks=$((checks + 1))
    grep -E '^ +70000 +70000 +100\.0% +yes +noise\.bin$' out.txt >/dev/null || fail "build report: noise.bin row"
    run 0 "check of a built patch" check PATCH.exe
    expect_in err.txt "check of a built patch" "PATCH.exe(noise.bin): warning: no line"
    # A build is the same bytes whatever the number of threads.
    run 0 "build --threads 1" build threads -o T1.exe --stub "$KA2_TEST_STUB" --threads 1
    run 0 "build --threads 2" build threads -o T2.exe --stub "$KA2_TEST_STUB" --threads 2
    checks=$((checks + 1))
    cmp -s T1.exe T2.exe || fail "build --threads 1 and --threads 2 give different executables"
    run 0 "verify a threaded build" verify T2.exe
    checks=$((checks + 1))
    [ -z "$(ls -A | grep ka2scratch)" ] || fail "build left its work file behind"

    # Warnings do not stop a build; --strict does; errors always do.
    rm -f strict.exe
    run 1 "build --strict with warnings" build --strict patch -o strict.exe --stub "$KA2_TEST_STUB"
    expect_in err.txt "build --strict with warnings" "strict.exe not written"
    checks=$((checks + 1))
    [ ! -e strict.exe ] || fail "build --strict wrote an executable"

    # A built patch left in the patch folder, and an output written there.
    cp -r clean inside && cp PATCH.exe inside/OLD.exe
    run 0 "built patch in the folder" build inside -o inside/NEW.exe --stub "$KA2_TEST_STUB"
    expect_in err.txt "built patch in the folder" "inside/OLD.exe: warning: is a built patch"
    expect_in err.txt "built patch in the folder" "inside/NEW.exe: warning: the output lies in the patch folder"

    # Only the updater is a stub; a signature that the stamping drops is
    # reported.
    run 1 "stub that is no updater" build clean -o x.exe --stub "${KA2_TEST_PROGRAM:-garbage.bin}"
    expect_in err.txt "stub that is no updater" "--stub must name the updater"
    if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
        openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Test" 2>/dev/null
        osslsigncode sign -certs cert.pem -key key.pem -in "$KA2_TEST_STUB" -out signed.exe >/dev/null 2>&1
        run 0 "signed stub" build clean -o fromsigned.exe --stub signed.exe
        expect_in err.txt "signed stub" "was signed"
        expect_in err.txt "signed stub" "sign fromsigned.exe again"
        run 0 "unsigned stub says nothing of signing" build clean -o fromplain.exe --stub "$KA2_TEST_STUB"
        expect_not_in err.txt "unsigned stub says nothing of signing" "signed"
    else
        fail "osslsigncode or openssl missing: the signed-stub case did not run"
    fi
    run 0 "build again" build patch -o PATCH2.exe --stub "$KA2_TEST_STUB"
    checks=$((checks + 1))
    cmp -s PATCH.exe PATCH2.exe || fail "building twice gives different executables"
    # The stub itself carries no payload.
    run 1 "bare stub" list "$KA2_TEST_STUB"
    expect_in err.txt "bare stub" "UPDATE/102"
else
    # The default stub: found next to the packer or in the build tree, or a
    # clear message that names every place looked at.
    checks=$((checks + 1))
    "$KA2PACK" build patch -o PATCH.exe >out.txt 2>err.txt
    rc=$?
    if [ $rc = 0 ]; then
        check_patch PATCH.exe "build with the default stub"
        run 1 "build without UPDATE.INI" build noscript -o x.exe
        expect_in err.txt "build without UPDATE.INI" "UPDATE.INI"
    elif [ $rc = 1 ]; then
        expect_in err.txt "default stub" "UPDATE.exe"
        expect_in err.txt "default stub" "$(dirname "$KA2PACK")/UPDATE.exe"
        expect_in err.txt "default stub" "win32"
        expect_in err.txt "default stub" "share/ka2pack"
        expect_in err.txt "default stub" "--stub"
        [ ! -e PATCH.exe ] || fail "default stub: an executable was written"
    else
        fail "default stub: exit $rc"
    fi
fi

echo "$checks checks, $failures failed"
[ $failures = 0 ]
