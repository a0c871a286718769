#!/usr/bin/env bash
# Runs the peer's batch add (eds-batch-add) on CARDS.vcf in a private
# session bus, with HOME and the XDG directories in a fresh directory, so
# Evolution Data Server starts from an empty address book and nothing of
# the user's is touched.  Everything it starts runs in one process group
# of its own, ended when the run ends.
#   run-peer.sh EDS_BATCH_ADD CARDS.vcf
set -euo pipefail
client=$1 cards=$2
dir=$(mktemp -d /tmp/contact-engine-peer-XXXXXX)
mkdir -p "$dir/home" "$dir/config" "$dir/data" "$dir/cache" "$dir/runtime"
chmod 700 "$dir/runtime"
cleanup() {
  [[ -n ${group:-} ]] && kill -TERM -- "-$group" 2>/dev/null || true
  [[ -n ${group:-} ]] && wait "$group" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
export HOME=$dir/home XDG_CONFIG_HOME=$dir/config XDG_DATA_HOME=$dir/data XDG_CACHE_HOME=$dir/cache \
  XDG_RUNTIME_DIR=$dir/runtime GSETTINGS_BACKEND=memory
unset DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS
# The bus and the factories it activates share the group that setsid makes.
setsid dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/bus" >/dev/null 2>&1 &
group=$!
for _ in $(seq 200); do [[ -S $dir/bus ]] && break; sleep 0.05; done
DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus" PEER_GROUP=$group timeout 600 "$client" "$cards"
