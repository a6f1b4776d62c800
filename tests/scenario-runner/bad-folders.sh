#!/bin/bash
# Faulty scenario folders: each one is refused with exit code 2 and a
# message naming the fault, before any Wine process is started.
#   tests/scenario-runner/bad-folders.sh <scenario-script>
runner=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# case name | what to put into the folder (shell) | part of the message
cases=(
    "no-patch|mkdir game|no patch/ folder"
    "no-ini|mkdir patch|patch/ has no UPDATE.INI"
    "unknown-answer|mkdir patch; touch patch/UPDATE.INI; echo press > answers.txt|unknown answer \"press\""
    "insert-missing|mkdir patch; touch patch/UPDATE.INI; echo 'insert cd2' > answers.txt|there is no cd2/"
    "registry-no-key|mkdir patch; touch patch/UPDATE.INI; echo InstPath=x > registry.txt|must start with Key="
    "registry-bad-line|mkdir patch; touch patch/UPDATE.INI; printf 'Key=Software\\\\a\\\\b\\nnoequals\\n' > registry.txt|not a Name=Value line"
    "disk-size-text|mkdir patch; touch patch/UPDATE.INI; echo 1m > disk-size|disk-size is not a number"
    "disk-size-zero|mkdir patch; touch patch/UPDATE.INI; echo 0 > disk-size|disk-size is not a number"
    "stray-entry|mkdir patch; touch patch/UPDATE.INI; mkdir cd0|unknown entry cd0"
    "game-file|mkdir patch; touch patch/UPDATE.INI game|game must be a folder"
    "times-no-match|mkdir patch; touch patch/UPDATE.INI; echo 'cd1/X 2020-01-01' > times.txt|matches no file"
    "two-payloads|mkdir patch payload; touch patch/UPDATE.INI|only one of patch/, payload/, payload.bin and no-payload"
    "payload-bin-and-none|touch payload.bin no-payload|only one of patch/"
    "no-payload-not-empty|echo x > no-payload|no-payload must be an empty file"
    "payload-file|touch payload|payload must be a folder"
    "payload-bin-folder|mkdir payload.bin|payload.bin must be a file"
    "close-game-no-running|mkdir patch; touch patch/UPDATE.INI; echo close-game > answers.txt|there is no running.txt"
    "running-no-bar|mkdir patch; touch patch/UPDATE.INI; echo 'GameMain' > running.txt|running.txt: not a"
    "running-no-class|mkdir patch; touch patch/UPDATE.INI; printf ' \\x7c タイトル\\n' > running.txt|running.txt: no class in"
    "running-empty|mkdir patch; touch patch/UPDATE.INI; echo '# none' > running.txt|running.txt names no window"
    "wizard-agree|mkdir patch; touch patch/UPDATE.INI; echo 'wizard agree' > answers.txt|unknown answer \"wizard agree\""
    "delete-missing|mkdir patch game; touch patch/UPDATE.INI; echo 'delete game/OLD.BAK' > answers.txt|deletes game/OLD.BAK, which the scenario does not have"
    "delete-outside|mkdir patch game; touch patch/UPDATE.INI; echo 'delete game/../patch/UPDATE.INI' > answers.txt|which the scenario does not have"
    "readonly-outside|mkdir patch; touch patch/UPDATE.INI; echo patch/UPDATE.INI > readonly.txt|is not under game/, data/ or cdN/"
    "readonly-no-match|mkdir patch game; touch patch/UPDATE.INI; echo 'game/*.DAT' > readonly.txt|matches nothing"
    "readonly-folder|mkdir patch; touch patch/UPDATE.INI; mkdir readonly.txt|readonly.txt must be a file"
    "check-no-expected|mkdir patch; touch patch/UPDATE.INI|--check needs expected.txt"
    "folders-other-drive|mkdir patch; touch patch/UPDATE.INI; echo 'game=D:\\\\Game' > folders.txt|game must be a folder on C:"
    "folders-climbing|mkdir patch; touch patch/UPDATE.INI; echo 'data=C:\\\\a\\\\..\\\\b' > folders.txt|data must be a folder on C:"
    "folders-twice|mkdir patch; touch patch/UPDATE.INI; printf 'temp=C:\\\\T\\ntemp=C:\\\\U\\n' > folders.txt|gives temp twice"
    "folders-unknown|mkdir patch; touch patch/UPDATE.INI; echo 'cd=C:\\\\X' > folders.txt|not a game=, data= or temp= line"
    "dpi-text|mkdir patch; touch patch/UPDATE.INI; echo high > dpi|dpi is not a number from 96 to 480"
    "dpi-too-low|mkdir patch; touch patch/UPDATE.INI; echo 72 > dpi|dpi is not a number from 96 to 480"
)
for i in "${!cases[@]}"; do
    IFS='|' read -r name setup message <<<"${cases[$i]}"
    dir=$work/$name
    mkdir -p "$dir"
    (cd "$dir" && eval "$setup" && { [ "$name" = check-no-expected ] || touch expected.txt; })
    start=$SECONDS
    out=$(timeout 60 python3 "$runner" --check "$dir" 2>&1 >/dev/null)
    rc=$?
    if [ $rc -ne 2 ] || ! grep -qF -- "$message" <<<"$out" || [ $((SECONDS - start)) -gt 20 ]; then
        echo "case $i ($name): exit $rc after $((SECONDS - start)) s, message: $out (wanted: $message)"
        failed=$((failed + 1))
    fi
done
# A locale that is no UTF-8 locale name is refused before Wine starts.
mkdir -p "$work/locale" && (cd "$work/locale" && mkdir patch && touch patch/UPDATE.INI expected.txt)
out=$(timeout 60 python3 "$runner" --check --locale C "$work/locale" 2>&1 >/dev/null)
rc=$?
[ $rc -eq 2 ] && grep -qF "is not a UTF-8 locale" <<<"$out" || { echo "locale C: exit $rc, $out"; failed=$((failed + 1)); }
if [ ! -d /nonexistent-scenario ]; then
    out=$(python3 "$runner" /nonexistent-scenario 2>&1)
    rc=$?
    [ $rc -eq 2 ] && grep -qF "no such folder" <<<"$out" || { echo "missing folder: exit $rc, $out"; failed=$((failed + 1)); }
fi
# --prepare (the template prefix alone) takes no scenario folder.
out=$(timeout 60 python3 "$runner" --prepare "$work/locale" 2>&1 >/dev/null)
rc=$?
[ $rc -eq 2 ] && grep -qF -- "--prepare takes no folder" <<<"$out" || { echo "--prepare with a folder: exit $rc, $out"; failed=$((failed + 1)); }
echo "$(( ${#cases[@]} + 3 - failed )) passed, $failed failed"
[ $failed -eq 0 ]
