// Runs the format fuzzer's entry point over files named on the command line
// (the checked-in corpus), so the corpus is an ordinary test in every build.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(s.data()), s.size());
    }
    printf("%d inputs\n", argc - 1);
    return 0;
}
