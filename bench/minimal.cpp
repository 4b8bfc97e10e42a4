// The baseline of the single-request benchmark: the least a C++ program
// built with the project's flags does to print what `tunex kern.ostype`
// prints on the embedded default image.
#include <cstdio>

int main()
{
    std::printf("kern.ostype: FreeBSD\n");
    return 0;
}
