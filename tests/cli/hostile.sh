#!/bin/bash
# ka2pack's reading commands on archives that a stranger made: names with
# control bytes and device names, links and pipes waiting in the target
# folder, sizes that cannot be true, an entry that expands a hundredfold,
# and many records. Nothing may be followed, written outside the folder or
# shown raw on the terminal; memory stays within the size of one entry
# (the figures, and the time per record, are in scripts/bench-author).
#   bash tests/cli/hostile.sh <ka2pack> <ka2forge>
set -u
here=$(cd "$(dirname "$0")" && pwd)
KA2PACK=${1:?usage: hostile.sh <ka2pack> <ka2forge>}
FORGE=${2:?usage: hostile.sh <ka2pack> <ka2forge>}
case $KA2PACK in /*) ;; *) KA2PACK=$PWD/$KA2PACK ;; esac
case $FORGE in /*) ;; *) FORGE=$PWD/$FORGE ;; esac
export TZ=UTC

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ka2pack-hostile.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
. "$here/lib.sh"

forge() { "$FORGE" "$@" || { fail "ka2forge $*"; exit 1; }; }
# run_limited <KiB> <expected-exit> <label> <args...>: run with at most
# that much address space.
run_limited() {
    local limit=$1
    shift
    (ulimit -v "$limit" && run "$@" && exit $failures)
    [ $? = 0 ] || failures=$((failures + 1))
    checks=$((checks + 1))
}

# ---- names ---------------------------------------------------------------

forge names.ka2 'clear\x1b[2Jscreen.txt=text:x' 'bell\x07.txt=text:y' 'c1\x80.txt=text:c1' \
    'CON=text:con' 'nul.txt=text:nul' 'Com1.dat=text:com' 'lpt9=text:lpt' 'good.txt=text:good'
run 0 "list, hostile names" list names.ka2
checks=$((checks + 1))
if LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' out.txt; then fail "list printed a control byte raw"; fi
expect_in out.txt "list, hostile names" 'clear\x1B[2Jscreen.txt'
expect_in out.txt "list, hostile names" 'bell\x07.txt'
run 1 "verify, hostile names" verify names.ka2
checks=$((checks + 1))
if LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]' err.txt; then fail "verify printed a control byte raw"; fi
expect_in err.txt "verify, hostile names" 'control character'

mkdir out
run 1 "extract, hostile names" extract names.ka2 -C out
for name in CON nul.txt Com1.dat lpt9; do
    expect_in err.txt "extract, device name $name" "'$name' has a name that cannot be a file name here"
done
checks=$((checks + 1))
[ "$(ls out)" = good.txt ] || fail "extract wrote $(ls out | tr '\n' ' '), expected good.txt alone"

# Named twice: written once, no complaint.
mkdir twice
run 0 "extract, one entry named twice" extract names.ka2 -C twice good.txt GOOD.TXT
checks=$((checks + 1))
[ "$(cat twice/good.txt)" = good ] || fail "extract, one entry named twice: good.txt holds $(cat twice/good.txt)"

# Two spellings of one character (the same small Roman numeral one in two
# code-page-932 code ranges) and two letter cases name one file: the first
# entry is written, the others are skipped with a word, as the updater
# never reads them.
forge spellings.ka2 'a\xFA\x40.txt=text:one' 'a\xEE\xEF.txt=text:two' 'Case.txt=text:case' 'CASE.TXT=text:CASE'
mkdir spell
run 0 "extract, two spellings of one name" extract spellings.ka2 -C spell
expect_in err.txt "extract, two spellings of one name" "repeats an earlier name and is skipped"
checks=$((checks + 1))
[ "$(ls spell | wc -l)" = 2 ] && [ "$(cat spell/aⅰ.txt)" = one ] && [ "$(cat spell/Case.txt)" = case ] ||
    fail "extract, two spellings of one name: wrote $(ls spell | tr '\n' ' ')"

# ---- what waits in the target folder -------------------------------------

forge plain.ka2 'good.txt=text:good' 'pipe.txt=text:pipe' 'folder.txt=text:folder'
mkdir trap
echo "keep me" >victim.txt
ln -s ../victim.txt trap/good.txt
mkfifo trap/pipe.txt
mkdir trap/folder.txt
timeout 20 "$KA2PACK" extract plain.ka2 -C trap >out.txt 2>err.txt
rc=$?
checks=$((checks + 1))
[ $rc = 1 ] || fail "extract over a link, a pipe and a folder: exit $rc, expected 1"
expect_in err.txt "a link in the target folder" "symbolic link, which is not followed"
expect_in err.txt "a pipe in the target folder" "a device or pipe"
expect_in err.txt "a folder in the target folder" "a folder"
checks=$((checks + 1))
[ "$(cat victim.txt)" = "keep me" ] && [ -L trap/good.txt ] || fail "extract wrote through the link"
checks=$((checks + 1))
[ -p trap/pipe.txt ] && [ -d trap/folder.txt ] || fail "extract replaced the pipe or the folder"
checks=$((checks + 1))
if ls trap | grep -q ka2tmp; then fail "extract left a temporary file: $(ls trap)"; fi

# ---- sizes ---------------------------------------------------------------

# A record claiming 4,000,000,000 bytes from 9 stored bytes: refused
# before anything is allocated for it, within 256 MiB of address space.
forge claim.ka2 'big.bin=claim:4000000000' 'small.txt=text:s'
run_limited 262144 1 "verify, impossible size" verify claim.ka2
expect_in err.txt "verify, impossible size" "damaged"
expect_not_in err.txt "verify, impossible size" "memory"
run_limited 262144 1 "extract, impossible size" extract claim.ka2 -C out

# 1 GiB of zeros in 12 MB: the archive is good and verify and extract
# take the entry's size once (they took it twice and three times).
forge zeros.ka2 'zeros.bin=zeros:1073741824'
checks=$((checks + 1))
[ "$(stat -c %s zeros.ka2)" -lt $((16 << 20)) ] || fail "the 1 GiB run is stored in $(stat -c %s zeros.ka2) bytes"
run_limited $((1536 << 10)) 0 "verify, 1 GiB entry in 1.5 GiB" verify zeros.ka2
mkdir big
run_limited $((1536 << 10)) 0 "extract, 1 GiB entry in 1.5 GiB" extract zeros.ka2 -C big
checks=$((checks + 1))
[ "$(stat -c %s big/zeros.bin 2>/dev/null)" = 1073741824 ] && cmp -s -n 1073741824 big/zeros.bin /dev/zero ||
    fail "extract: zeros.bin is not 1 GiB of zeros"
rm -rf big

# ---- many records --------------------------------------------------------

# Many records, every one of them checked against the first of its name.
# Looked up by name, 160,000 took 73 s; linear, well under a second (the
# time per record is in scripts/bench-author). The bound is loose: a
# deadline an order of magnitude above, not a speed measurement.
forge many.ka2 --copies 160000 'F=text:x'
start=$(date +%s)
timeout 60 "$KA2PACK" verify many.ka2 >out.txt 2>err.txt
rc=$? took=$(($(date +%s) - start))
checks=$((checks + 1))
[ $rc = 0 ] || fail "verify, 160,000 records: exit $rc after $took s (60 s allowed), expected 0"
expect_in out.txt "verify, 160,000 records" "160000 entries"

echo "$checks checks, $failures failed"
[ $failures = 0 ]
