/*
 * Placeholder driver until the command line lands.
 */
#include <cstdio>

#include "main.h"

int tunex_main(int, char *[])
{
    std::printf("tunex %s\n", "2.2");
    return 0;
}
