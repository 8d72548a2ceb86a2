#!/usr/bin/env bash
# Packaging checks: builds the Debian package from a build tree (cpack, without building
# anything), checks its files and control data, unpacks it into a scratch root, runs its
# programs' --version there, follows its documents' links, verifies its systemd units and rates
# their sandbox with systemd-analyze, runs its maintainer scripts on a machine without systemd or
# udev, and runs lintian (errors fail).
#
#   package_test.sh BUILD_DIR VERSION PREFIX "PROGRAM;PROGRAM..."
set -euo pipefail

build="$1" version="$2" prefix="$3"
IFS=';' read -r -a programs <<< "$4"

if [ "$prefix" != /usr ]; then
    echo "SKIP: this build tree installs under $prefix; the package is checked for the prefix /usr"
    echo "      (cmake -DCMAKE_INSTALL_PREFIX=/usr $build)"
    exit 77
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== the package"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" > "$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb="$work/out/halvoran_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { ls "$work/out"; fail "no $(basename "$deb")"; }

echo "== its files"
# Every file with its owner and mode; the web dashboard's files are checked apart (they change
# with the dashboard), as are the directories.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $1, $2, $6 }' | sort > "$work/files"
grep -v ' usr/share/halvoran/web/' "$work/files" > "$work/actual" || true
{
    echo "-rw-r--r-- root/root etc/default/halvoran"
    for p in "${programs[@]}"; do
        echo "-rwxr-xr-x root/root usr/bin/$p"
        echo "-rw-r--r-- root/root usr/share/man/man1/$p.1.gz"
    done
    echo "-rw-r--r-- root/root usr/lib/systemd/system/halvoran.service"
    echo "-rw-r--r-- root/root usr/lib/systemd/system/halvoran-sim.service"
    if [[ " ${programs[*]} " == *" halvoran-bridge "* ]]; then
        echo "-rw-r--r-- root/root usr/lib/systemd/system/halvoran-bridge.service"
    fi
    echo "-rw-r--r-- root/root usr/lib/udev/rules.d/60-halvoran.rules"
    echo "-rw-r--r-- root/root usr/share/doc/halvoran/README.md"
    for doc in bench/README.md bridge/API.md docs/ARCHITECTURE.md docs/COMMANDS.md docs/FOXGLOVE.md \
               docs/INSTALLING.md docs/MENU_MODE.md docs/SECURITY.md docs/SIMULATOR.md \
               docs/dashboard-desktop.png docs/dashboard-phone.png docs/window.png; do
        echo "-rw-r--r-- root/root usr/share/doc/halvoran/$doc"
    done
    echo "-rw-r--r-- root/root usr/share/doc/halvoran/changelog.gz"
    echo "-rw-r--r-- root/root usr/share/doc/halvoran/copyright"
} | sort > "$work/expected"
diff -u "$work/expected" "$work/actual" || fail "the package's files differ from those expected (- expected, + in the package)"
if [[ " ${programs[*]} " == *" halvoran-bridge "* ]]; then
    grep -q ' usr/share/halvoran/web/index.html$' "$work/files" || fail "no web dashboard (usr/share/halvoran/web/index.html)"
fi

echo "== its control data"
[ "$(dpkg-deb -f "$deb" Package)" = halvoran ] || fail "Package: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version: $(dpkg-deb -f "$deb" Version)"
# The dependencies come from the programs' libraries.
depends="$(dpkg-deb -f "$deb" Depends)"
[[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "Depends: $depends"
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/default/halvoran ] ||
    fail "conffiles: $(cat "$work/control/conffiles")"

echo "== unpacked: the programs' versions"
dpkg -x "$deb" "$work/root"
for p in "${programs[@]}"; do
    out="$("$work/root/usr/bin/$p" --version 2>&1)" || fail "$p --version: $out"
    [ "$out" = "$p $version" ] || fail "$p --version says \"$out\", not \"$p $version\""
done

echo "== unpacked: the documents' links"
# Every relative link of the installed README and documents leads to a file the package holds.
python3 -B "$(dirname "$0")/../../tools/check_doc_links.py" "$work/root/usr/share/doc/halvoran" ||
    fail "a document links to a file that the package does not hold"

echo "== unpacked: systemd-analyze verify"
# The units name the programs under /usr/bin; copies name them in the scratch root instead.
mkdir "$work/units"
settings="$(sed -n 's/^EnvironmentFile=-//p' "$work/root/usr/lib/systemd/system/halvoran.service")"
[ "$settings" = /etc/default/halvoran ] || fail "halvoran.service reads its settings from \"$settings\""
for unit in "$work"/root/usr/lib/systemd/system/*.service; do
    sed "s|^\(Exec[A-Za-z]*=[-@+!:]*\)/usr/|\1$work/root/usr/|" "$unit" > "$work/units/$(basename "$unit")"
done
# It warns about a misspelt setting and still succeeds: any message fails the test.
verify_status=0
systemd-analyze verify --man=no "$work"/units/*.service > "$work/verify.log" 2>&1 || verify_status=$?
cat "$work/verify.log"
[ "$verify_status" -eq 0 ] && [ ! -s "$work/verify.log" ] || fail "systemd-analyze verify"
# The sandbox stays: systemd rates each service's exposure from 0 (shut in) to 10 (wide open).
for unit in "$work"/units/*.service; do
    systemd-analyze security --offline=yes --threshold=25 --no-pager "$unit" > "$work/security.log" 2>&1 ||
        { grep -v '✓' "$work/security.log"; fail "$(basename "$unit") is exposed above 2.5"; }
    grep -o 'Overall exposure level for .*' "$work/security.log"
done

echo "== unpacked: the maintainer scripts without systemd or udev, and with tools that fail"
mkdir "$work/failing"
for tool in systemctl udevadm deb-systemd-invoke; do
    printf '#!/bin/sh\nexit 1\n' > "$work/failing/$tool"
    chmod +x "$work/failing/$tool"
done
# The scripts write below DPKG_ROOT (the bridge's token in etc/halvoran), as dpkg --root has them.
for path in /nonexistent "$work/failing:/usr/bin:/bin"; do
    mkdir -p "$work/dpkgroot"
    for run in "postinst configure" "prerm remove" "postrm remove" "postrm purge"; do
        # shellcheck disable=SC2086 # the script and its argument
        env PATH="$path" DPKG_ROOT="$work/dpkgroot" /bin/sh "$work/control/"$run > "$work/script.log" 2>&1 ||
            { cat "$work/script.log"; fail "$run ends with $? (PATH=$path)"; }
        if [ "$run" = "postinst configure" ] && [ "$path" != /nonexistent ]; then
            token_file="$work/dpkgroot/etc/halvoran/bridge-token"
            [ "$(stat -c %a "$token_file")" = 600 ] || fail "the bridge's token can be read by others"
            token="$(cat "$token_file")"
            [[ "$token" =~ ^[0-9a-f]{64}$ ]] || fail "the bridge's token is not 32 bytes in hex: $token"
            grep -q "http://.*:8080/?token=$token" "$work/script.log" || fail "postinst does not print the dashboard's address"
            # An upgrade keeps the token.
            env PATH="$path" DPKG_ROOT="$work/dpkgroot" /bin/sh "$work/control/postinst" configure > /dev/null 2>&1
            [ "$(cat "$token_file")" = "$token" ] || fail "postinst made a new token over the old one"
        fi
    done
    [ ! -e "$work/dpkgroot/etc/halvoran/bridge-token" ] || fail "the token stays after a purge"
done

echo "== lintian"
lintian_status=0
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' || lintian_status=${PIPESTATUS[0]}
[ "$lintian_status" -eq 0 ] || fail "lintian found errors"
echo "OK: $(basename "$deb")"
