// Google Benchmark programs for the routines that a walk spends its time
// in: building the MIB tree through the object library, looking a name up,
// emitting records in each libxo style (through display_object and through
// xo_emit alone) and the kernel stand-in's reads; micro_load.cpp adds the
// image loader.
//
// The kernel boots once per process from MIB_IMAGE (the embedded default
// when unset), so every figure here is for that one image; bench/run.sh
// --micro runs this against the generated image of 100,000 objects.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <libxo/xo.h>
#include <oidkit.h>
#include <sys/sysctl.h>

#include "main.h"

namespace
{

const int styles[] = {XO_STYLE_TEXT, XO_STYLE_XML, XO_STYLE_JSON, XO_STYLE_HTML};
const char *const style_names[] = {"text", "xml", "json", "html"};

// The whole tree, built once: the record benchmarks walk its objects.
oidkit_list *whole_mib()
{
    static oidkit_list *mib = oidkit_mib();
    return mib;
}

void collect(oidkit_list *list, std::vector<oidkit_object *> &out)
{
    for (oidkit_object *o = list ? list->first : nullptr; o; o = o->next) {
        out.push_back(o);
        collect(o->children, out);
    }
}

const std::vector<oidkit_object *> &all_objects()
{
    static std::vector<oidkit_object *> objects = [] {
        std::vector<oidkit_object *> v;
        collect(whole_mib(), v);
        return v;
    }();
    return objects;
}

FILE *devnull()
{
    static FILE *f = std::fopen("/dev/null", "w");
    return f;
}

// Sends the default handle's output in STYLE to /dev/null, inside the
// list "tree" as the -a walk has it.
void start_document(int style)
{
    xo_destroy(nullptr);
    xo_set_style(nullptr, style);
    xo_set_file(devnull());
    xo_open_list("tree");
}

void end_document()
{
    xo_close_list("tree");
    xo_finish();
    xo_destroy(nullptr);
}

// The tree of the whole MIB: every object's metadata through sysctl(3).
void BM_oidkit_mib(benchmark::State &state)
{
    all_objects(); // boots the kernel outside the timed loop
    size_t n = 0;
    for (auto _ : state) {
        oidkit_list *mib = oidkit_mib();
        benchmark::DoNotOptimize(mib);
        n = 0;
        for (oidkit_object *o = mib ? mib->first : nullptr; o; o = o->next)
            n++;
        oidkit_freemib(mib);
    }
    state.counters["objects"] = static_cast<double>(all_objects().size());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(all_objects().size()));
}
BENCHMARK(BM_oidkit_mib)->Unit(benchmark::kMillisecond);

// One name to its object (a leaf), as a request does.
void BM_oidkit_treebyname_leaf(benchmark::State &state)
{
    for (auto _ : state) {
        oidkit_object *o = oidkit_treebyname("kern.ostype");
        benchmark::DoNotOptimize(o);
        oidkit_freetree(o);
    }
}
BENCHMARK(BM_oidkit_treebyname_leaf);

// One name to a whole subtree ("kern").
void BM_oidkit_treebyname_subtree(benchmark::State &state)
{
    for (auto _ : state) {
        oidkit_object *o = oidkit_treebyname("kern");
        benchmark::DoNotOptimize(o);
        oidkit_freetree(o);
    }
}
BENCHMARK(BM_oidkit_treebyname_subtree)->Unit(benchmark::kMicrosecond);

// One name to its numeric OID through the kernel's meta-OID.
void BM_sysctlnametomib(benchmark::State &state)
{
    int mib[CTL_MAXNAME];
    for (auto _ : state) {
        size_t len = CTL_MAXNAME;
        benchmark::DoNotOptimize(sysctlnametomib("kern.ostype", mib, &len));
    }
}
BENCHMARK(BM_sysctlnametomib);

// Reads of every object's value: a size probe, then the read.
void BM_sysctl_read_all(benchmark::State &state)
{
    const auto &objects = all_objects();
    std::vector<unsigned char> buf(1 << 16);
    for (auto _ : state) {
        for (oidkit_object *o : objects) {
            size_t len = 0;
            if (sysctl(o->oid, static_cast<unsigned>(o->oid_len), nullptr, &len, nullptr, 0) == 0 &&
                len <= buf.size()) {
                sysctl(o->oid, static_cast<unsigned>(o->oid_len), buf.data(), &len, nullptr, 0);
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(objects.size()));
}
BENCHMARK(BM_sysctl_read_all)->Unit(benchmark::kMillisecond);

// One record per object, as the -a walk emits them, in one style.
void BM_display_object(benchmark::State &state)
{
    const auto &objects = all_objects();
    int style = styles[state.range(0)];
    state.SetLabel(style_names[state.range(0)]);
    reset_options();
    opts.aflag = true;
    for (auto _ : state) {
        start_document(style);
        for (oidkit_object *o : objects) {
            bool opened = false;
            benchmark::DoNotOptimize(display_object(o, nullptr, false, &opened));
            if (opened)
                xo_close_instance("object");
        }
        end_document();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(objects.size()));
}
BENCHMARK(BM_display_object)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The output layer alone: the fields of a typical integer record.
void BM_xo_record(benchmark::State &state)
{
    int style = styles[state.range(0)];
    state.SetLabel(style_names[state.range(0)]);
    start_document(style);
    int64_t n = 0;
    for (auto _ : state) {
        xo_open_instance("object");
        xo_emit("{:name/%s}", "net.inet.tcp.sendspace");
        xo_emit("{L:/%s}", ": ");
        xo_emit("{:value/%d}", 32768);
        xo_emit("{L:\n}");
        xo_close_instance("object");
        n++;
    }
    end_document();
    state.SetItemsProcessed(n);
}
BENCHMARK(BM_xo_record)->DenseRange(0, 3);

// A string record, whose value libxo escapes in XML, JSON and HTML.
void BM_xo_string_record(benchmark::State &state)
{
    int style = styles[state.range(0)];
    state.SetLabel(style_names[state.range(0)]);
    start_document(style);
    static const char text[] =
        "FreeBSD 14.2-RELEASE releng/14.2-n269506-c8918d6c7412 GENERIC <amd64> \"quoted\" & more";
    for (auto _ : state) {
        xo_open_instance("object");
        xo_emit("{:name/%s}", "kern.version");
        xo_emit("{L:/%s}", ": ");
        xo_emit("{:value/%s}", text);
        xo_emit("{L:\n}");
        xo_close_instance("object");
    }
    end_document();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_xo_string_record)->DenseRange(0, 3);

} // namespace

BENCHMARK_MAIN();
