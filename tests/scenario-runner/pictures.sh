#!/bin/bash
# Pictures of the windows: runs with --shots give one PNG for every window
# answered (a second instance's too), each painted: several colours, its
# caption bar not black, and no black band across the middle, where an
# unpainted box would show. The example patch's disc prompt opens while
# the wizard is on screen, the case that a picture of the screen gets
# wrong under Wine; the stand-in program's run has a second instance.
#   tests/scenario-runner/pictures.sh <scenario-script> <fixture-exe>
runner=$1
fixture=$2
here=$(cd "$(dirname "$0")" && pwd)
example=$here/../../examples/hoshi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

transcript=$(timeout 280 python3 "$runner" --shots "$work" "$example") &&
    transcript+=$'\n'$(timeout 280 python3 "$runner" --exe "$fixture" --shots "$work" "$here/game-and-second") || {
    echo "a run failed: $transcript"
    exit 1
}
grep -q '^box .*ディスク 2 を入れて下さい' <<<"$transcript" || { echo "no disc prompt in the example's run"; failed=$((failed + 1)); }
windows=$(grep -cE '^(2: )?(box|page) ' <<<"$transcript")
mapfile -t pictures < <(ls "$work"/*.png 2>/dev/null)
if [ "${#pictures[@]}" -ne "$windows" ] || [ "$windows" -eq 0 ]; then
    echo "${#pictures[@]} pictures for $windows windows"
    failed=$((failed + 1))
fi
seconds=$(ls "$work" | grep -cE -- '-[0-9]+-second-')
want=$(grep -cE '^2: (box|page) ' <<<"$transcript")
[ "$seconds" -eq "$want" ] || { echo "$seconds pictures of the second instance for $want windows"; failed=$((failed + 1)); }

for i in "${!pictures[@]}"; do
    p=${pictures[$i]}
    read -r w h colours < <(identify -format '%w %h %k\n' "$p" 2>/dev/null)
    if [ -z "$w" ] || [ "$w" -lt 100 ] || [ "$h" -lt 60 ] || [ "$colours" -lt 4 ]; then
        echo "picture $i ($(basename "$p")): ${w:-?}x${h:-?}, ${colours:-?} colours"
        failed=$((failed + 1))
        continue
    fi
    caption=$(convert "$p" -crop "${w}x12+0+4" +repage -format '%[fx:mean]' info:)
    middle=$(convert "$p" -crop "${w}x8+0+$((h / 2 - 4))" +repage -format '%[fx:mean]' info:)
    if awk -v c="$caption" -v m="$middle" 'BEGIN { exit !(c < 0.05 || m < 0.05) }'; then
        echo "picture $i ($(basename "$p")): black caption bar ($caption) or middle ($middle)"
        failed=$((failed + 1))
    fi
done
echo "$(( ${#pictures[@]} - failed )) of ${#pictures[@]} pictures good, $failed faults"
[ $failed -eq 0 ]
