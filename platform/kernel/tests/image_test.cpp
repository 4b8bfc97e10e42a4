/*
 * Loading MIB images: every kind of broken image gets one message naming
 * the file and the place; value forms turn into the bytes a kernel hands
 * out; implied parents are made; and a broken image stops the program
 * with status 1 and its message, before any output.
 */
#include <sys/sysctl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "image_load.h"
#include "values.h"
#include "test_util.h"

namespace
{

/* An image with one object whose remaining keys are OBJ. */
std::string one(const std::string &obj)
{
    return R"({"objects": [{"oid": [1, 1], "name": "kern.x", )" + obj + "}]}";
}

TEST(Image, Errors)
{
    struct row {
        std::string json;
        const char *message;
    };
    const row rows[] = {
        {"", "img.json:1:1: the document is empty"},
        {"{\n  \"objects\": [\n    {\"oid\": [1] \"name\": \"kern\"}\n  ]\n}",
         "img.json:3:17: expected ',' or '}'"},
        {"{\"objects\": [1, 2}", "img.json:1:18: expected ',' or ']'"},
        {"{\"objects\": []} x", "img.json:1:17: text after the end of the document"},
        {"[]", "img.json: the image must be a JSON object"},
        {std::string(100000, '[') + std::string(100000, ']'),
         "img.json:1:257: nested too deep"}, // no recursion to overflow
        {std::string("{\"objects\": []}\0x", 17),
         "img.json:1:16: text after the end of the document"},
        {std::string("\0{}", 3), "img.json:1:1: invalid value"},
        {R"({"objects": [], "objects": []})", "img.json: duplicate key 'objects'"},
        {one(R"("type": "integer", "value": 5, "value": 6)"),
         "img.json: object 'kern.x': duplicate key 'value'"},
        {R"({"objects": [{"oid": [1], "name": "kern", "oid": [2], "type": "node"}]})",
         "img.json: object 'kern': duplicate key 'oid'"},
        {R"({"objects": [{"oid": [1], "name": "k\u0000", "type": "node"}]})",
         "img.json: object 'k': the name holds a NUL character"},
        {"{}", "img.json: missing 'objects' (an array)"},
        {R"({"objects": [], "modulez": []})", "img.json: unknown key 'modulez'"},
        {R"({"objects": [{"oid": [1]}]})", "img.json: object '#0': missing 'name'"},
        {one(R"("type": "integr")"), "img.json: object 'kern.x': unknown type 'integr'"},
        {one(R"("type": 16)"), "img.json: object 'kern.x': invalid type"},
        {one(R"("type": "integer", "flags": ["RD", "RW"])"),
         "img.json: object 'kern.x': unknown flag 'RW'"},
        {one(R"("type": "integer", "vaule": 1)"), "img.json: object 'kern.x': unknown key 'vaule'"},
        {one(R"("type": "uint8_t", "value": 256)"),
         "img.json: object 'kern.x': bad value: value out of range for 8-bit unsigned integer"},
        {one(R"("type": "integer", "value": -2147483649)"),
         "img.json: object 'kern.x': bad value: value out of range for 32-bit signed integer"},
        {one(R"("type": "unsigned integer", "value": -1)"),
         "img.json: object 'kern.x': bad value: value out of range for 32-bit unsigned integer"},
        {one(R"("type": "integer", "value": "12abc")"),
         "img.json: object 'kern.x': bad value: invalid number '12abc'"},
        {one(R"("type": "integer", "value": 1.5)"),
         "img.json: object 'kern.x': bad value: expected an integer"},
        {one(R"("type": "string", "value": 5)"),
         "img.json: object 'kern.x': bad value: a string's value must be a string"},
        {one(R"("type": "opaque", "value": {"hex": "abc"})"),
         "img.json: object 'kern.x': bad value: odd number of hex digits"},
        {one(R"("type": "opaque", "value": {"clockinfo": {"hz": 1, "hertz": 2}})"),
         "img.json: object 'kern.x': bad value: unknown clockinfo field 'hertz'"},
        {one(R"("type": "opaque", "value": {"struct": {}})"),
         "img.json: object 'kern.x': bad value: unknown value form 'struct'"},
        {one(R"("type": "string", "maxlen": 3, "value": "abc")"),
         "img.json: object 'kern.x': the value is longer than maxlen"},
        {one(R"("type": "integer", "read_error": "EWHAT")"),
         "img.json: object 'kern.x': unknown errno"},
        {R"({"objects": [{"oid": [1, 1], "name": "kern", "type": "integer"}]})",
         "img.json: object 'kern': the name has 1 components and the OID 2"},
        {R"({"objects": [{"name": "kern", "type": "node"}]})",
         "img.json: object 'kern': missing 'oid'"},
        {R"({"objects": [{"oid": [1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22], "name": "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v", "type": "node"}]})",
         "img.json: object 'a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v': an OID has at most 21 "
         "components"},
        {R"({"objects": [{"oid": [1], "name": "kern", "type": "node"},
                         {"oid": [1], "name": "kern2", "type": "node"}]})",
         "img.json: object 'kern2': duplicate OID 1 (also 'kern')"},
        {R"({"objects": [{"oid": [1], "name": "kern", "type": "node"},
                         {"oid": [2], "name": "kern", "type": "node"}]})",
         "img.json: object 'kern': duplicate name"},
        {R"({"objects": [{"oid": [1], "name": "kern", "type": "node"},
                         {"oid": [1, 1], "name": "vm.x", "type": "integer"}]})",
         "img.json: object 'vm.x': the name does not extend its parent's, 'kern'"},
        {R"({"objects": [{"oid": [1], "name": "kern", "type": "integer"},
                         {"oid": [1, 1], "name": "kern.x", "type": "integer"}]})",
         "img.json: object 'kern.x': its parent 'kern' is not a node"},
        {R"({"objects": [{"oid": [1], "name": "kern", "type": "node", "handler": true},
                         {"oid": [1, 1], "name": "kern.x", "type": "integer"}]})",
         "img.json: object 'kern.x': its parent 'kern' has a handler"},
        {R"({"objects": [], "jails": [{"name": "a", "jid": 0}]})",
         "img.json: a jail's jid must be an integer above 0"},
        {R"({"objects": [], "jails": [{"name": "a", "id": 1}]})",
         "img.json: jail: unknown key 'id'"},
        {R"({"objects": [], "jails": [{"jid": 1}]})", "img.json: a jail needs a name and a jid"},
        {R"({"objects": [], "jails": [{"name": "a", "jid": 1}, {"name": "a", "jid": 2}]})",
         "img.json: duplicate jail 'a'"},
    };
    for (const row &r : rows) {
        image_data d;
        std::string err;
        EXPECT_FALSE(image_load_text("img.json", r.json, d, err)) << r.json.substr(0, 200);
        EXPECT_EQ(err, r.message) << r.json.substr(0, 200);
    }
}

/* An image of COUNT integers under kern, one object per line; object AT
 * gets EXTRA as more keys. */
std::string lines_image(int count, const std::string &extra, int at)
{
    std::string text = "{\"objects\": [\n{\"oid\": [1], \"name\": \"kern\", \"type\": \"node\"}";
    for (int i = 1; i <= count; i++) {
        text += ",\n{\"oid\": [1, " + std::to_string(i) + "], \"name\": \"kern.k" +
                std::to_string(i) + "\", \"type\": \"integer\", \"value\": " + std::to_string(i) +
                (i == at ? ", " + extra : std::string()) + "}";
    }
    return text + "\n], \"modules\": [\"m\"]}\n";
}

TEST(Image, FilesLoadAsTheirText)
{
    // A file's text is parsed in place, so the place of a syntax error is
    // counted again from the file: a file loads as its text does, its
    // message included.
    const std::string texts[] = {
        read_file(fixture("basic.json")),
        "  {\r\n\t\"objects\" :\n[ ] , \"securelevel\" : 2 }  \n",
        R"({"securelevel": 1, "objects": [{"oid": [1], "name": "kern", "type": "node"}], "modules": ["a", "b"]})",
        R"({"obj\u0065cts": [{"oid": [1], "name": "k\u0065rn", "type": "node"}]})",
        one(R"("type": "string", "value": "tab\there \"quoted\" \u00e9", "description": "")"),
        one(R"("type": "uint8_t", "value": [true, false, null])"),
        one(R"("type": "opaque", "format": "S,timeval", "value": {"timeval": {"sec": 1, "usec": 2}})"),
        one(R"("type": "integer", "value": tru)"),
        one(R"("type": "integer", "value": 1)").substr(0, 40),
        // Escaped newlines turn into newlines where the text is parsed.
        one(R"("type": "string", "value": "a\n\nb", "description": "\n")") + "\n x",
        lines_image(40, R"("description": "a, {\"oid\": [2]}, {")", 20),
        lines_image(40, R"("vaule": 1)", 30),
        lines_image(40, R"("value": [1, 2])", 20) + "x",
        lines_image(40, R"("value": [1, 2])", 20) + std::string("\0", 1),
    };
    std::string path = temp_dir() + "/img.json";
    for (const std::string &text : texts) {
        write_file(path, text);
        image_data whole, d;
        std::string whole_err, err;
        bool whole_ok = image_load_text(path.c_str(), text, whole, whole_err);
        ASSERT_EQ(image_load_file(path.c_str(), d, err), whole_ok) << err;
        EXPECT_EQ(err, whole_err);
        if (whole_ok) {
            EXPECT_TRUE(image_equal(d.view, whole.view));
        }
    }
}

TEST(Image, UnreadableFiles)
{
    image_data d;
    std::string err;
    EXPECT_FALSE(image_load_file("/nonexistent/img.json", d, err));
    EXPECT_EQ(err, "/nonexistent/img.json: No such file or directory");
    std::string dir = temp_dir();
    EXPECT_FALSE(image_load_file(dir.c_str(), d, err));
    EXPECT_EQ(err, dir + ": Is a directory");
    // Neither waits for a writer that never comes.
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, std::string("/dev/null")}) {
        EXPECT_FALSE(image_load_file(path.c_str(), d, err));
        EXPECT_EQ(err, path + ": not a regular file");
    }
}

/* Loads one object's value and returns its bytes. */
std::string value_of(const std::string &type, const std::string &value)
{
    image_data d;
    std::string err;
    if (!image_load_text("img.json", one("\"type\": \"" + type + "\", \"value\": " + value), d,
                         err))
        return "error: " + err;
    uint32_t i = image_find_name(d.view, "kern.x");
    return std::string(reinterpret_cast<const char *>(d.view.values + d.view.objects[i].value),
                       d.view.objects[i].value_len);
}

std::string le(uint64_t v, size_t width)
{
    return std::string(reinterpret_cast<const char *>(&v), width);
}

TEST(Image, ValueForms)
{
    struct row {
        const char *type;
        const char *value;
        std::string bytes;
    };
    const row rows[] = {
        {"integer", "-1", le(0xffffffff, 4)},
        {"integer", "[1, 2]", le(1, 4) + le(2, 4)},
        {"uint64_t", "\"0xffffffffffffffff\"", le(~0ull, 8)},
        {"int16_t", "-32768", le(0x8000, 2)},
        {"string", "\"ab\"", std::string("ab\0", 3)},
        {"string", "{\"hex\": \"61 62\"}", "ab"},
        {"opaque", "{\"timeval\": {\"sec\": 5, \"usec\": 7}}", le(5, 8) + le(7, 8)},
        {"opaque", "{\"loadavg\": {\"ldavg\": [1, 2, 3], \"fscale\": 2048}}",
         le(1, 4) + le(2, 4) + le(3, 4) + le(0, 4) + le(2048, 8)},
        {"opaque", "{\"pagesizes\": [4096, 2097152]}", le(4096, 8) + le(2097152, 8)},
        {"opaque",
         "{\"input_id\": {\"bustype\": 3, \"vendor\": 4, \"product\": 5, \"version\": 6}}",
         le(3, 2) + le(4, 2) + le(5, 2) + le(6, 2)},
        {"opaque", "{\"smap\": [{\"base\": 1, \"length\": 2, \"type\": 3, \"xattr\": 4}]}",
         le(1, 8) + le(2, 8) + le(3, 4) + le(4, 4)},
        {"opaque",
         "{\"efi_map\": {\"descriptor_size\": 40, \"descriptors\": [{\"type\": 7, \"phys\": 4096, "
         "\"pages\": 2, \"attr\": \"0x800000000000000f\"}]}}",
         le(40, 8) + le(40, 8) + le(1, 4) + le(0, 4) + le(0, 8) + le(7, 4) + le(0, 4) +
             le(4096, 8) + le(0, 8) + le(2, 8) + le(0x800000000000000full, 8)},
        {"opaque", "{\"nvlist\": [{\"name\": \"n\", \"type\": \"number\", \"value\": 1}]}",
         // header: magic, version, flags, descriptors, size; then the pair
         std::string("\x6c\x00\x00", 3) + le(0, 8) + le(29, 8) + std::string("\x03", 1) + le(2, 2) +
             le(8, 8) + le(0, 8) + std::string("n\0", 2) + le(1, 8)},
        {"opaque", "{\"nvlist\": [{\"name\": \"d\", \"type\": \"descriptor\", \"value\": 1}]}",
         "error: img.json: object 'kern.x': bad value: pair 'd': descriptors cannot be packed"},
    };
    for (const row &r : rows)
        EXPECT_EQ(value_of(r.type, r.value), r.bytes) << r.type << " " << r.value;
    std::string vm = value_of("opaque", "{\"vmtotal\": {\"t_free\": 9, \"t_sw\": -1}}");
    ASSERT_EQ(vm.size(), 88u);
    EXPECT_EQ(vm.substr(64, 8), le(9, 8));
    EXPECT_EQ(vm.substr(80, 2), le(0xffff, 2));
}

TEST(Image, WrittenValuesReadBackTheSame)
{
    // A write is stored in the image as JSON; loading it must give the
    // very bytes back, whatever the type and the bytes.
    struct row {
        uint32_t type;
        std::string bytes;
        const char *json;
    };
    const row rows[] = {
        {2, le(0xfffffffe, 4), "-2"},
        {2, le(1, 4) + le(2, 4), "[1,2]"},
        {9, le(~0ull, 8), "18446744073709551615"},
        {12, "\x80", "-128"},
        {3, std::string("text\0", 5), "\"text\""},
        {3, std::string("caf\xc3\xa9\0", 6), "{\"hex\":\"636166c3a900\"}"},
        {3, std::string("a\0b\0", 4), "{\"hex\":\"61006200\"}"},
        {3, "", "{\"hex\":\"\"}"},
        {2, "abc", "{\"hex\":\"616263\"}"}, // not a whole element
        {5, le(7, 8), "{\"hex\":\"0700000000000000\"}"},
    };
    for (const row &r : rows) {
        json_pool pool;
        json_value v;
        decode_value(r.type, reinterpret_cast<const unsigned char *>(r.bytes.data()),
                     r.bytes.size(), v, pool);
        rapidjson::StringBuffer out;
        rapidjson::Writer<rapidjson::StringBuffer> w(out);
        v.Accept(w);
        EXPECT_STREQ(out.GetString(), r.json) << r.json;
        image_bytes back;
        std::string err;
        EXPECT_TRUE(encode_value(v, r.type, back, err)) << r.json << ": " << err;
        EXPECT_EQ(std::string(back.begin(), back.end()), r.bytes) << r.json;
    }
}

TEST(Image, ErrnosByNameOrNumber)
{
    // Any name the C library gives an errno, ENOTSUP (EOPNOTSUPP's other
    // name) and plain numbers.
    const std::pair<std::string, int> rows[] = {
        {R"("EPERM")", EPERM},
        {R"("ECONNREFUSED")", ECONNREFUSED},
        {R"("ENOTSUP")", ENOTSUP},
        {R"("EOPNOTSUPP")", EOPNOTSUPP},
        {"5", 5},
        {"4095", 4095},
    };
    for (const auto &[code, want] : rows) {
        image_data d;
        std::string err;
        ASSERT_TRUE(
            image_load_text("img.json", one(R"("type": "integer", "read_error": )" + code), d, err))
            << code << ": " << err;
        EXPECT_EQ(d.view.objects[1].read_error, want) << code;
    }
    for (const char *code : {R"("")", R"("eperm")", "0", "4096", "-1"}) {
        image_data d;
        std::string err;
        EXPECT_FALSE(image_load_text(
            "img.json", one(R"("type": "integer", "read_error": )" + std::string(code)), d, err))
            << code;
        EXPECT_EQ(err, "img.json: object 'kern.x': unknown errno") << code;
    }
}

TEST(Image, ImpliedParents)
{
    image_data d;
    std::string err;
    ASSERT_TRUE(
        image_load_text("img.json",
                        R"({"objects": [{"oid": [2, 1, 1], "name": "net.inet.a", "type": "integer"},
                        {"oid": [2, 1, 2], "name": "net.inet.b", "type": "integer"}]})",
                        d, err))
        << err;
    ASSERT_EQ(d.view.count, 4u);
    EXPECT_STREQ(obj_name(d.view, 0), "net");
    EXPECT_STREQ(obj_name(d.view, 1), "net.inet");
    EXPECT_EQ(d.view.objects[1].parent, 0u);
    EXPECT_EQ(d.view.objects[0].end, 4u);
    EXPECT_EQ(d.view.objects[1].kind, CTLFLAG_RD | CTLTYPE_NODE);
}

TEST(Image, BrokenImageStopsTheProgram)
{
    std::string path = temp_dir() + "/bad.json";
    write_file(path, "{\"objects\": [}");
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        setenv("MIB_IMAGE", path.c_str(), 1);
        kernel_reset();
        int oid[] = {1, 1};
        size_t len = 0;
        sysctl(oid, 2, nullptr, &len, nullptr, 0);
        _exit(0); // not reached
    }
    close(err[1]);
    char buf[512];
    ssize_t n = read(err[0], buf, sizeof buf);
    close(err[0]);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0),
              std::string(program_invocation_short_name) + ": " + path + ":1:14: invalid value\n");
}

TEST(Image, WriteChangesOnlyTheValue)
{
    // The element an object was loaded from gets the new value in place
    // of the old one, or a "value" member when it had none; every other
    // byte of the file stays as it was. Objects listed out of OID order
    // are found by their place in the file, not their place in the MIB.
    const std::string head = "{ \"objects\" : [\n  {\"oid\": [1], \"name\": \"kern\", "
                             "\"type\": \"node\"},\n";
    const std::string b =
        "  {\"name\":\"kern.b\",\"oid\":[1,2],\"type\":\"integer\",\"flags\":[\"RD\",\"WR\"]}";
    const std::string a = "  {\"oid\" : [1,1] , \"name\":\"kern.a\", \"value\" :\t5 ,"
                          "\"type\":\"integer\", \"flags\":[\"RD\",\"WR\"]}";
    std::string path = temp_dir() + "/img.json";
    write_file(path, head + b + ",\n" + a + "\n] }\n");
    boot(path);
    int v = 7;
    ASSERT_EQ(sysctlbyname("kern.a", nullptr, nullptr, &v, sizeof v), 0) << std::strerror(errno);
    std::string a7 = "  {\"oid\" : [1,1] , \"name\":\"kern.a\", \"value\": 7 ,"
                     "\"type\":\"integer\", \"flags\":[\"RD\",\"WR\"]}";
    EXPECT_EQ(read_file(path), head + b + ",\n" + a7 + "\n] }\n");
    v = -3;
    ASSERT_EQ(sysctlbyname("kern.b", nullptr, nullptr, &v, sizeof v), 0) << std::strerror(errno);
    std::string b3 = b.substr(0, b.size() - 1) + ", \"value\": -3}";
    EXPECT_EQ(read_file(path), head + b3 + ",\n" + a7 + "\n] }\n");

    // Another process put another object where kern.a was: nothing is
    // written over it.
    std::string other = head + b3 + ",\n" +
                        R"(  {"oid": [1, 3], "name": "kern.c", "type": "integer", "value": 1})" +
                        "\n] }\n";
    write_file(path, other);
    EXPECT_NE(sysctlbyname("kern.a", nullptr, nullptr, &v, sizeof v), 0);
    EXPECT_EQ(read_file(path), other);
}

} // namespace
