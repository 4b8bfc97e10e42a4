// The image loader's benchmark, apart from micro_bench.cpp because the
// kernel stand-in's internal headers and the program's headers cannot meet
// in one file (both name a type table).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "image_load.h" // the kernel stand-in's loader, not a FreeBSD API

namespace
{

// Parsing and indexing the image file that MIB_IMAGE names, as the kernel
// does when it boots from it: from memory (argument 0) or from the file
// (argument 1).
void BM_image_load(benchmark::State &state)
{
    const char *path = std::getenv("MIB_IMAGE");
    if (!path) {
        state.SkipWithError("MIB_IMAGE is not set");
        return;
    }
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    size_t count = 0;
    for (auto _ : state) {
        image_data data;
        std::string err;
        bool ok = state.range(0) ? image_load_file(path, data, err)
                                 : image_load_text(path, text, data, err);
        if (!ok) {
            state.SkipWithError(err.c_str());
            return;
        }
        count = data.view.count;
    }
    state.counters["objects"] = static_cast<double>(count);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.SetLabel(state.range(0) ? "from the file" : "from memory");
}
BENCHMARK(BM_image_load)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
