#!/bin/sh
# The project installed into a temporary prefix, its layout checked, then by MODE:
#   pkg-config  examples/ built with pkg-config's flags alone, run against the
#               installed service on a private bus, which says nothing;
#   cmake       the same, built with find_package(ContactEngine) alone;
#   activation  the installed activation file starts the installed service on
#               the example's first call (the bus runs as contact-engine);
#   unit        `systemd-analyze verify` says nothing about the installed unit,
#               and `systemd-analyze security` rates its exposure at most 2.0.
#
#   installed-test.sh MODE BUILD_DIR SOURCE_DIR LIBDIR C_COMPILER [CFLAG...]
#
# LIBDIR is relative to the prefix; the C flags are the build's (sanitizers).
# Exit status 77: skipped.
set -eu
mode=$1 build_dir=$2 source_dir=$3 libdir=$4 cc=$5
shift 5

. "$source_dir/tests/private-bus.sh"

prefix=$(mktemp -d /tmp/contact-engine-install-XXXXXX)
# The bus and an activated service run as other users: they read the prefix.
chmod 755 "$prefix"
BUS_PID= service_pid=
cleanup() {
    [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
    [ -z "$BUS_PID" ] || kill "$BUS_PID" 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT
fail() { echo "$*" >&2; exit 1; }
skip() { echo "skipped: $*"; exit 77; }

cmake --install "$build_dir" --prefix "$prefix" >/dev/null

# ---- the layout ---------------------------------------------------------------
service="$prefix/libexec/contact-engine-service"
[ -x "$service" ] || fail "no service at $service"
[ ! -e "$prefix/bin/contact-engine-service" ] || fail "the service is installed as a user command"
[ -x "$prefix/bin/contact-engine-tool" ] || fail "no tool in bin/"
for file in share/dbus-1/system.d/com.quorvel.contact.engine.conf \
    share/dbus-1/interfaces/org.yora.contact.xml share/dbus-1/interfaces/com.quorvel.contact.engine.Bulk.xml \
    lib/sysusers.d/contact-engine.conf "$libdir/pkgconfig/contact-engine.pc" \
    "$libdir/cmake/ContactEngine/ContactEngineConfig.cmake"; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done
activation="$prefix/share/dbus-1/system-services/com.quorvel.contact.engine.service"
unit="$prefix/lib/systemd/system/contact-engine.service"
grep -qx "Exec=$service" "$activation" || fail "the activation file does not start $service: $(cat "$activation")"
grep -qx "ExecStart=$service" "$unit" || fail "the unit does not start $service"

# The test bus config beside the installed policy, which it includes: the
# bus's own user reads both there (it may not reach the checkout).
bus_config="$prefix/share/dbus-1/system.d/dbus-test-bus.conf"
cp "$source_dir/data/dbus-test-bus.conf" "$bus_config"

# ---- the example, built as a third party builds it ----------------------------
build_with_pkg_config() {
    PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
    export PKG_CONFIG_PATH
    flags=$(pkg-config --cflags --libs contact-engine)
    echo "pkg-config --cflags --libs contact-engine: $flags"
    # shellcheck disable=SC2086 # the flags are words
    "$cc" -std=c99 -Wall -Wextra -Werror "$@" "$source_dir/examples/contact-example.c" $flags \
        -o "$prefix/contact-example"
    unset PKG_CONFIG_PATH
    # The loader knows no such prefix: LD_LIBRARY_PATH, as for any program built so.
    example="env LD_LIBRARY_PATH=$prefix/$libdir $prefix/contact-example"
}
build_with_cmake() {
    cmake -S "$source_dir/examples" -B "$prefix/example-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror $*" >/dev/null
    cmake --build "$prefix/example-build" >/dev/null
    # The imported target's run path finds the libraries.
    example="$prefix/example-build/contact-example"
}

# Sanitizer reports of the installed service (sanitized build), checked at the end.
reports="$prefix/reports"
mkdir "$reports"
chmod 1777 "$reports"
sanitizer_environment() {
    for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
        eval "value=\${$name:-}"
        echo "$name=${value:+$value:}log_path=$reports/service"
    done
}
check_reports() {
    for report in "$reports"/service.*; do
        [ -e "$report" ] || continue
        echo "sanitizer report of the installed service:"
        cat "$report"
        return 1
    done
}

# Runs the example against a service started here, on a bus that starts without a word.
run_against_started_service() {
    start_private_bus "$prefix/bus" "$bus_config" 2>"$prefix/bus.log"
    mkfifo "$prefix/ready"
    # shellcheck disable=SC2046 # one NAME=value word per line
    env $(sanitizer_environment) "$service" --database "$prefix/contacts.db" >"$prefix/ready" &
    service_pid=$!
    ready=
    read -r ready <"$prefix/ready" || true
    case $ready in
        *ready*) ;;
        *) fail "the installed service did not start" ;;
    esac
    status=0
    $example || status=$?
    kill "$service_pid"
    service_status=0
    wait "$service_pid" || service_status=$?
    service_pid=
    [ "$service_status" -eq 0 ] || { echo "the installed service exited with status $service_status"; status=1; }
    [ ! -s "$prefix/bus.log" ] || { echo "the private bus said:"; cat "$prefix/bus.log"; status=1; }
    check_reports || status=1
    return $status
}

case $mode in
    pkg-config)
        build_with_pkg_config "$@"
        run_against_started_service
        ;;
    cmake)
        build_with_cmake "$@"
        run_against_started_service
        ;;
    activation)
        id -u contact-engine >/dev/null 2>&1 || skip "no contact-engine user (./run deps creates it)"
        [ "$(id -u)" -eq 0 ] || skip "running the bus as contact-engine needs root"
        build_with_pkg_config "$@"
        # The bus starts the service with its identity and environment (STATE_DIRECTORY).
        state="$prefix/state"
        mkdir "$state"
        chown contact-engine: "$state"
        cat >"$prefix/activation-bus.conf" <<CONFIG
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>$bus_config</include>
  <servicedir>$prefix/share/dbus-1/system-services</servicedir>
</busconfig>
CONFIG
        # shellcheck disable=SC2046 # one NAME=value word per line
        start_private_bus "$prefix/bus" "$prefix/activation-bus.conf" contact-engine \
            STATE_DIRECTORY="$state" $(sanitizer_environment)
        dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:com.quorvel.contact.engine | grep -q 'boolean false' ||
            fail "the service runs before any call"
        status=0
        $example || status=$?
        [ -f "$state/contacts.db" ] || fail "the activated service made no database in \$STATE_DIRECTORY"
        # Stopped as systemd would (SIGTERM) and waited for: its sanitizer reports are written.
        service_pid=$(dbus-send --system --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.GetConnectionUnixProcessID string:com.quorvel.contact.engine | awk '{print $2}')
        kill "$service_pid"
        tries=0
        while kill -0 "$service_pid" 2>/dev/null && [ $tries -lt 1200 ]; do
            sleep 0.05
            tries=$((tries + 1))
        done
        service_pid=
        check_reports || status=1
        exit $status
        ;;
    unit)
        command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed"
        # verify reports a setting it cannot parse and goes on: any word fails.
        said=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $said"
        [ -z "$said" ] || fail "systemd-analyze verify: $said"
        systemd-analyze security --offline=true --threshold=20 "$unit" >"$prefix/security" ||
            fail "exposure above 2.0: $(cat "$prefix/security")"
        tail -1 "$prefix/security"
        ;;
    *)
        fail "unknown mode $mode"
        ;;
esac
