// Speed of the output layer: a walk of 100,000 records shaped like tunex's
// (an instance "object" with five fields, labels and separators, inside a
// container and a list), written to /dev/null in every style. Reports
// records per second as items_per_second.
#include <libxo/xo.h>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace
{

constexpr int records = 100000;

struct style_case {
    const char *name;
    xo_style_t style;
    xo_xof_flags_t flags;
};

const style_case cases[] = {
    {"text", XO_STYLE_TEXT, 0},
    {"xml", XO_STYLE_XML, 0},
    {"json", XO_STYLE_JSON, 0},
    {"html", XO_STYLE_HTML, 0},
    {"xml-pretty", XO_STYLE_XML, XOF_PRETTY},
    {"json-pretty", XO_STYLE_JSON, XOF_PRETTY},
};
static_assert(sizeof(cases) / sizeof(cases[0]) == 6, "six styles");

void walk(benchmark::State &state)
{
    const style_case &c = cases[state.range(0)];
    state.SetLabel(c.name);
    FILE *null = fopen("/dev/null", "w");
    for (auto _ : state) {
        xo_destroy(nullptr);
        xo_set_style(nullptr, c.style);
        xo_set_flags(nullptr, XOF_UNITS | XOF_FLUSH | c.flags); // as tunex sets them
        xo_set_file(null);
        xo_open_container("root");
        xo_open_list("tree");
        for (int i = 0; i < records; i++) {
            xo_open_instance("object");
            xo_emit("{:name/%s}", "kern.ipc.maxsockbuf");
            xo_emit("{L:/%s}", ": ");
            xo_emit("{:type/%s}", "integer");
            xo_emit("{L:/%s}", ": ");
            xo_emit("{:format/%s}", "IU");
            xo_emit("{L:/%s}", ": ");
            xo_emit("{:description/%s}", "Maximum socket buffer size");
            xo_emit("{L:/%s}", ": ");
            xo_emit_field(nullptr, "value", "%lu", nullptr, 2097152UL + i);
            xo_emit("{L:\n}");
            xo_close_instance("object");
        }
        xo_close_list("tree");
        xo_close_container("root");
        xo_finish();
    }
    state.SetItemsProcessed(state.iterations() * records);
    xo_destroy(nullptr);
    fclose(null);
}

BENCHMARK(walk)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
