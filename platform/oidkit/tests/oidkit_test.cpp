/*
 * liboidkit over small images and over the embedded default: the tree in
 * OID order with every field, lookups by name and their errors, handler
 * presence, and a walk of the default that finds every object it serves.
 */
#include <oidkit.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "kernel.h"

namespace
{

void boot(const char *image)
{
    if (image) {
        const char *dir = std::getenv("OIDKIT_FIXTURES");
        std::string path = std::string(dir ? dir : ".") + "/images/" + image;
        setenv("MIB_IMAGE", path.c_str(), 1);
    } else {
        unsetenv("MIB_IMAGE");
    }
    kernel_reset();
}

/* One line per object: depth, name, type, flags, format, description,
 * label, so that one comparison checks the whole tree. */
void dump(const oidkit_list *list, int depth, std::string &out)
{
    for (const oidkit_object *o = list ? list->first : nullptr; o; o = o->next) {
        std::string oid;
        for (size_t i = 0; i < o->oid_len; i++)
            oid.append(i ? "." : "").append(std::to_string(o->oid[i]));
        char flags[16];
        std::snprintf(flags, sizeof flags, "%08x", unsigned(o->flags));
        out += std::string(size_t(depth) * 2, ' ') + oid + " " + o->name + " t" +
               std::to_string(o->type) + " " + flags + " '" + o->format + "'";
        if (o->description)
            out += std::string(" d='") + o->description + "'";
        if (o->label)
            out += std::string(" l='") + o->label + "'";
        out += "\n";
        dump(o->children, depth + 1, out);
    }
}

TEST(Oidkit, WholeMib)
{
    boot("small.json");
    oidkit_list *mib = oidkit_mib();
    ASSERT_NE(mib, nullptr);
    std::string got;
    dump(mib, 0, got);
    EXPECT_EQ(got, "1 kern t1 c0000000 'N' d='High kernel'\n"
                   "  1.1 kern.ostype t3 80000000 'A' d='Operating system type'\n"
                   "  1.2 kern.maxfiles t2 c0080000 'I' l='limit'\n"
                   "  1.4 kern.skipped t1 81000000 'N'\n"
                   "    1.4.1 kern.skipped.leaf t2 80000000 'I'\n"
                   "  1.5 kern.proc t1 80000000 'N'\n"
                   "2 vm t1 80000000 'N'\n"
                   "  2.2 vm.loadavg t5 80000000 'S,loadavg'\n"
                   "6 hw t1 80000000 'N'\n"
                   "  6.7 hw.deep t1 80000000 'N'\n"
                   "    6.7.8 hw.deep.leaf t10 80000000 'CU'\n");
    oidkit_freemib(mib);
}

// A MIB larger than the first block of a whole MIB moves out of the
// shared chunks into a mapping of its own and grows from there: every
// object keeps its name and its description through the moves.
TEST(Oidkit, LargeMibKeepsEveryObject)
{
    const int count = 6000;
    const std::string filler(400, 'x');
    std::string text = R"({"modules": ["oidlens"], "objects": [)"
                       R"({"oid": [1], "name": "big", "type": "node"})";
    for (int i = 1; i <= count; i++)
        text += ",\n{\"oid\": [1, " + std::to_string(i) + "], \"name\": \"big.n" +
                std::to_string(i) + "\", \"type\": \"integer\", \"description\": \"" +
                std::to_string(i) + filler + "\", \"value\": 1}";
    text += "]}";
    char dir[] = "/tmp/oidkittest.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/big.json";
    std::ofstream(path) << text;
    setenv("MIB_IMAGE", path.c_str(), 1);
    kernel_reset();

    oidkit_list *mib = oidkit_mib();
    ASSERT_NE(mib, nullptr);
    ASSERT_NE(mib->first, nullptr);
    int seen = 0;
    for (const oidkit_object *o = mib->first->children->first; o; o = o->next) {
        seen++;
        ASSERT_EQ(std::string(o->name), "big.n" + std::to_string(seen));
        ASSERT_EQ(std::string(o->description), std::to_string(seen) + filler);
    }
    EXPECT_EQ(seen, count);
    oidkit_freemib(mib);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(Oidkit, TreeByName)
{
    boot("small.json");
    struct row {
        const char *name;
        const char *dump; // null: not found
        int error;
    };
    const row rows[] = {
        {"kern.maxfiles", "1.2 kern.maxfiles t2 c0080000 'I' l='limit'\n", 0},
        {"vm", "2 vm t1 80000000 'N'\n  2.2 vm.loadavg t5 80000000 'S,loadavg'\n", 0},
        {"kern.skipped",
         "1.4 kern.skipped t1 81000000 'N'\n  1.4.1 kern.skipped.leaf t2 80000000 'I'\n", 0},
        {"hw.deep", "6.7 hw.deep t1 80000000 'N'\n  6.7.8 hw.deep.leaf t10 80000000 'CU'\n", 0},
        {"kern.nope", nullptr, ENOENT},
        {"kern.hidden", nullptr, ENOENT}, // dormant
        {"", nullptr, ENOENT},
        {"kern.", nullptr, ENOENT},
    };
    for (const row &r : rows) {
        errno = 0;
        oidkit_object *o = oidkit_treebyname(r.name);
        if (!r.dump) {
            EXPECT_EQ(o, nullptr) << r.name;
            EXPECT_EQ(errno, r.error) << r.name;
            continue;
        }
        ASSERT_NE(o, nullptr) << r.name;
        EXPECT_EQ(o->next, nullptr) << r.name;
        oidkit_list one{o, o};
        std::string got;
        dump(&one, 0, got);
        EXPECT_EQ(got, r.dump) << r.name;
        oidkit_freetree(o);
    }
}

TEST(Oidkit, HandlerPresence)
{
    boot("small.json");
    struct row {
        std::vector<int> oid;
        int result;
        bool defined;
    };
    const row rows[] = {
        {{1, 1}, 0, true},
        {{1}, 0, false},
        {{1, 5}, -1, false}, // the image makes the query fail
        {{1, 99}, -1, false},
    };
    for (const row &r : rows) {
        bool defined = !r.defined;
        std::vector<int> oid = r.oid;
        EXPECT_EQ(oidkit_hashandler(oid.data(), oid.size(), &defined), r.result) << oid.back();
        if (r.result == 0) {
            EXPECT_EQ(defined, r.defined) << oid.back();
        }
    }
}

TEST(Oidkit, WithoutTheModule)
{
    // The kernel's own meta-OIDs still give the tree; only handler
    // presence needs the module.
    boot("nolens.json");
    oidkit_object *o = oidkit_treebyname("kern.ostype");
    ASSERT_NE(o, nullptr);
    oidkit_list one{o, o};
    std::string got;
    dump(&one, 0, got);
    EXPECT_EQ(got, "1.1 kern.ostype t3 80000000 'A'\n");
    oidkit_freetree(o);
    EXPECT_EQ(oidkit_treebyname("kern.nope"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    bool defined;
    int oid[] = {1, 1};
    EXPECT_EQ(oidkit_hashandler(oid, 2, &defined), -1);
}

TEST(Oidkit, BothWaysGiveTheSameTree)
{
    // The default image, once with oidlens and once without: the bulk
    // entries and the kernel's own meta-OIDs must agree on every field.
    const char *source = std::getenv("TUNEX_DEFAULT_IMAGE");
    ASSERT_NE(source, nullptr);
    std::ifstream in(source);
    std::stringstream text;
    text << in.rdbuf();
    rapidjson::Document doc;
    doc.Parse(text.str().c_str());
    ASSERT_FALSE(doc.HasParseError());
    doc["modules"].SetArray();
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> w(out);
    doc.Accept(w);
    char dir[] = "/tmp/oidkittest.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/nolens.json";
    std::ofstream(path) << out.GetString();

    unsetenv("MIB_IMAGE");
    kernel_reset();
    oidkit_list *bulk = oidkit_mib();
    ASSERT_NE(bulk, nullptr);
    std::string want;
    dump(bulk, 0, want);
    oidkit_freemib(bulk);

    setenv("MIB_IMAGE", path.c_str(), 1);
    kernel_reset();
    oidkit_list *each = oidkit_mib();
    ASSERT_NE(each, nullptr);
    std::string got;
    dump(each, 0, got);
    oidkit_freemib(each);
    EXPECT_EQ(got, want);
    EXPECT_GT(got.size(), 1000u);
    unlink(path.c_str());
    rmdir(dir);
}

/* Counts the objects of a tree and checks that they come in OID order. */
size_t walk(const oidkit_list *list, const oidkit_object **prev)
{
    size_t n = 0;
    for (const oidkit_object *o = list ? list->first : nullptr; o; o = o->next) {
        if (*prev) {
            const oidkit_object *p = *prev;
            EXPECT_LT(std::lexicographical_compare(o->oid, o->oid + o->oid_len, p->oid,
                                                   p->oid + p->oid_len),
                      1)
                << o->name;
        }
        *prev = o;
        n += 1 + walk(o->children, prev);
    }
    return n;
}

TEST(Oidkit, EmbeddedDefault)
{
    boot(nullptr);
    const image_view &v = kernel().view();
    size_t served = 0;
    for (uint32_t i = 0; i < v.count; i++) {
        bool dormant = false;
        for (uint32_t p = i; p != NONE; p = v.objects[p].parent)
            dormant = dormant || (v.objects[p].kind & CTLFLAG_DORMANT);
        served += !dormant;
    }
    oidkit_list *mib = oidkit_mib();
    ASSERT_NE(mib, nullptr);
    const oidkit_object *prev = nullptr;
    EXPECT_EQ(walk(mib, &prev), served);
    EXPECT_GT(served, 100u);
    oidkit_freemib(mib);

    oidkit_object *o = oidkit_treebyname("kern.ostype");
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(o->name, "kern.ostype");
    oidkit_freetree(o);
}

} // namespace
