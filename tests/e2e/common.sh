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
        if kill -0 "$APP" 2>/dev/null || ! grep -q "open X11 display" app.log; then
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
