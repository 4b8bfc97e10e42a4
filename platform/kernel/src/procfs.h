/*
 * The pieces of the live Linux kernel's store (procfs_store.cpp) that do
 * not touch the file system: how a parameter's text becomes a typed value
 * and back, which parameters belong to a namespace, and the descriptions
 * of the well-known ones. Names here are the displayed dotted names, with
 * a "." inside a path component shown as "/".
 */
#ifndef TUNEX_KERNEL_PROCFS_H
#define TUNEX_KERNEL_PROCFS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/* Types a parameter's TEXT (LEN bytes, as read from its file) and fills
 * BYTES with the value in that type: one or more whitespace-separated
 * integers become 64-bit elements (CTLTYPE_LONG, or CTLTYPE_ULONG when one
 * lies above the signed range), anything else a NUL-terminated string
 * without the final newline (CTLTYPE_STRING). Returns the type code. */
uint32_t procfs_parse(const char *text, size_t len, std::vector<unsigned char> &bytes);

/* Fills BYTES with TEXT (LEN bytes) as a string value: without its final
 * newline, with a NUL. */
void procfs_string(const char *text, size_t len, std::vector<unsigned char> &bytes);

/* Turns a value of TYPE written through sysctl(3) back into the text the
 * kernel expects: integers joined by tabs, a string up to its first NUL.
 * Returns false when LEN bytes are no whole value of that type. */
bool procfs_format(uint32_t type, const unsigned char *bytes, size_t len, std::string &text);

/* The format string that goes with a type code of procfs_parse. */
const char *procfs_format_of(uint32_t type);

/* The namespace flags of parameter NAME: CTLFLAG_VNET for the network
 * namespace's, CTLFLAG_PRISON for every one that a container's own
 * namespaces (network, UTS, IPC, user, PID) let it change. */
uint32_t procfs_scope(std::string_view name);

/* A short description of parameter NAME in its own words, or null for a
 * parameter without one. Per-interface names (net.ipv4.conf.eth0.x) share
 * the description of their pattern with "*" for the interface. */
const char *linux_description(std::string_view name);

#endif
