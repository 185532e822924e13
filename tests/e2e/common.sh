# Shared by the end-to-end scripts: a scratch working directory holding the generated
# assets, and a started program that is always stopped on exit.

# make_workdir: creates a temporary directory with links to every generated asset and
# enters it.
make_workdir() {
    WORK=$(mktemp -d)
    if [ -n "${VYX_ASSETS_DIR:-}" ] && [ -d "$VYX_ASSETS_DIR" ]; then
        for f in "$VYX_ASSETS_DIR"/*; do
            [ -e "$f" ] && ln -s "$f" "$WORK/"
        done
    fi
    cd "$WORK"
}

# start_program BINARY: starts it in the background (output in app.log), sets APP and
# waits until its window has a caption.
start_program() {
    "$1" > app.log 2>&1 &
    APP=$!
    trap 'kill $APP 2>/dev/null || true; cd /; rm -rf "$WORK"' EXIT
    if ! timeout 120 xdotool search --sync --name 'VYX Tracer' > /dev/null; then
        echo "window never appeared"; cat app.log; exit 1
    fi
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
