# Shared by the demo and the soak script: ending child processes cleanly.
# shellcheck shell=bash

# Alive and not yet reaped: a stopped simulator may linger as a zombie of the
# shell that started it.
alive() {
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [[ -n $state && $state != Z ]]
}

# Ends a child: the signal first, SIGKILL if it is still there after 5 s.
stop_child() {
    local pid=$1 signal=${2:-TERM}
    [[ -n $pid ]] && alive "$pid" || return 0
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        alive "$pid" || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
