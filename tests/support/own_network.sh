#!/bin/sh
# Runs a command in a network namespace of its own, with only its loopback up: the programs it
# starts listen on the fixed ports (5000-5003, 8080, 8765) without meeting any other program on
# them, so that such tests run side by side. As root no user namespace is made, so that the
# command keeps the capabilities it has (real-time scheduling, for one).
#
# The command also runs as a session of its own. The scheduler shares the CPU between sessions
# (autogroup) before it shares it between their processes, so a build started from the same shell
# as the tests cannot crowd the robot's programs: beside a two-job build in the same session, the
# bytes a simulated camera wrote to the pseudo-terminal were held in the kernel's hand-off for
# over half a second in about one frame dump in twenty, and Halvoran gave the dump up, as it must
# after half a second of silence; as a session of its own, in none of 126.
if [ "$(id -u)" = 0 ]; then
    exec unshare -n setsid --wait sh -c 'ip link set lo up && exec "$@"' own_network "$@"
fi
exec unshare -rn setsid --wait sh -c 'ip link set lo up && exec "$@"' own_network "$@"
