#!/usr/bin/env bash
# End to end: the real program in a real X window on the replay camera over a generated
# rig scene. It starts, opens the settings panel, calibrates by clicking the
# rig's true board corners, takes a snapshot and is unplugged; then it replays a short
# lesson and must save the board before it is wiped, with the lesson PDF. Screenshots of
# every step are kept. The lesson is shared: the QR code on the window must read the
# printed address, and headless Chromium must show the straightened board and, after
# the wipe, the saved board. Usage: e2e.sh BRISEL BRISEL_RIG ARTIFACT_DIR
set -euo pipefail
brisel="$(realpath "$1")"
rig="$(realpath "$2")"
artifacts="$(realpath -m "$3")"
sources="$(cd "$(dirname "$0")/../.." && pwd)"

# A private virtual display of a known size, with no other windows on it.
if [ -z "${BRISEL_E2E_INNER:-}" ]; then
    export BRISEL_E2E_INNER=1
    exec "$(dirname "$0")/on_xvfb.sh" "$0" "$@"
fi

export QT_QPA_PLATFORM=xcb
shots="$artifacts/e2e"
rm -rf "$shots"
mkdir -p "$shots"
work="$(mktemp -d)"
pid=""
lesson_pid=""
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    if [ -n "$lesson_pid" ]; then kill "$lesson_pid" 2>/dev/null && wait "$lesson_pid" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "---- console (last 40 lines) ----"
    tail -40 "$work/console.txt" 2>/dev/null || true
    exit 1
}
step() { echo "== $*"; }
calc() { awk "BEGIN { printf \"%d\", $1 }"; }
shot() { import -window root "$shots/$1.png" && echo "   screenshot $shots/$1.png"; }
click() {
    xdotool mousemove --sync "$1" "$2"
    sleep 0.15
    xdotool click 1
    sleep 0.3
}
# wait_for SECONDS COMMAND...: polls until the command succeeds; the time counts, not the
# tries, since a try may take seconds (a screenshot compared with a picture).
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}
console_has() { grep -qF -- "$1" "$work/console.txt"; }
# fraction SHOT GEOMETRY FX: the fraction of pixels of a region for which FX holds.
fraction() {
    convert "$shots/$1.png" -crop "$2" +repage -resize 50% -fx "$3 ? 1 : 0" -format "%[fx:mean]" info:
}
# difference A B GEOMETRY: RMSE between the same region of two screenshots (0 … 1).
difference() {
    convert "$shots/$1.png" -crop "$3" +repage "$work/a.png"
    convert "$shots/$2.png" -crop "$3" +repage "$work/b.png"
    { compare -metric RMSE "$work/a.png" "$work/b.png" null: 2>&1 || true; } | sed 's/.*(\(.*\))/\1/'
}
above() { awk "BEGIN { exit !($1 > $2) }"; }
# likeness SHOT GEOMETRY PICTURE [MAGICK_OP...]: normalised cross-correlation (-1 … 1)
# between a region of a screenshot and a picture scaled to it, both in grey and blurred
# so that thin strokes a pixel apart still meet (a board 2 % off scores about 0.25).
likeness() {
    local shot="$1" geometry="$2" picture="$3"
    shift 3
    convert "$shots/$shot.png" -crop "$geometry" +repage -colorspace Gray -blur 0x3 "$work/a.png"
    convert "$picture" "$@" -resize "${geometry%%+*}!" -colorspace Gray -blur 0x3 "$work/b.png"
    { compare -metric NCC "$work/a.png" "$work/b.png" null: 2>&1 || true; } | sed 's/ .*//'
}
# shows SHOT GEOMETRY PICTURE [MAGICK_OP...]: the region correlates with the picture, and
# far better than with the picture mirrored; sets straight and mirrored.
shows() {
    straight=$(likeness "$@")
    mirrored=$(likeness "$@" -flop)
    above "$straight" 0.6 && above "$straight" "$(awk "BEGIN { print $mirrored + 0.3 }")"
}
# launch FOLDER HOME [ARGS...]: the program in a new run folder with the calibration
# folder of $calib, its console in console.txt.
launch() {
    mkdir -p "$work/$1" "$work/$2"
    chmod 700 "$work/$2"
    cp -r "$calib" "$work/$1/"
    cd "$work/$1"
    HOME="$work/$2" XDG_CONFIG_HOME="$work/$2/.config" XDG_RUNTIME_DIR="$work/$2" \
        "$brisel" "${@:3}" >"$work/console.txt" 2>&1 &
    pid=$!
}

step "generating the rig scene"
# The lesson video takes the rig most of a minute: it is made meanwhile, while the first
# steps mostly wait on the window. A lesson in real time at 10 frames a second, which
# even the sanitizer build keeps up with: someone stands at the board when it starts and
# in front of empty board later.
"$rig" --out "$work/lesson" --board white --lesson --brief --real-time --fps 10 \
    >"$work/lesson.txt" 2>&1 &
lesson_pid=$!
"$rig" --out "$work/rig" --board white --frames 8 --still 8 >"$work/rig.txt" 2>&1 ||
    { cat "$work/rig.txt"; fail "the rig did not run"; }
first="$work/rig/scene_white/f_0000.png"
[ -f "$first" ] || fail "the rig wrote no frames"
read -r -a truth < <(tr ',' ' ' <"$work/rig/truth_white/corners.txt")
[ "${#truth[@]}" -eq 8 ] || fail "unexpected truth corners"

step "starting the program on the replay camera"
calib="$work/rig/calib_data" BRISEL_REPLAY="$work/rig/scene_white/f_%04d.png" launch run home
main_window() { window="$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -1)"; [ -n "$window" ]; }
wait_for 30 main_window || fail "no window appeared"
wait_for 60 console_has "in qml:  true" || fail "no camera picture reached the live view"
sleep 2
eval "$(xdotool getwindowgeometry --shell "$window")"
read -r SW SH < <(xdotool getdisplaygeometry)
W=$WIDTH H=$HEIGHT X0=$X Y0=$Y
echo "   window ${W}x${H} at ${X0},${Y0} on a ${SW}x${SH} screen"
[ "$W" -eq "$(calc "$SW * 0.7")" ] || fail "window width $W"
[ "$H" -eq "$(calc "$SW * 0.7 * 9 / 16")" ] || fail "window height $H"
shot 01_live

# Geometry of the main window, in screen pixels.
top=$(calc "$H * 0.037")
bar_h=$(awk "BEGIN { print $H * 0.08796 }")
bar_mid=$(calc "$Y0 + $H - $bar_h / 2")
live_geometry="$(calc "$W * 0.5")x$(calc "$H - $top - $bar_h - 10")+$(calc "$X0 + $W * 0.47")+$(calc "$Y0 + $top + 5")"
PW=$(awk "BEGIN { print $W * 0.4336 }")
PH=$(awk "BEGIN { a = $H * 0.56527; b = $PW * 0.7333; print (a > b ? b : a) }")
PX=$(awk "BEGIN { print $X0 + $W * 0.0078125 }")
PY=$(awk "BEGIN { print $Y0 + $H - $PH - $bar_h }")
settings_x=$(calc "$PX + $H * 0.074 / 2")
capture_x=$(calc "$X0 + $W / 2")
recalib_x=$(calc "$PX + $PW * (0.072 + 0.2288 / 2)")
recalib_y=$(calc "$PY + $PH * (0.85749 + 0.10483 / 2)")
# The dialogue windows: the reference size, centred on the screen.
BX=$(((SW - W) / 2))
BY=$(((SH - H) / 2))
picture_h=$(awk "BEGIN { print $H - $top - $H * 0.2097 }")
white_x=$(calc "$BX + $W * (0.2036 + 0.1875 + 0.017385416 + 0.1875 / 2)")
white_y=$(calc "$BY + $top + $picture_h / 2")
button_x=$(calc "$BX + $W * (0.815625 + 0.153125 / 2)")
button_y=$(calc "$BY + $H * (0.8 + 0.1019 + 0.07864 / 2)")

step "the live view shows the camera picture, not the placeholder"
red='(r > 0.75 && g < 0.5 && b < 0.4)'
above 0.002 "$(fraction 01_live "$live_geometry" "$red")" && fail "the placeholder is shown at start"

step "calibration: white board, the rig's four true corners, Calibrate"
# The settings panel's place in the window, to see it open and close.
panel="$(calc "$PW")x$(calc "$PH")+$(calc "$PX")+$(calc "$PY")"
click "$settings_x" "$bar_mid"
wait_for 5 console_has "cam connected in ui:  true" || fail "the settings button did not react"
sleep 0.5
shot 02_settings
opened=$(difference 01_live 02_settings "$panel")
echo "   settings panel region, closed vs open: RMSE $opened"
above "$opened" 0.05 || fail "the settings panel did not open"
click "$recalib_x" "$recalib_y"
sleep 1
click "$white_x" "$white_y"
sleep 0.5
shot 03_board_choice
click "$button_x" "$button_y"
sleep 3
shot 04_calibration_picture
for n in 0 1 2 3; do
    cx=$(calc "$BX + ${truth[$((2 * n))]} * $W")
    cy=$(calc "$BY + $top + ${truth[$((2 * n + 1))]} * $picture_h")
    click "$cx" "$cy"
done
wait_for 60 test -f calib_data/calib_perspective.xml || fail "the fourth corner did not calibrate"
wait_for 10 test -f calib_data/board_corners.xml || fail "no board_corners.xml"
shot 05_corners
# The corners the dialogue sent, as fractions of the calibration picture, against the
# rig's truth: within 1 % of the picture's size.
for n in 1 2 3 4; do
    read -r fx fy < <(grep -a "^p$n : " "$work/console.txt" | tail -1 | cut -d' ' -f3-4)
    tx=${truth[$((2 * n - 2))]} ty=${truth[$((2 * n - 1))]}
    echo "   corner $n: sent $fx $fy, true $tx $ty"
    awk -v a="$fx" -v b="$fy" -v c="$tx" -v d="$ty" \
        'BEGIN { x = a - c; y = b - d; exit !(x < 0.01 && x > -0.01 && y < 0.01 && y > -0.01) }' ||
        fail "corner $n lies more than 1 % of the picture from the rig's true corner"
done
click "$button_x" "$button_y"
wait_for 10 console_has "VideoStreamer.boardColor:  1" || fail "Calibrate did not send the board colour"
grep -q "<BoardColor>1</BoardColor>" calib_data/board_color.xml || fail "board_color.xml does not hold 1"
# The straightened board fills the view's height, centred: against the rig's true board
# it must correlate, and far better than against the same board mirrored. The first
# pictures after calibrating may still come from before the rebuild.
view_h=$(awk "BEGIN { print $H - $top - $bar_h }")
board_w=$(awk "BEGIN { w = $view_h * 1920 / 1280; print (w > $W ? $W : w) }")
board_h=$(awk "BEGIN { print $board_w * 1280 / 1920 }")
inset=0.04
board_view="$(calc "$board_w * (1 - 2 * $inset)")x$(calc "$board_h * (1 - 2 * $inset)")+$(calc "$X0 + ($W - $board_w) / 2 + $board_w * $inset")+$(calc "$Y0 + $top + ($view_h - $board_h) / 2 + $board_h * $inset")"
keep="$(awk "BEGIN { print 100 * (1 - 2 * $inset) }")%"
crop_truth=(-gravity center -crop "${keep}x${keep}+0+0" +repage)
true_board="$work/rig/truth_white/board.png"
straightened() {
    shot 06_calibrated >/dev/null
    shows 06_calibrated "$board_view" "$true_board" "${crop_truth[@]}"
}
wait_for 30 straightened || true
echo "   live view against the true board: NCC $straight (mirrored: $mirrored)"
above 0.002 "$(fraction 06_calibrated "$live_geometry" "$red")" && fail "the placeholder is shown after calibrating"
straightened || fail "the live view does not show the straightened board"

step "capture a snapshot"
click "$capture_x" "$bar_mid"
# The toast fades in between frames of the busy GUI thread.
sleep 1.5
shot 10_capture_toast
jpeg() { ls "$work/home/Documents/Brisel/"Brisel_*.jp*g >/dev/null 2>&1; }
wait_for 10 jpeg || fail "no snapshot in Documents/Brisel"
echo "   $(ls "$work/home/Documents/Brisel/")"

step "unplug: the placeholder appears"
mv "$first" "$first.unplugged"
wait_for 20 console_has "in qml:  false" || fail "the program did not notice the unplug"
sleep 2
shot 11_unplugged
placeholder_text="$(calc "$W * 0.6")x$(calc "$H * 0.25")+$(calc "$X0 + $W * 0.2")+$(calc "$Y0 + $H * 0.3")"
red_part=$(fraction 11_unplugged "$placeholder_text" "$red")
white_part=$(fraction 11_unplugged "$placeholder_text" "(r > 0.9 && g > 0.9 && b > 0.9)")
echo "   placeholder text region: red $red_part, white $white_part"
above "$red_part" 0.004 || fail "no red placeholder text after the unplug"
above "$white_part" 0.8 || fail "no white placeholder after the unplug"

step "close"
click "$(calc "$X0 + $W - 30")" "$(calc "$Y0 + $top / 2")"
exited() { ! kill -0 "$pid" 2>/dev/null; }
wait_for 15 exited || fail "the close button did not end the program"
status=0
wait "$pid" || status=$?
pid=""
# Under the sanitizers: memory errors and undefined behaviour fail the run, and so does
# a leak with a frame in our sources. Leaks whose frames all lie in libraries unloaded
# before exit (the GL driver) cannot be attributed or suppressed; they are only noted.
console="$work/console.txt"
grep -qE "ERROR: AddressSanitizer|runtime error:" "$console" && fail "the sanitizer reported an error"
if grep -q "ERROR: LeakSanitizer" "$console"; then
    sed -n '/ERROR: LeakSanitizer/,$p' "$console" | grep -qF "$sources/" &&
        fail "a leak in the program's own code"
    echo "   note: $(grep "SUMMARY: AddressSanitizer" "$console"), none in the program's own code"
    # LeakSanitizer exits with 1 under AddressSanitizer (23 when used on its own)
    if [ "$status" -eq 1 ] || [ "$status" -eq 23 ]; then status=0; fi
fi
[ "$status" -eq 0 ] || fail "the program exited with status $status"
console_has "close clicked" || fail "no close line"

step "a lesson replayed: the board is saved by itself before it is wiped, with the lesson PDF"
wait "$lesson_pid" || { cat "$work/lesson.txt"; fail "the rig did not write the lesson"; }
lesson_pid=""
calib="$work/run/calib_data" BRISEL_REPLAY="$work/lesson/lesson_white.avi" \
    launch run2 home2 --share --share-address 127.0.0.1
saved="$work/home2/Documents/Brisel"
auto_saved() { [ "$(ls "$saved"/Brisel_auto_*.jpg 2>/dev/null | wc -l)" -ge "$1" ]; }

step "shared: the QR code on the window reads the printed address"
wait_for 30 console_has "share: http://127.0.0.1:" || fail "no share address printed"
url="$(grep -a -m1 '^share: http' "$work/console.txt" | cut -d' ' -f2)"
wait_for 30 main_window || fail "no window appeared"
sleep 2
shot 12_share_card
decoded="$(zbarimg --raw -q "$shots/12_share_card.png" 2>/dev/null || true)"
echo "   printed $url, QR code $decoded"
[ "$decoded" = "$url" ] || fail "the QR code does not read the printed address"
grep -q "share on" log.txt || fail "no share on line in log.txt"
grep -q "key=" log.txt && fail "log.txt holds the key"

step "shared: Chromium shows the straightened board, then the board saved before the wipe"
# page NAME WIDTH HEIGHT [CHROMIUM_ARGS...]: a screenshot, or the DOM with --dump-dom.
page() {
    local name="$1" size="$2,$3"
    shift 3
    chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
        --window-size="$size" --virtual-time-budget=4000 "$@" --screenshot="$shots/$name.png" "$url" \
        >"$work/chromium.txt" 2>&1
}
ink="$work/lesson/truth_lesson_white/ink_0.png"
# The board fills the width of a 960-pixel page below its title line.
page_board() {
    convert "$shots/$1.png" -crop 960x690+0+30 +repage -bordercolor "#222222" -border 1 -fuzz 5% \
        -trim +repage "$work/page_board.png"
    convert "$work/page_board.png" -format "%wx%h+0+0" info:
}
shown=""
for n in $(seq 1 60); do
    auto_saved 1 && break
    page "14_page_$n" 960 720
    geometry="$(page_board "14_page_$n")"
    cp "$work/page_board.png" "$shots/14_page_${n}_board.png"
    if shows "14_page_${n}_board" "$geometry" "$ink" -negate; then
        shown="14_page_$n"
        break
    fi
    sleep 1
done
echo "   page board against the written true board: NCC ${straight:-none} (mirrored: ${mirrored:-none})"
[ -n "$shown" ] || fail "the page never showed the straightened board before the wipe"
wait_for 150 auto_saved 1 || fail "no board was saved before the wipe"
sleep 2
page 15_page_laptop 1280 800
page 15_page_phone 412 915
page 15_page_dom 960 720 --dump-dom
grep -q 'saved/[0-9]*\.jpg' "$work/chromium.txt" || fail "the page does not list the saved board"
sleep 1
shot 12_board_saved_toast
console_has "//Brisel//Brisel_auto_" || fail "no file line for the saved board"
lesson_pdf() { ls "$saved"/Brisel_lesson_*.pdf >/dev/null 2>&1; }
wait_for 30 lesson_pdf || fail "no lesson PDF"
pdf="$(ls "$saved"/Brisel_lesson_*.pdf | head -1)"
pages() { pdfinfo "$pdf" 2>/dev/null | awk '/^Pages:/ { print $2 }'; }
pdf_holds_all() { [ "$(pages)" = "$(ls "$saved"/Brisel_*.jpg | wc -l)" ]; }
wait_for 30 pdf_holds_all || fail "the PDF does not hold every saved board"
echo "   $(ls "$saved"), PDF pages: $(pages)"
pdftoppm -r 40 -png -f 1 -l 1 "$pdf" "$shots/13_lesson_pdf_page"
# The first board kept holds the lesson's writing, dark strokes on the white board,
# and nothing of the presenter, whose dark clothes would add far more.
truth=$(convert "$work/lesson/truth_lesson_white/ink_0.png" -format "%[fx:mean]" info:)
first="$(ls "$saved"/Brisel_auto_*.jpg | head -1)"
share=$(convert "$first" -colorspace Gray -fx "u < 0.5 ? 1 : 0" -format "%[fx:mean]" info:)
echo "   dark share of $(basename "$first"): $share, of the truth's ink: $truth"
above "$share" "$truth * 0.8" || fail "the board kept lacks the writing"
above "$truth * 1.5" "$share" || fail "the board kept shows more than writing"
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""
echo "end-to-end run passed"
