#!/usr/bin/env bash
# Installs the Debian 12 packages a purpose needs:
#   scripts/install-deps.sh [run|test|cluster|bench|fuzz|package ...]
# run (the default): building and running the client and one server.
# Every other purpose adds what it uses. Only what is missing is installed;
# sudo is used when not root. On a system without dpkg and apt-get (not
# Debian), or with TAVERNLY_SKIP_DEPS=1, it only says what it would install
# and the build goes on with what is there.
#
# Installing starts no system service: PostgreSQL makes no cluster of its
# own, nothing is started during the install, and an HAProxy installed here
# is left disabled. The scripts run throw-away instances of both instead.
set -euo pipefail

run=(build-essential cmake ninja-build pkg-config
     qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libgumbo-dev prometheus-cpp-dev zlib1g-dev
     fonts-liberation fonts-dejavu-core fonts-noto-color-emoji)
servers=(postgresql libqt6sql6-psql haproxy nftables iproute2)
display=(xvfb xauth xdotool xclip x11-utils)

packages=("${run[@]}")
for purpose in "${@:-run}"; do
    case $purpose in
    run) ;;
    test) packages+=("${display[@]}" "${servers[@]}" prometheus) ;; # promtool checks the alert rules
    cluster) packages+=("${servers[@]}") ;;
    bench) packages+=("${display[@]}" "${servers[@]}" libx11-dev apache2-utils wrk nginx-light chromium) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    package) packages+=(lintian) ;;
    *) echo "usage: $0 [run|test|cluster|bench|fuzz|package ...]" >&2; exit 2 ;;
    esac
done

if [ "${TAVERNLY_SKIP_DEPS:-0}" = 1 ] || ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
    why="TAVERNLY_SKIP_DEPS=1"
    [ "${TAVERNLY_SKIP_DEPS:-0}" = 1 ] || why="not a Debian system"
    echo "install-deps.sh: $why, nothing installed; the build needs (Debian names): ${packages[*]}" >&2
    exit 0
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
as_root() { "${sudo[@]}" "$@"; }

# While installing: services may not start (policy-rc.d answers 101, "not
# allowed"), and a newly installed PostgreSQL creates no main cluster. Both
# notes are removed afterwards; a policy already there is left as it is.
policy=/usr/sbin/policy-rc.d
no_cluster=/etc/postgresql-common/createcluster.d/tavernly-no-main-cluster.conf
own_policy=0
cleanup() {
    [ "$own_policy" -eq 1 ] && as_root rm -f "$policy"
    as_root rm -f "$no_cluster"
}
trap cleanup EXIT
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# scripts/install-deps.sh: no service starts while it installs.\nexit 101\n' |
        as_root tee "$policy" >/dev/null
    as_root chmod 755 "$policy"
    own_policy=1
fi
as_root mkdir -p "$(dirname "$no_cluster")"
echo "create_main_cluster = false" | as_root tee "$no_cluster" >/dev/null

# HAProxy's, nftables' and nginx's own services would start at the next boot; the
# scripts start theirs, so those that appear with this install are left disabled.
has_service() { [ -e "/etc/init.d/$1" ] || [ -e "/lib/systemd/system/$1.service" ]; }
new_services=()
for service in haproxy nftables nginx; do
    has_service "$service" || new_services+=("$service")
done

echo "Installing: ${missing[*]}"
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"

for service in "${new_services[@]}"; do
    has_service "$service" || continue
    as_root deb-systemd-helper disable "$service.service" >/dev/null 2>&1 || true
    as_root update-rc.d "$service" disable >/dev/null 2>&1 || true
    echo "The $service system service is left disabled (the scripts run their own)."
done
