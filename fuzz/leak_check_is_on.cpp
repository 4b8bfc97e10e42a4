// Leaks a block on purpose: under AddressSanitizer with its leak check on,
// the program fails at exit, which the test expects.
#include <cstdio>
#include <cstdlib>

int main()
{
    void *volatile lost = malloc(64);
    printf("leaking %p\n", lost);
    lost = nullptr;
    return 0;
}
