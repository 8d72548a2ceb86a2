#!/bin/sh
# Runs a command in a network namespace of its own, with only its loopback up: the programs it
# starts listen on the fixed ports (5000-5003, 8080, 8765) without meeting any other program on
# them. As root no user namespace is made, so that the command keeps the capabilities it has
# (real-time scheduling, for one); otherwise a user namespace makes the network namespace.
#
# The command also runs as a session of its own. The scheduler shares the CPU between sessions
# (autogroup) before it shares it between their processes, so a build started from the same shell
# as the tests cannot crowd the robot's programs: beside a two-job build in the same session, the
# bytes a simulated camera wrote to the pseudo-terminal were held in the kernel's hand-off for
# over half a second in about one frame dump in twenty, and Halvoran gave the dump up, as it must
# after half a second of silence; as a session of its own, in none of 126.
namespaces=-n
[ "$(id -u)" = 0 ] || namespaces=-rn
exec unshare "$namespaces" setsid --wait sh -c 'ip link set lo up && exec "$@"' own_network "$@"
