#!/bin/sh
# -j on network namespaces: tunex -j NAME attaches to the ip-netns NAME and
# changes that namespace's parameters, not the host's. The test makes and
# deletes a namespace of its own; it is skipped where the machine forbids
# namespaces (not root, no ip, or netns creation refused).
#
#   procfs-netns.sh TUNEX
set -eu
tunex=$1
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "network namespaces need root"
command -v ip >/dev/null || skip "no ip (iproute2)"
ns=tunex-test-$$
ip netns add "$ns" 2>/dev/null || skip "ip netns add refused"
out=$(mktemp -d)
trap 'ip netns delete "$ns" 2>/dev/null; rm -rf "$out"' EXIT
# Creating a namespace may work where entering one is forbidden.
ip netns exec "$ns" true 2>/dev/null || skip "entering a network namespace is refused"
chmod 755 "$out"
export MIB_IMAGE=/proc/sys
fail() {
    echo "FAIL: $*"
    exit 1
}
# Runs tunex with the arguments given; stdout, stderr and status in $out.
t() {
    set +e
    "$tunex" "$@" >"$out/stdout" 2>"$out/stderr"
    echo $? >"$out/status"
    set -e
}
expect() { # STATUS STDOUT [STDERR]
    [ "$(cat "$out/status")" = "$1" ] || fail "status $(cat "$out/status"), expected $1"
    [ "$(cat "$out/stdout")" = "$2" ] || fail "stdout '$(cat "$out/stdout")', expected '$2'"
    [ "$(cat "$out/stderr")" = "${3:-}" ] || fail "stderr '$(cat "$out/stderr")', expected '${3:-}'"
}

host=$(cat /proc/sys/net/ipv4/ip_forward)
want=$((1 - host))
jid=$(ls /run/netns | LC_ALL=C sort | grep -nx "$ns" | cut -d: -f1)

# A write in the namespace changes it and leaves the host alone.
t -j "$ns" net.ipv4.ip_forward="$want"
expect 0 "net.ipv4.ip_forward: 0 -> $want"
[ "$(ip netns exec "$ns" cat /proc/sys/net/ipv4/ip_forward)" = "$want" ] || fail "namespace unchanged"
[ "$(cat /proc/sys/net/ipv4/ip_forward)" = "$host" ] || fail "the host changed"
t -j "$ns" net.ipv4.ip_forward
expect 0 "net.ipv4.ip_forward: $want"

# The namespace's own interfaces: only lo is there.
t -j "$ns" -aN net.ipv4.conf
ifaces=$(cut -d. -f4 "$out/stdout" | sort -u | tr '\n' ' ')
[ "$ifaces" = "all default lo " ] || fail "interfaces in the namespace: $ifaces"

# The kernel's own refusal: a port range that ends before it starts.
t -j "$ns" net.ipv4.ip_local_port_range=60000,50000
[ "$(cat "$out/status")" = 1 ] || fail "a reversed port range was accepted"
grep -q "cannot set new value '60000,50000': Invalid argument" "$out/stderr" || fail "$(cat "$out/stderr")"

# Attached to a network namespace only, the host's other parameters stay
# out of reach, though the walk still shows them.
t -j "$ns" kernel.domainname=tunex-test
expect 1 "kernel.domainname: $(cat /proc/sys/kernel/domainname)" \
    "tunex:  cannot set new value 'tunex-test': Operation not permitted"

# -V lists the parameters that belong to the namespace: net.* alone.
t -j "$ns" -aN -V
[ -s "$out/stdout" ] || fail "-V listed nothing"
! grep -qv '^net\.' "$out/stdout" || fail "-V listed $(grep -v '^net\.' "$out/stdout" | head -1)"

# The program's messages for an unknown name and a refused attach.
t -j tunex-no-such-ns kernel.ostype
expect 1 "" "tunex: Error getting 'tunex-no-such-ns' jail ID: No such file or directory"
if id nobody >/dev/null 2>&1 && command -v su >/dev/null; then
    set +e
    su -s /bin/sh nobody -c "MIB_IMAGE=/proc/sys '$tunex' -j '$ns' kernel.ostype" >"$out/stdout" 2>"$out/stderr"
    echo $? >"$out/status"
    set -e
    expect 1 "" "tunex: Cannot attach to jail $jid: Operation not permitted"
fi
echo "ok: -j $ns (jail $jid) reads and writes the namespace only"
