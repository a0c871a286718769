# Sourced by ./run and the install tests (POSIX sh).
#
#   start_private_bus DIR CONFIG [USER] [NAME=value...]
#
# Starts dbus-daemon from CONFIG on DIR/system_bus_socket with the NAME=value
# pairs in its environment (an activated service inherits them); sets BUS_PID
# and BUS_ADDRESS, exports DBUS_SYSTEM_BUS_ADDRESS.  Started by root, it runs
# as USER, by default messagebus (else nobody), as a system bus does.
start_private_bus() {
    bus_dir=$1 bus_config=$2 bus_user=${3:-}
    shift 2
    [ $# -eq 0 ] || shift
    if [ -z "$bus_user" ] && [ "$(id -u)" -eq 0 ]; then
        for candidate in messagebus nobody; do
            if id -u "$candidate" >/dev/null 2>&1; then
                bus_user=$candidate
                break
            fi
        done
    fi
    mkdir -p "$bus_dir"
    BUS_ADDRESS="unix:path=$bus_dir/system_bus_socket"
    if [ -n "$bus_user" ] && [ "$(id -u)" -eq 0 ]; then
        chown "$bus_user:$(id -g "$bus_user")" "$bus_dir"
        set -- "$@" setpriv --reuid="$bus_user" --regid="$(id -g "$bus_user")" --clear-groups
    fi
    env "$@" dbus-daemon --nofork --nopidfile --config-file="$bus_config" --address="$BUS_ADDRESS" &
    BUS_PID=$!
    bus_tries=0
    while [ ! -S "$bus_dir/system_bus_socket" ] && [ $bus_tries -lt 400 ]; do
        sleep 0.05
        bus_tries=$((bus_tries + 1))
    done
    export DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS"
}
