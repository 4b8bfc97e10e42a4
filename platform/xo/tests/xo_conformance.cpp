// Runs the conformance corpus: finds every scenario in SCENARIO_DIR and
// every style it is run in (the six defaults, its "#@ style" lines, or the
// single "args" run of a scenario with an argv directive), runs the replay
// driver on it with the style's options and locale, and compares standard
// output, standard error and exit status byte for byte with the expected
// files. Prints a short diff for each difference; exits 1 if any.
//
// Usage: xo_conformance DRIVER SCENARIO_DIR EXPECTED_DIR [NAME...]
// (NAMEs limit the run to those scenarios).
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

namespace
{

struct style_run {
    std::string tag, options, locale;
};

const style_run default_styles[] = {
    {"text", "text", "C.UTF-8"},
    {"xml", "xml", "C.UTF-8"},
    {"json", "json", "C.UTF-8"},
    {"html", "html", "C.UTF-8"},
    {"xml-pretty", "xml,pretty", "C.UTF-8"},
    {"json-pretty", "json,pretty", "C.UTF-8"},
};
static_assert(sizeof(default_styles) / sizeof(default_styles[0]) == 6, "six default styles");

bool read_file(const std::string &path, std::string *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

// The runs of one scenario, from its directives.
std::vector<style_run> styles_of(const std::string &script)
{
    std::vector<style_run> runs;
    bool args = false;
    std::istringstream in(script);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w;
        words >> w;
        if (w == "argv")
            args = true;
        if (w == "#@") {
            std::string kind;
            style_run r;
            words >> kind >> r.tag >> r.options;
            if (!(words >> r.locale))
                r.locale = "C.UTF-8";
            if (kind == "style" && !r.tag.empty())
                runs.push_back(r);
        }
    }
    if (args)
        return {{"args", "", "C.UTF-8"}};
    runs.insert(runs.begin(), std::begin(default_styles), std::end(default_styles));
    return runs;
}

// Runs DRIVER on SCRIPT_PATH with R's options; returns its exit status.
int run_driver(const std::string &driver, const std::string &script_path, const style_run &r,
               std::string *out, std::string *err)
{
    FILE *fo = tmpfile(), *fe = tmpfile();
    if (fo == nullptr || fe == nullptr) {
        perror("tmpfile");
        exit(2);
    }
    pid_t pid = fork();
    if (pid == 0) {
        FILE *in = freopen(script_path.c_str(), "r", stdin);
        if (in == nullptr)
            _exit(98);
        dup2(fileno(fo), 1);
        dup2(fileno(fe), 2);
        unsetenv("LIBXO_OPTIONS");
        unsetenv("LC_CTYPE");
        unsetenv("LANG");
        setenv("LC_ALL", r.locale.c_str(), 1);
        if (r.options.empty())
            execl(driver.c_str(), driver.c_str(), static_cast<char *>(nullptr));
        else
            execl(driver.c_str(), driver.c_str(), "--libxo", r.options.c_str(),
                  static_cast<char *>(nullptr));
        _exit(97);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    for (auto [fp, s] : {std::pair{fo, out}, std::pair{fe, err}}) {
        s->clear();
        rewind(fp);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
            s->append(buf, n);
        fclose(fp);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// Shows S with control characters and bytes >= 0x80 made visible.
std::string visible(const std::string &s)
{
    std::string v;
    for (unsigned char c : s) {
        if (c == '\n') {
            v += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            v += b;
        } else {
            v += static_cast<char>(c);
        }
    }
    return v;
}

// A short diff: the first line that differs, with its line number.
void show_diff(const std::string &want, const std::string &got)
{
    size_t i = 0, line = 1, bol = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) {
        if (want[i] == '\n')
            line++, bol = i + 1;
        i++;
    }
    auto line_at = [&](const std::string &s) {
        size_t end = s.find('\n', bol);
        return visible(s.substr(bol, end == std::string::npos ? std::string::npos : end - bol + 1));
    };
    printf("    first difference at byte %zu (line %zu)\n", i, line);
    printf("    want: %s\n", line_at(want).substr(0, 400).c_str());
    printf("    got:  %s\n", line_at(got).substr(0, 400).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s DRIVER SCENARIO_DIR EXPECTED_DIR [NAME...]\n", argv[0]);
        return 2;
    }
    std::string driver = argv[1], sdir = argv[2], edir = argv[3];
    std::vector<std::string> only(argv + 4, argv + argc);

    std::vector<std::string> names;
    DIR *d = opendir(sdir.c_str());
    if (d == nullptr) {
        perror(sdir.c_str());
        return 2;
    }
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".xo") == 0)
            names.push_back(n.substr(0, n.size() - 3));
    }
    closedir(d);
    std::sort(names.begin(), names.end());

    int runs = 0, failures = 0;
    for (const std::string &name : names) {
        if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end())
            continue;
        std::string path = sdir + "/" + name + ".xo", script;
        if (!read_file(path, &script)) {
            printf("FAIL %s: cannot read the scenario\n", name.c_str());
            failures++;
            continue;
        }
        for (const style_run &r : styles_of(script)) {
            runs++;
            std::string base = edir + "/" + name + "." + r.tag;
            std::string want_out, want_err, want_rc;
            if (!read_file(base + ".out", &want_out) || !read_file(base + ".err", &want_err) ||
                !read_file(base + ".rc", &want_rc)) {
                printf("FAIL %s [%s]: expected files missing\n", name.c_str(), r.tag.c_str());
                failures++;
                continue;
            }
            std::string out, err;
            int rc = run_driver(driver, path, r, &out, &err);
            std::string got_rc = std::to_string(rc) + "\n";
            bool ok = true;
            struct stream_check {
                const char *stream;
                const std::string *want, *got;
            };
            const stream_check checks[] = {{"stdout", &want_out, &out},
                                           {"stderr", &want_err, &err},
                                           {"status", &want_rc, &got_rc}};
            for (const stream_check &c : checks) {
                if (*c.want == *c.got)
                    continue;
                if (ok)
                    printf("FAIL %s [%s]\n", name.c_str(), r.tag.c_str());
                ok = false;
                printf("  %s differs\n", c.stream);
                show_diff(*c.want, *c.got);
            }
            if (!ok)
                failures++;
        }
    }
    printf("%d of %d runs differ\n", failures, runs);
    return failures == 0 && runs > 0 ? 0 : 1;
}
