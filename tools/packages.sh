# The Debian packages that building, running and testing Halvoran need, and the installation of
# the missing ones. Sourced by run.sh and test.sh.

# Building and running the programs (libboost-dev: Boost.Beast and Asio for halvoran-bridge,
# libssl-dev: its TLS; libzstd-dev: the chunks of the flight recorder's files).
build_packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libzstd-dev
                libcli11-dev nlohmann-json3-dev libedit-dev libncurses-dev libpng-dev libgtk-3-dev
                libboost-dev libssl-dev)
# The tests besides: a display server and its tools for the window, a terminal multiplexer for
# teleop, a font for the window's text, a browser for the web dashboard, ip(8) for the test
# whose network goes away, Python for the check of the libraries' layering, openssl for the
# bridge's self-signed test certificate.
test_packages=(xvfb xdotool x11-utils imagemagick tmux fonts-dejavu-core chromium iproute2 python3 openssl)
# The Debian package: its dependencies (dpkg-shlibdeps, which needs file), and its checks.
package_packages=(dpkg-dev file)
test_packages+=("${package_packages[@]}" lintian systemd)

# install_missing PACKAGE...: apt-get install those not installed yet (with sudo when not root).
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
