# tavrin.exe under Wine driven as a person would, on the guests' Xvfb
# displays: each action taken once, after the state that shows it can be
# taken (a window mapped, its text painted), every box read by OCR. Source it
# after lib/wine.sh, with
#
#   say TEXT, fail TEXT (ends the script)   the caller's report
#   shots                                   the folder for the pictures
#
#   tavrin_exe_start EXE LOG   starts it; answers the start-up box; $main is
#                              its main window, $tavrin its process
#   pick MENU REGEX            picks the item matching REGEX (a word, or a
#                              line of words) of menu MENU
#   run_test NAME REGEX        TEST pressed, the verdict box ($shots/NAME.png)
#                              read until it matches, answered
#   tavrin_exe_exit            File > Exit, its caution box answered, the
#                              program gone
tavrin_windows() { xdotool search --onlyvisible --classname '^tavrin\.exe$' 2>/dev/null; }

# Waits (deadline $3 s) for a visible window titled exactly $1 that is not
# among the ids in $2; echoes its id. $4 names it in a failure.
wait_window() {
    wine_wait_window "$1" "$2" "$3" $tavrin && return 0
    [ -z "$tavrin" ] || kill -0 "$tavrin" 2>/dev/null || fail "the $4 (caption \"$1\") never came: tavrin.exe ended"
    fail "the $4 (caption \"$1\") never came within $3 s"
}

# Waits (deadline 60 s) until window $1 ($2) is no longer visible.
wait_gone() {
    wine_wait_gone "$1" 60 || fail "the $2 stayed up after it was answered"
}

# Picture of window $1 into $shots/$2.png, read by OCR into $2.txt and, word by
# word with their boxes, $2.tsv (at three times the size, which OCR reads best).
# The picture is the screen cut to the window's frame: a picture asked of the
# window itself sometimes came back as the whole screen.
read_window() {
    local X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)" || fail "the $2 window has no geometry"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$2.png" 2>/dev/null ||
        fail "no picture of the $2 window"
    convert "$shots/$2.png" -resize 300% -colorspace Gray "$shots/$2-ocr.png" 2>/dev/null
    tesseract "$shots/$2-ocr.png" "$shots/$2" txt tsv >/dev/null 2>&1
    sed -i 's/\bOx\([0-9A-F]\)/0x\1/g' "$shots/$2.txt"  # a capital O read for the hex prefix's zero
}

# A second reading of picture $1 for sparse text (a menu of one short item,
# which OCR's reading as a page misses): sharpened, larger, word by word.
read_sparse() {
    convert "$shots/$1.png" -resize 400% -colorspace Gray -threshold 60% "$shots/$1-sparse.png" 2>/dev/null
    tesseract "$shots/$1-sparse.png" "$shots/$1-sparse" --psm 11 txt tsv >/dev/null 2>&1
}

# Reads window $1 ($2) until its text matches the regex $3: a window may be
# mapped before it is painted. Deadline 60 s. Letters are compared without
# their case: OCR reads the small "f" of Wine's dialog face as a capital.
expect_text() {
    local until=$((SECONDS + 60))
    while :; do
        read_window "$1" "$2"
        tr '\n' ' ' <"$shots/$2.txt" | tr -s ' ' | grep -Eiq -- "$3" && return 0
        read_sparse "$2"
        tr '\n' ' ' <"$shots/$2-sparse.txt" | tr -s ' ' | grep -Eiq -- "$3" && return 0
        [ "$SECONDS" -lt "$until" ] || fail "the $2 window says \"$(tr '\n' ' ' <"$shots/$2.txt")\", not /$3/"
        sleep 1
    done
}

# Clicks, once, the first word matching the regex $3 in the last reading $2 of
# window $1, at its centre; when no word does, the first word of the first
# line (its words joined by blanks) that does. A word in a button's frame is
# often missed by the first reading: a second one, for sparse text on a
# sharpened picture, finds it.
click_word() {
    local box X Y
    word_at() {
        awk -F'\t' -v re="$3" -v scale="$2" 'NR > 1 && $12 != "" {
            at = int(($7 + $9 / 2) / scale) " " int(($8 + $10 / 2) / scale)
            if ($12 ~ re) { print at; found = 1; exit }
            k = $3 " " $4 " " $5
            if (k in line) line[k] = line[k] " " $12
            else { order[++n] = k; line[k] = $12; first[k] = at }
        } END {
            for (i = 1; !found && i <= n; i++) if (line[order[i]] ~ re) { print first[order[i]]; exit }
        }' "$1"
    }
    box=$(word_at "$shots/$2.tsv" 3 "$3")
    if [ -z "$box" ]; then
        read_sparse "$2"
        box=$(word_at "$shots/$2-sparse.tsv" 4 "$3")
    fi
    [ -n "$box" ] || fail "no word /$3/ in the $2 window to click: it says \"$(tr '\n' ' ' <"$shots/$2.txt")\""
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove $((X + ${box% *})) $((Y + ${box#* })) click 1
}

# Answers message box $1 ($2) with one click on its OK button.
answer() {
    wine_click_ok "$1" || fail "the $2 has no geometry"
    wait_gone "$1" "$2"
}

# Waits (deadline 30 s) for a new window of tavrin.exe beside those in $1: a
# popup menu has no title. Echoes its id.
wait_popup() {
    local until=$((SECONDS + 30)) id
    while :; do
        for id in $(tavrin_windows); do
            [[ " $1 " == *" $id "* ]] || { echo "$id"; return 0; }
        done
        [ "$SECONDS" -lt "$until" ] || fail "the $2 menu did not open"
        sleep 0.2
    done
}

# Opens menu $1 of the main window and picks its item matching the regex $2.
pick() {
    local before popup
    before=$(tavrin_windows | tr '\n' ' ')
    click_word "$main" main "^$1[)]?\$"  # OCR may read the bar's first title with a ")"
    popup=$(wait_popup "$before" "$1") || exit 1
    expect_text "$popup" "menu-$1" "${2//[\^\$]/}"
    click_word "$popup" "menu-$1" "$2"
    wait_gone "$popup" "$1 menu"
}

# One test: TEST pressed, the verdict box read and answered.
run_test() {  # name, regex of the verdict
    local box
    read_window "$main" main
    click_word "$main" main '^TEST$'
    box=$(wait_window Tavrin "$main" 60 "verdict box of the $1 case") || exit 1
    expect_text "$box" "$1" "$2"
    # (the box's icon may be read as a sign or two before the text)
    say "$1: the box says \"$(tr '\n' ' ' <"$shots/$1.txt" | tr -s ' ' | sed 's/^[^A-Za-z]*//; s/ *$//')\""
    answer "$box" "verdict box of the $1 case"
}

# Wine's desktop process starts tavrin.exe once it is ready. A program started
# alone would start that process itself and give it 10 s: under emulation it
# needs longer, and the program would then find no window driver.
tavrin_exe_start() {  # EXE, log
    local box
    tavrin=""
    wine explorer.exe /desktop "$(winepath -w "$1")" >"$2" 2>&1 &
    box=$(wait_window Tavrin "" 900 "start-up box") || exit 1
    tavrin=$(xdotool getwindowpid "$box")
    expect_text "$box" start-up 'You must quit any MIDI applications'
    say "start-up box: ok"
    answer "$box" "start-up box"
    main=$(wait_window Tavrin "$box" 60 "main window") || exit 1
    expect_text "$main" main 'TEST'
    say "main window: shown"
}

# File > Exit: the caution, then the program ends (judged by its process
# going: its exit status is lost to a fault of Wine's, see
# lib/wine-midi-guest.sh).
tavrin_exe_exit() {
    local box until
    pick File '^Exit$'
    box=$(wait_window "Caution:" "" 60 "caution box of File > Exit") || exit 1
    expect_text "$box" caution 'You must disconnect the MIDI output cable'
    say "exit: the box says \"$(tr '\n' ' ' <"$shots/caution.txt" | tr -s ' ' | sed 's/^[^A-Za-z]*//; s/ *$//')\""
    answer "$box" "caution box of File > Exit"
    until=$((SECONDS + 60))
    while kill -0 "$tavrin" 2>/dev/null; do
        [ "$SECONDS" -lt "$until" ] || fail "tavrin.exe did not end within 60 s of File > Exit"
        sleep 0.2
    done
    say "exit: tavrin.exe ended"
}
