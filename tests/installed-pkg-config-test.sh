#!/bin/sh
# Installs the build into a temporary prefix, as a third party would, builds
# tests/installed-client.c there with nothing but pkg-config's flags, and runs
# it against the installed service on a private bus.
#
#   installed-pkg-config-test.sh BUILD_DIR SOURCE_DIR LIBDIR C_COMPILER [CFLAG...]
#
# LIBDIR is the install's library directory relative to the prefix; the
# C flags are those every target of the build gets (the sanitizers, say).
set -eu
build_dir=$1 source_dir=$2 libdir=$3 cc=$4
shift 4

prefix=$(mktemp -d /tmp/contact-engine-install-XXXXXX)
bus_pid= service_pid=
cleanup() {
    [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
    [ -z "$bus_pid" ] || kill "$bus_pid" 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs contact-engine)
echo "pkg-config --cflags --libs contact-engine: $flags"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c99 -Wall -Wextra -Werror "$@" "$source_dir/tests/installed-client.c" $flags -o "$prefix/installed-client"

# A private system bus, and the installed service on a fresh database.
bus_address="unix:path=$prefix/system_bus_socket"
dbus-daemon --nofork --nopidfile --config-file="$source_dir/data/dbus-test-bus.conf" --address="$bus_address" &
bus_pid=$!
tries=0
while [ ! -S "$prefix/system_bus_socket" ] && [ $tries -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
export DBUS_SYSTEM_BUS_ADDRESS="$bus_address"

# The service's sanitizer reports (sanitized build) go to files checked below.
mkfifo "$prefix/ready"
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}log_path=$prefix/sanitizer-service" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}log_path=$prefix/sanitizer-service" \
LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}log_path=$prefix/sanitizer-service" \
    "$prefix/bin/contact-engine-service" --database "$prefix/contacts.db" >"$prefix/ready" &
service_pid=$!
ready=
read -r ready <"$prefix/ready" || true
case $ready in
    *ready*) ;;
    *) echo "the installed service did not start"; exit 1 ;;
esac

# The prefix is not one the dynamic loader knows, so the program finds the
# installed libraries through LD_LIBRARY_PATH, as any program run from it.
status=0
LD_LIBRARY_PATH="$prefix/$libdir" "$prefix/installed-client" || status=$?

kill "$service_pid"
service_status=0
wait "$service_pid" || service_status=$?
service_pid=
for report in "$prefix"/sanitizer-service.*; do
    [ -e "$report" ] || continue
    echo "sanitizer report of the installed service:"
    cat "$report"
    status=1
done
if [ "$service_status" -ne 0 ]; then
    echo "the installed service exited with status $service_status"
    status=1
fi
exit "$status"
