/*
 * getopt(3) with FreeBSD's behaviour. The host's getopt reorders the
 * arguments so that options written after a name still count as options;
 * FreeBSD's stops at the first argument that is not an option, so that
 * "tunex kern.ostype -d" asks for two names. Its diagnostics name the
 * program and the letter: "tunex: illegal option -- Q".
 */
#define _GNU_SOURCE /* program_invocation_short_name */
#include <errno.h>
#include <stdio.h>
#include <string.h>

char *tunex_optarg;
int tunex_optind = 1;
int tunex_opterr = 1;
int tunex_optopt;
int tunex_optreset;

/* The letters still to read of the current argument, "" between them. */
static const char *place = "";

static void complain(const char *optstring, const char *what)
{
    if (tunex_opterr && optstring[0] != ':')
        fprintf(stderr, "%s: %s -- %c\n", program_invocation_short_name, what, tunex_optopt);
}

int tunex_getopt(int argc, char *const argv[], const char *optstring)
{
    const char *entry;

    if (tunex_optreset || *place == '\0') {
        tunex_optreset = 0;
        if (tunex_optind >= argc || argv[tunex_optind] == NULL || argv[tunex_optind][0] != '-') {
            place = "";
            return -1;
        }
        place = argv[tunex_optind] + 1;
        if (place[0] == '-' && place[1] == '\0') {
            /* "--" ends the options and is consumed. */
            tunex_optind++;
            place = "";
            return -1;
        }
        if (place[0] == '\0') {
            /* A lone "-" is an operand unless the caller asks for it. */
            if (strchr(optstring, '-') == NULL) {
                place = "";
                return -1;
            }
            tunex_optopt = '-';
        } else {
            tunex_optopt = (unsigned char)*place++;
        }
    } else {
        tunex_optopt = (unsigned char)*place++;
    }

    entry = tunex_optopt == ':' ? NULL : strchr(optstring, tunex_optopt);
    if (entry == NULL) {
        if (*place == '\0')
            tunex_optind++;
        complain(optstring, "illegal option");
        return '?';
    }
    if (entry[1] != ':') {
        tunex_optarg = NULL;
        if (*place == '\0')
            tunex_optind++;
        return tunex_optopt;
    }
    /* The argument is the rest of this word or the whole next word. */
    if (*place != '\0') {
        tunex_optarg = (char *)place;
    } else if (entry[2] == ':') {
        tunex_optarg = NULL;
    } else if (argc > ++tunex_optind) {
        tunex_optarg = argv[tunex_optind];
    } else {
        place = "";
        if (optstring[0] == ':')
            return ':';
        complain(optstring, "option requires an argument");
        return '?';
    }
    place = "";
    tunex_optind++;
    return tunex_optopt;
}
