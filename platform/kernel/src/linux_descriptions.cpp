/*
 * Descriptions of the Linux kernel's most used parameters, for -d: what
 * each one means and, where it is a choice, what its values do. Linux
 * keeps no descriptions of its own, so the rest have none. Per-interface
 * parameters appear once, with "*" for the interface.
 */
#include <algorithm>
#include <bitset>
#include <cstring>
#include <string_view>

#include "procfs.h"

namespace
{

struct description {
    std::string_view name;
    const char *text;
};

/* Sorted by name in byte order, so that each has its place. */
constexpr description descriptions[] = {
    {"abi.vsyscall32", "Whether 32-bit processes get the vDSO mapped"},
    {"dev.tty.ldisc_autoload",
     "Whether unprivileged users may cause line discipline modules to load"},
    {"fs.aio-max-nr", "Most asynchronous I/O requests that may be in flight system-wide"},
    {"fs.aio-nr", "Asynchronous I/O requests in flight now"},
    {"fs.dentry-state", "Directory cache counters: entries, unused entries, age limit and more"},
    {"fs.file-max", "Most open files the kernel allocates handles for"},
    {"fs.file-nr", "Open file handles: allocated, free and the maximum"},
    {"fs.inode-nr", "Inodes allocated and free"},
    {"fs.inotify.max_queued_events", "Events an inotify instance may queue before it drops them"},
    {"fs.inotify.max_user_instances", "Inotify instances one user may create"},
    {"fs.inotify.max_user_watches", "Inotify watches one user may hold"},
    {"fs.mqueue.msg_default", "Message count of a new POSIX message queue when none is asked for"},
    {"fs.mqueue.msg_max", "Most messages a POSIX message queue may hold"},
    {"fs.mqueue.msgsize_max", "Largest message a POSIX message queue accepts, in bytes"},
    {"fs.mqueue.queues_max", "Most POSIX message queues on the system"},
    {"fs.nr_open", "Most file descriptors one process may have open"},
    {"fs.pipe-max-size", "Largest size an unprivileged user may give a pipe, in bytes"},
    {"fs.protected_fifos", "Limits opening FIFOs not owned by the opener in sticky directories"},
    {"fs.protected_hardlinks", "Refuses hard links to files the user could not read or write"},
    {"fs.protected_regular",
     "Limits opening regular files not owned by the opener in sticky directories"},
    {"fs.protected_symlinks",
     "Refuses following symbolic links owned by others in sticky directories"},
    {"fs.suid_dumpable",
     "Whether set-user-ID programs may dump core: 0 never, 1 always, 2 root-only"},
    {"kernel.core_pattern", "Name or pipe template for core dump files"},
    {"kernel.core_pipe_limit", "Crashing processes whose cores may be piped to helpers at once"},
    {"kernel.core_uses_pid", "Appends the process ID to core file names"},
    {"kernel.ctrl-alt-del", "Whether Ctrl-Alt-Del reboots at once (1) or signals init (0)"},
    {"kernel.dmesg_restrict", "Keeps the kernel log from users without CAP_SYSLOG"},
    {"kernel.domainname", "NIS domain name of this UTS namespace"},
    {"kernel.ftrace_enabled", "Whether the function tracer may run"},
    {"kernel.hostname", "Host name of this UTS namespace"},
    {"kernel.hung_task_timeout_secs",
     "Seconds a task may sleep uninterruptibly before it is reported"},
    {"kernel.kptr_restrict",
     "Hides kernel addresses in /proc and elsewhere: 0 shown, 1 privileged only, 2 never"},
    {"kernel.modules_disabled", "Once set, no module may be loaded or removed until reboot"},
    {"kernel.msgmax", "Largest System V message, in bytes"},
    {"kernel.msgmnb", "Bytes a System V message queue may hold"},
    {"kernel.msgmni", "Most System V message queues"},
    {"kernel.ngroups_max", "Most supplementary groups of a process"},
    {"kernel.nmi_watchdog", "Whether the hard lockup detector runs"},
    {"kernel.ns_last_pid", "Last process ID handed out in this PID namespace"},
    {"kernel.osrelease", "Release of the running kernel"},
    {"kernel.ostype", "Name of the operating system"},
    {"kernel.overflowgid", "Group ID shown where a real one does not fit 16 bits"},
    {"kernel.overflowuid", "User ID shown where a real one does not fit 16 bits"},
    {"kernel.panic", "Seconds to wait before rebooting after a panic; 0 waits forever"},
    {"kernel.panic_on_oops", "Turns every oops into a panic"},
    {"kernel.perf_event_paranoid", "Restricts performance monitoring for unprivileged users"},
    {"kernel.pid_max", "Largest process ID plus one"},
    {"kernel.printk", "Console log levels: current, default message, minimum, boot default"},
    {"kernel.pty.max", "Most pseudo-terminals"},
    {"kernel.pty.nr", "Pseudo-terminals in use"},
    {"kernel.random.boot_id", "A random identifier made once per boot"},
    {"kernel.random.entropy_avail", "Entropy of the input pool, in bits"},
    {"kernel.random.poolsize", "Size of the input entropy pool, in bits"},
    {"kernel.random.uuid", "A new random UUID on every read"},
    {"kernel.randomize_va_space",
     "Address space layout randomization: 0 off, 1 stack and libraries, 2 also the heap"},
    {"kernel.sched_autogroup_enabled", "Groups tasks by session for fairer desktop scheduling"},
    {"kernel.sched_child_runs_first", "Lets a forked child run before its parent"},
    {"kernel.sem", "System V semaphores: per set, system-wide, per call, number of sets"},
    {"kernel.shmall", "Pages of System V shared memory on the system"},
    {"kernel.shmmax", "Largest System V shared memory segment, in bytes"},
    {"kernel.shmmni", "Most System V shared memory segments"},
    {"kernel.soft_watchdog", "Whether the soft lockup detector runs"},
    {"kernel.sysrq", "Which magic SysRq functions the keyboard may invoke"},
    {"kernel.tainted", "Bit mask of the reasons the kernel is tainted"},
    {"kernel.threads-max", "Most threads the kernel will create"},
    {"kernel.unprivileged_bpf_disabled", "Keeps users without privilege from loading BPF programs"},
    {"kernel.unprivileged_userns_clone",
     "Whether users without privilege may create user namespaces"},
    {"kernel.version", "Build number and date of the running kernel"},
    {"kernel.watchdog", "Whether the lockup detectors run"},
    {"kernel.watchdog_thresh", "Seconds without scheduling before a lockup is reported"},
    {"kernel.yama.ptrace_scope", "Who may trace a process: 0 any, 1 ancestors, 2 admin, 3 nobody"},
    {"net.core.bpf_jit_enable", "Compiles BPF programs to machine code"},
    {"net.core.default_qdisc", "Queueing discipline that new network devices get"},
    {"net.core.dev_weight", "Packets a CPU takes from a device per poll"},
    {"net.core.netdev_budget", "Packets handled in one softirq cycle"},
    {"net.core.netdev_max_backlog", "Packets queued on input when the kernel falls behind"},
    {"net.core.optmem_max", "Largest ancillary buffer of a socket, in bytes"},
    {"net.core.rmem_default", "Default receive buffer of a socket, in bytes"},
    {"net.core.rmem_max", "Largest receive buffer a socket may ask for, in bytes"},
    {"net.core.somaxconn", "Longest listen queue a socket may ask for"},
    {"net.core.wmem_default", "Default send buffer of a socket, in bytes"},
    {"net.core.wmem_max", "Largest send buffer a socket may ask for, in bytes"},
    {"net.ipv4.conf.*.accept_redirects", "Accepts ICMP redirects on this interface"},
    {"net.ipv4.conf.*.accept_source_route", "Accepts source-routed packets on this interface"},
    {"net.ipv4.conf.*.arp_announce",
     "Which source address ARP requests on this interface announce"},
    {"net.ipv4.conf.*.arp_ignore", "Which ARP requests this interface answers"},
    {"net.ipv4.conf.*.forwarding", "Forwards IPv4 packets arriving on this interface"},
    {"net.ipv4.conf.*.log_martians", "Logs packets with impossible addresses"},
    {"net.ipv4.conf.*.rp_filter", "Source validation by reverse path: 0 off, 1 strict, 2 loose"},
    {"net.ipv4.conf.*.send_redirects", "Sends ICMP redirects from this interface"},
    {"net.ipv4.icmp_echo_ignore_all", "Ignores every ICMP echo request"},
    {"net.ipv4.icmp_echo_ignore_broadcasts",
     "Ignores ICMP echo requests sent to broadcast addresses"},
    {"net.ipv4.icmp_ratelimit",
     "Smallest gap between ICMP messages of the limited kinds, in milliseconds"},
    {"net.ipv4.ip_default_ttl", "Time to live of outgoing IPv4 packets"},
    {"net.ipv4.ip_forward", "Forwards IPv4 packets between interfaces"},
    {"net.ipv4.ip_local_port_range", "First and last local port for outgoing connections"},
    {"net.ipv4.ip_local_reserved_ports", "Local ports kept out of automatic assignment"},
    {"net.ipv4.ip_nonlocal_bind", "Lets sockets bind to addresses that are not local"},
    {"net.ipv4.ip_unprivileged_port_start", "First port that users without privilege may bind"},
    {"net.ipv4.ping_group_range", "Groups whose members may open ICMP echo sockets"},
    {"net.ipv4.tcp_available_congestion_control", "TCP congestion control algorithms loaded"},
    {"net.ipv4.tcp_congestion_control", "TCP congestion control algorithm of new connections"},
    {"net.ipv4.tcp_ecn", "Explicit congestion notification for TCP: 0 off, 1 on, 2 when asked"},
    {"net.ipv4.tcp_fastopen", "Enables TCP Fast Open for clients and servers (bit mask)"},
    {"net.ipv4.tcp_fin_timeout", "Seconds an orphaned connection stays in FIN-WAIT-2"},
    {"net.ipv4.tcp_keepalive_intvl", "Seconds between TCP keepalive probes"},
    {"net.ipv4.tcp_keepalive_probes",
     "Unanswered TCP keepalive probes before the connection is dropped"},
    {"net.ipv4.tcp_keepalive_time", "Idle seconds before TCP sends the first keepalive probe"},
    {"net.ipv4.tcp_max_syn_backlog", "Half-open TCP connections queued per listener"},
    {"net.ipv4.tcp_max_tw_buckets", "Most TCP connections in TIME-WAIT"},
    {"net.ipv4.tcp_mem", "TCP memory thresholds in pages: low, pressure, high"},
    {"net.ipv4.tcp_mtu_probing",
     "Path MTU discovery at the TCP layer: 0 off, 1 after black holes, 2 always"},
    {"net.ipv4.tcp_rmem", "TCP receive buffer in bytes: minimum, default, maximum"},
    {"net.ipv4.tcp_sack", "Enables selective acknowledgements"},
    {"net.ipv4.tcp_syn_retries", "Times a SYN is sent again before a connect fails"},
    {"net.ipv4.tcp_synack_retries",
     "Times a SYN-ACK is sent again before a half-open connection is dropped"},
    {"net.ipv4.tcp_syncookies", "Answers SYN floods with cookies instead of queue entries"},
    {"net.ipv4.tcp_timestamps", "Enables TCP timestamps"},
    {"net.ipv4.tcp_tw_reuse", "Reuses TIME-WAIT sockets for new outgoing connections when safe"},
    {"net.ipv4.tcp_window_scaling", "Enables TCP window scaling"},
    {"net.ipv4.tcp_wmem", "TCP send buffer in bytes: minimum, default, maximum"},
    {"net.ipv4.udp_mem", "UDP memory thresholds in pages: low, pressure, high"},
    {"net.ipv6.conf.*.accept_ra", "Accepts router advertisements on this interface"},
    {"net.ipv6.conf.*.autoconf", "Configures addresses from router advertisements"},
    {"net.ipv6.conf.*.disable_ipv6", "Switches IPv6 off on this interface"},
    {"net.ipv6.conf.*.forwarding", "Forwards IPv6 packets arriving on this interface"},
    {"net.ipv6.conf.*.hop_limit", "Hop limit of outgoing IPv6 packets"},
    {"net.ipv6.conf.*.mtu", "IPv6 MTU of this interface"},
    {"net.ipv6.conf.*.use_tempaddr",
     "Privacy extensions: 0 off, 1 make temporary addresses, 2 prefer them"},
    {"net.netfilter.nf_conntrack_count", "Connections tracked now"},
    {"net.netfilter.nf_conntrack_max", "Most connections tracked at once"},
    {"net.unix.max_dgram_qlen", "Datagrams a Unix socket may queue"},
    {"user.max_cgroup_namespaces", "Cgroup namespaces one user may create"},
    {"user.max_ipc_namespaces", "IPC namespaces one user may create"},
    {"user.max_mnt_namespaces", "Mount namespaces one user may create"},
    {"user.max_net_namespaces", "Network namespaces one user may create"},
    {"user.max_pid_namespaces", "PID namespaces one user may create"},
    {"user.max_user_namespaces", "User namespaces one user may create"},
    {"user.max_uts_namespaces", "UTS namespaces one user may create"},
    {"vm.admin_reserve_kbytes",
     "Memory kept free for the administrator to recover the system, in KiB"},
    {"vm.compact_memory", "Writing 1 compacts all memory now"},
    {"vm.dirty_background_bytes",
     "Dirty memory at which background writeback starts, in bytes (0: use the ratio)"},
    {"vm.dirty_background_ratio",
     "Dirty memory at which background writeback starts, in percent of available memory"},
    {"vm.dirty_bytes",
     "Dirty memory at which writers must write back themselves, in bytes (0: use the ratio)"},
    {"vm.dirty_expire_centisecs",
     "Age at which dirty data is written back, in hundredths of a second"},
    {"vm.dirty_ratio", "Dirty memory at which writers must write back themselves, in percent"},
    {"vm.dirty_writeback_centisecs",
     "Interval of the writeback threads, in hundredths of a second"},
    {"vm.drop_caches", "Writing 1 frees the page cache, 2 dentries and inodes, 3 both"},
    {"vm.max_map_count", "Most memory mappings of a process"},
    {"vm.min_free_kbytes", "Memory the kernel keeps free, in KiB"},
    {"vm.mmap_min_addr", "Lowest address a process may map"},
    {"vm.nr_hugepages", "Huge pages in the pool"},
    {"vm.overcommit_kbytes", "Commit limit above swap, in KiB (0: use the ratio)"},
    {"vm.overcommit_memory",
     "Memory overcommit policy: 0 heuristic, 1 always, 2 never beyond the limit"},
    {"vm.overcommit_ratio", "Part of memory counted in the commit limit, in percent"},
    {"vm.page-cluster", "Pages read from swap at once, as a power of two"},
    {"vm.panic_on_oom", "Panics instead of killing a process when memory runs out"},
    {"vm.stat_interval", "Seconds between updates of the memory statistics"},
    {"vm.swappiness", "How readily memory is swapped out rather than cache dropped, 0 to 200"},
    {"vm.vfs_cache_pressure", "How readily directory and inode caches are reclaimed"},
    {"vm.watermark_scale_factor",
     "Distance between the memory watermarks, in ten-thousandths of memory"},
    {"vm.zone_reclaim_mode", "Reclaims memory within a NUMA zone before taking it from another"},
};

static_assert(std::is_sorted(std::begin(descriptions), std::end(descriptions),
                             [](const description &a, const description &b) {
                                 return a.name < b.name;
                             }),
              "descriptions must be sorted by name");

/* A few bytes of NAME and its length, folded into a bit of a small set:
 * a tree looks up every parameter once at boot, most have no description,
 * and most are told apart by this alone, without reading every byte. */
size_t quick_key(std::string_view name)
{
    auto byte = [&name](size_t i) { return size_t(static_cast<unsigned char>(name[i])); };
    return (name.size() * 31 + byte(0) * 7 + byte(name.size() / 2) * 131 + byte(name.size() - 1)) %
           4096;
}

const char *find(std::string_view name)
{
    static const std::bitset<4096> maybe = [] {
        std::bitset<4096> keys;
        for (const description &d : descriptions)
            keys.set(quick_key(d.name));
        return keys;
    }();
    if (name.empty() || !maybe[quick_key(name)])
        return nullptr;
    // The few names that pass are found by binary search.
    const description *it =
        std::lower_bound(std::begin(descriptions), std::end(descriptions), name,
                         [](const description &d, std::string_view n) { return d.name < n; });
    return it != std::end(descriptions) && it->name == name ? it->text : nullptr;
}

} // namespace

const char *linux_description(std::string_view name)
{
    if (const char *text = find(name))
        return text;
    // net.ipv4.conf.IFACE.x and net.ipv6.conf.IFACE.x: the interface
    // (or "all", "default") is the fourth component.
    if (name.substr(0, 14) != "net.ipv4.conf." && name.substr(0, 14) != "net.ipv6.conf.")
        return nullptr;
    size_t dot = name.find('.', 14);
    if (dot == std::string_view::npos)
        return nullptr;
    char pattern[256];
    std::string_view rest = name.substr(dot);
    if (14 + 1 + rest.size() > sizeof pattern)
        return nullptr;
    std::memcpy(pattern, name.data(), 14);
    pattern[14] = '*';
    std::memcpy(pattern + 15, rest.data(), rest.size());
    return find(std::string_view(pattern, 15 + rest.size()));
}
