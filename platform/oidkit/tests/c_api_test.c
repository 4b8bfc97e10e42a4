/*
 * The headers of the kernel stand-in and of liboidkit are C: this program
 * includes every one of them, compiled as C, and uses the calls the way a
 * C program on FreeBSD would.
 * It runs against the fixture image that MIB_IMAGE names and exits 0 when
 * every answer is the expected one.
 */
#include <errno.h>
#include <jail.h>
#include <libutil.h>
#include <oidkit.h>
#include <stdio.h>
#include <string.h>
#include <sys/jail.h>
#include <sys/oidlens.h>
#include <sys/sysctl.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "c_api_test: %s\n", what);
        failures++;
    }
}

int main(void)
{
    char buf[64];
    size_t len = sizeof buf;
    check(sysctlbyname("kern.ostype", buf, &len, NULL, 0) == 0, "read kern.ostype");
    check(len == 8 && strcmp(buf, "FreeBSD") == 0, "kern.ostype is FreeBSD");
    int mib[CTL_MAXNAME];
    size_t n = CTL_MAXNAME;
    check(sysctlnametomib("kern.maxfiles", mib, &n) == 0 && n == 2, "kern.maxfiles has an OID");
    check(sysctl(mib, 1, NULL, &len, NULL, 0) == -1 && errno == EINVAL, "one component is EINVAL");
    check(kld_isloaded("oidlens") == 1, "oidlens is loaded");
    check(jail_getid("web") == 1, "jail web is 1");

    struct oidkit_object *o = oidkit_treebyname("kern");
    check(o != NULL && o->children && o->children->first, "kern has children");
    if (o) {
        bool defined = true;
        check(oidkit_hashandler(o->oid, o->oid_len, &defined) == 0 && !defined,
              "kern has no handler");
        oidkit_freetree(o);
    }
    struct oidkit_list *all = oidkit_mib();
    check(all != NULL && all->first != NULL, "the MIB is not empty");
    oidkit_freemib(all);
    return failures ? 1 : 0;
}
