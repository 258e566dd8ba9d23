# Shared by the shell test scripts: checks that print "ok: WHAT" or end the
# script naming what was not so.
# shellcheck shell=bash

# Ends the script with the message; a script that defines on_failure shows
# its logs there first.
fail() {
    echo "$(basename "$0"): $*" >&2
    if declare -F on_failure >/dev/null; then on_failure || true; fi
    exit 1
}

# Runs the check, or fails naming what it checked.
check() {
    "${@:2}" || fail "not so: $1"
    echo "ok: $1"
}

# Repeats the check until it holds, for at most the given seconds.
wait_until() {
    local deadline=$((SECONDS + $1))
    until "${@:3}"; do
        ((SECONDS < deadline)) || fail "not so after $1 s: $2"
        sleep 0.2
    done
    echo "ok: $2"
}

# Whether the file holds the text from the given line on.
holds() { tail -n "+${3:-1}" "$1" 2>/dev/null | grep -qF -- "$2"; }
expect() { check "$2" holds "$1" "$2"; }
# Waits until the file holds the text: file, text, seconds, from line.
wait_for() { wait_until "$3" "$2" holds "$1" "$2" "${4:-1}"; }
not() { ! "$@"; }
