#!/bin/sh
# Runs a command in a network namespace of its own, with only its loopback up: the programs it
# starts listen on the fixed ports (5000-5003, 8080, 8765) without meeting any other program on
# them, so that such tests run side by side. As root no user namespace is made, so that the
# command keeps the capabilities it has (real-time scheduling, for one).
if [ "$(id -u)" = 0 ]; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' own_network "$@"
fi
exec unshare -rn sh -c 'ip link set lo up && exec "$@"' own_network "$@"
