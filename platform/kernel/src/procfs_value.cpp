/*
 * Values of the live Linux kernel's parameters. Linux shows every
 * parameter as text: integers in decimal, several of them separated by
 * tabs or blanks, everything else as free text. The text decides the
 * type, since the files say nothing else about it: integers become
 * "long integer" elements (or "unsigned long" when one does not fit a
 * signed 64-bit number, as the kernel's unsigned longs can), and a write
 * turns the elements back into the text that the kernel parses.
 */
#include <sys/sysctl.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "procfs.h"

namespace
{

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

/* Parses the decimal integer at [P, END): an optional minus sign and at
 * least one digit. Sets *NEG and *MAG (the magnitude). Returns false for
 * anything else or a magnitude beyond 64 bits. */
bool parse_integer(const char *p, const char *end, bool *neg, uint64_t *mag)
{
    *neg = p < end && *p == '-';
    if (*neg)
        p++;
    if (p == end)
        return false;
    uint64_t v = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned d = unsigned(*p - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *mag = v;
    return true;
}

void put_string(const char *text, size_t len, std::vector<unsigned char> &bytes)
{
    bytes.assign(text, text + len);
    bytes.push_back(0);
}

} // namespace

void procfs_string(const char *text, size_t len, std::vector<unsigned char> &bytes)
{
    put_string(text, len > 0 && text[len - 1] == '\n' ? len - 1 : len, bytes);
}

uint32_t procfs_parse(const char *text, size_t len, std::vector<unsigned char> &bytes)
{
    // The kernel ends every value with one newline; it is no part of it.
    if (len > 0 && text[len - 1] == '\n')
        len--;
    const char *end = text + len;
    bytes.clear();
    bool any_negative = false, any_large = false;
    for (const char *p = text; p < end;) {
        while (p < end && blank(*p))
            p++;
        if (p == end)
            break;
        const char *q = p;
        while (q < end && !blank(*q))
            q++;
        bool neg;
        uint64_t mag;
        if (!parse_integer(p, q, &neg, &mag) || (neg && mag > uint64_t(INT64_MAX) + 1)) {
            put_string(text, len, bytes);
            return CTLTYPE_STRING;
        }
        any_negative |= neg && mag != 0;
        any_large |= !neg && mag > uint64_t(INT64_MAX);
        uint64_t element = neg ? uint64_t(0) - mag : mag;
        unsigned char raw[sizeof element];
        std::memcpy(raw, &element, sizeof element);
        bytes.insert(bytes.end(), raw, raw + sizeof raw);
        p = q;
    }
    // No number, or numbers that neither signed nor unsigned elements can
    // all hold: the text stays text.
    if (bytes.empty() || (any_negative && any_large)) {
        put_string(text, len, bytes);
        return CTLTYPE_STRING;
    }
    return any_large ? CTLTYPE_ULONG : CTLTYPE_LONG;
}

bool procfs_format(uint32_t type, const unsigned char *bytes, size_t len, std::string &text)
{
    text.clear();
    if (type == CTLTYPE_STRING) {
        text.assign(reinterpret_cast<const char *>(bytes),
                    strnlen(reinterpret_cast<const char *>(bytes), len));
        return true;
    }
    if (len == 0 || len % sizeof(uint64_t))
        return false;
    for (size_t at = 0; at < len; at += sizeof(uint64_t)) {
        uint64_t element;
        std::memcpy(&element, bytes + at, sizeof element);
        char num[24];
        if (type == CTLTYPE_ULONG)
            std::snprintf(num, sizeof num, "%" PRIu64, element);
        else
            std::snprintf(num, sizeof num, "%" PRId64, int64_t(element));
        if (at)
            text += '\t';
        text += num;
    }
    return true;
}

const char *procfs_format_of(uint32_t type)
{
    switch (type) {
    case CTLTYPE_NODE:
        return "N";
    case CTLTYPE_LONG:
        return "L";
    case CTLTYPE_ULONG:
        return "LU";
    default:
        return "A";
    }
}

uint32_t procfs_scope(std::string_view name)
{
    // The parameters of which a namespace other than the initial one owns
    // a copy. A whole prefix matches itself and what lies below it; a
    // partial one any name that starts with it, as the IPC limits
    // (kernel.shmmax, kernel.msgmni, kernel.sem_next_id) share theirs.
    static constexpr struct {
        std::string_view prefix;
        bool whole;
        uint32_t flags;
    } scopes[] = {
        {"net", true, CTLFLAG_VNET | CTLFLAG_PRISON}, // network
        {"kernel.hostname", true, CTLFLAG_PRISON},    // UTS
        {"kernel.domainname", true, CTLFLAG_PRISON},
        {"kernel.shm", false, CTLFLAG_PRISON}, // IPC
        {"kernel.msg", false, CTLFLAG_PRISON},
        {"kernel.sem", false, CTLFLAG_PRISON},
        {"fs.mqueue", true, CTLFLAG_PRISON},
        {"user", true, CTLFLAG_PRISON},               // user namespace limits
        {"kernel.ns_last_pid", true, CTLFLAG_PRISON}, // PID
    };
    for (const auto &s : scopes) {
        if (!name.starts_with(s.prefix))
            continue;
        if (!s.whole || name.size() == s.prefix.size() || name[s.prefix.size()] == '.')
            return s.flags;
    }
    return 0;
}
