/*
 * The tunex binary: everything lives in the program library.
 */
#include "main.h"

int main(int argc, char *argv[])
{
    return tunex_main(argc, argv);
}
