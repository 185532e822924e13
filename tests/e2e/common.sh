# Shared by the end-to-end scripts: a scratch working directory holding the generated
# assets, and a started program that is always stopped on exit.

# make_workdir: creates a temporary directory with links to every generated asset and
# enters it. On exit, however the script ends, the program is stopped and the directory
# removed.
make_workdir() {
    WORK=$(mktemp -d)
    trap 'kill ${APP:-} 2>/dev/null || true; cd /; rm -rf "$WORK"' EXIT
    trap 'exit 1' INT TERM HUP
    if [ -n "${VYX_ASSETS_DIR:-}" ] && [ -d "$VYX_ASSETS_DIR" ]; then
        for f in "$VYX_ASSETS_DIR"/*; do
            [ -e "$f" ] && ln -s "$f" "$WORK/"
        done
    fi
    cd "$WORK"
}

# start_program BINARY [ARGUMENT...]: starts it in the background (output in app.log), sets APP and
# waits until its window has a caption. A freshly started X server sometimes refuses the
# very first client; a program that ends before its window appears because it could not
# reach the display is started again, a few times, after a pause.
start_program() {
    local attempt
    for attempt in 1 2 3 4 5; do
        "$@" > app.log 2>&1 &
        APP=$!
        local deadline=$((SECONDS + 120))
        while [ $SECONDS -lt $deadline ]; do
            if xdotool search --name 'VYX Tracer' > /dev/null 2>&1; then
                return 0
            fi
            kill -0 "$APP" 2>/dev/null || break
            sleep 0.2
        done
        if kill -0 "$APP" 2>/dev/null || ! grep -q -E "open X11 display|No available video device" app.log; then
            break
        fi
        echo "attempt $attempt: the display refused the program; retrying"
        sleep 1
    done
    echo "window never appeared"; cat app.log; exit 1
}

# wait_exit SECONDS: waits for the program to end; prints and returns its status.
wait_exit() {
    local deadline=$((SECONDS + $1))
    while kill -0 "$APP" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
    if kill -0 "$APP" 2>/dev/null; then
        echo "program still running after $1 s"; cat app.log; return 1
    fi
    local rc=0
    wait "$APP" || rc=$?
    return $rc
}

# The helpers below serve the scripts that look at the window; HERE is the scripts' folder.

# image COMMAND ...: window_image.py, which reads window dumps and screenshots.
image() { python3 "$HERE/window_image.py" "$@"; }

# fail MESSAGE: prints it and the program's log, and ends the script with status 1.
fail() {
    echo "FAILED: $*"; cat app.log
    # VYX_E2E_KEEP=DIR keeps the window dumps of a failed run for a look.
    [ -n "${VYX_E2E_KEEP:-}" ] && mkdir -p "$VYX_E2E_KEEP" && cp ./*.xwd "$VYX_E2E_KEEP"/ 2>/dev/null
    exit 1
}

# start_with_assets PROGRAM [ARGUMENT...]: a working directory of the generated assets,
# the program started in it, and WID, WIDTH, HEIGHT set to its window (find_window).
start_with_assets() {
    make_workdir
    [ -e venus.obj ] || fail "no generated assets in ${VYX_ASSETS_DIR:-(unset)}"
    start_program "$@"
    find_window
}

# quit_cleanly: Escape must end the program within a minute with status 0, and nothing in
# its log may say that something could not be done.
quit_cleanly() {
    xdotool key Escape
    local rc=0
    wait_exit 60 || rc=$?
    [ "$rc" -eq 0 ] || fail "exit status $rc"
    if grep -q "cannot" app.log; then fail "the program reported a problem"; fi
}

# find_window: sets WID to the program's window and WIDTH, HEIGHT to its size.
find_window() {
    WID=$(xdotool search --name 'VYX Tracer' | head -1)
    eval "$(xdotool getwindowgeometry --shell "$WID")"
    echo "window $WID: ${WIDTH}x${HEIGHT}"
}

# wait_frames N: waits until N more frames have been presented. Every frame sets the
# caption with its frame rate, so a caption change marks a new frame (two frames with the
# same text only make the wait longer).
wait_frames() {
    local left=$1 last now deadline=$((SECONDS + 120))
    last=$(xdotool getwindowname "$WID")
    while [ "$left" -gt 0 ]; do
        kill -0 "$APP" 2>/dev/null || fail "the program ended"
        [ $SECONDS -lt $deadline ] || fail "no new frame within 120 s"
        sleep 0.05
        now=$(xdotool getwindowname "$WID")
        if [ "$now" != "$last" ]; then
            left=$((left - 1))
            last=$now
        fi
    done
}
# until_frame WHAT COMMAND...: runs COMMAND, and again after each new frame, until it
# succeeds; fails with WHAT when it has not within 120 s, adding what COMMAND last stored
# in SEEN. The tests wait on what they look for, never for a fixed time: a loaded
# machine only makes the wait longer.
until_frame() {
    local what=$1 deadline=$((SECONDS + 120))
    shift
    SEEN=
    until "$@"; do
        [ $SECONDS -lt $deadline ] || fail "$what within 120 s${SEEN:+ ($SEEN)}"
        wait_frames 1
    done
}
# settled: true when the picture below the overlay is the same three frames later (fewer
# than 1 % of its pixels differ), as it is once the exposure has adapted; for until_frame.
settled() {
    shot settle1.xwd
    wait_frames 3
    shot settle2.xwd
    SEEN="$(image diff settle1.xwd settle2.xwd 0 120 "$WIDTH" "$HEIGHT") pixels changed"
    [ "${SEEN% pixels*}" -lt $((WIDTH * HEIGHT / 100)) ]
}
# keys K...: presses each key; the frame after next has handled them all.
keys() {
    for k in "$@"; do xdotool key "$k"; done
    wait_frames 3
}
# shot FILE: dumps the window as XWD.
shot() { xwd -id "$WID" -silent > "$1"; }
