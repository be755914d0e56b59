#!/usr/bin/env bash
# Runs a command on a private virtual X display of 1920 x 1080 (Qt Quick needs GL).
# Display numbers are picked at random and retried, since other test runs may be
# starting their own displays at the same moment. The server must not reset when its
# last client leaves: the display check below is such a client, and a program that
# connects during the reset is refused. Usage: on_xvfb.sh COMMAND [ARGS...]
set -u
for _ in 1 2 3; do
    status=0
    xvfb-run -a -n $((200 + RANDOM % 600)) -s "-screen 0 1920x1080x24 +extension GLX -noreset" \
        bash -c 'xdotool getdisplaygeometry >/dev/null 2>&1 || exit 75; exec "$@"' on_xvfb "$@" ||
        status=$?
    [ "$status" -ne 75 ] && exit "$status"
    echo "the virtual display did not answer; trying another one" >&2
done
exit 1
