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

// One run of the driver: a scenario in one style, its expected bytes and,
// while it runs, its process and capture files.
struct job {
    std::string name, path;
    style_run style;
    pid_t pid = -1;
    FILE *out = nullptr, *err = nullptr;
    std::string report; // what to print for it: empty when it passed
};

// Starts DRIVER on the job's scenario with its style's options and locale.
void start_driver(const std::string &driver, job *j)
{
    j->out = tmpfile();
    j->err = tmpfile();
    if (j->out == nullptr || j->err == nullptr) {
        perror("tmpfile");
        exit(2);
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        exit(2);
    }
    if (pid == 0) {
        FILE *in = freopen(j->path.c_str(), "r", stdin);
        if (in == nullptr)
            _exit(98);
        dup2(fileno(j->out), 1);
        dup2(fileno(j->err), 2);
        unsetenv("LIBXO_OPTIONS");
        unsetenv("LC_CTYPE");
        unsetenv("LANG");
        setenv("LC_ALL", j->style.locale.c_str(), 1);
        const char *d = driver.c_str();
        if (j->style.options.empty())
            execl(d, d, static_cast<char *>(nullptr));
        else
            execl(d, d, "--libxo", j->style.options.c_str(), static_cast<char *>(nullptr));
        _exit(97);
    }
    j->pid = pid;
}

// Reads back and closes a capture file.
std::string slurp(FILE *fp)
{
    std::string s;
    rewind(fp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        s.append(buf, n);
    fclose(fp);
    return s;
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
std::string show_diff(const std::string &want, const std::string &got)
{
    size_t i = 0, line = 1, bol = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) {
        if (want[i] == '\n')
            line++, bol = i + 1;
        i++;
    }
    auto line_at = [&](const std::string &s) {
        size_t end = s.find('\n', bol);
        return visible(s.substr(bol, end == std::string::npos ? std::string::npos : end - bol + 1))
            .substr(0, 400);
    };
    return "    first difference at byte " + std::to_string(i) + " (line " + std::to_string(line) +
           ")\n    want: " + line_at(want) + "\n    got:  " + line_at(got) + "\n";
}

// Compares a finished job's output with the expected files.
void check(const std::string &edir, job *j, int status)
{
    std::string out = slurp(j->out), err = slurp(j->err);
    int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::string got_rc = std::to_string(rc) + "\n";
    std::string base = edir + "/" + j->name + "." + j->style.tag;
    std::string want_out, want_err, want_rc;
    if (!read_file(base + ".out", &want_out) || !read_file(base + ".err", &want_err) ||
        !read_file(base + ".rc", &want_rc)) {
        j->report = "FAIL " + j->name + " [" + j->style.tag + "]: expected files missing\n";
        return;
    }
    struct stream_check {
        const char *stream;
        const std::string *want, *got;
    };
    const stream_check checks[] = {
        {"stdout", &want_out, &out}, {"stderr", &want_err, &err}, {"status", &want_rc, &got_rc}};
    for (const stream_check &c : checks) {
        if (*c.want == *c.got)
            continue;
        if (j->report.empty())
            j->report = "FAIL " + j->name + " [" + j->style.tag + "]\n";
        j->report += std::string("  ") + c.stream + " differs\n" + show_diff(*c.want, *c.got);
    }
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

    std::vector<job> jobs;
    int failures = 0;
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
            job j;
            j.name = name;
            j.path = path;
            j.style = r;
            jobs.push_back(j);
        }
    }

    // Runs several drivers at a time; reports in scenario order.
    const char *env_jobs = getenv("XO_CONFORMANCE_JOBS");
    size_t parallel = env_jobs != nullptr ? std::max(1, atoi(env_jobs)) : 4;
    size_t next = 0, running = 0;
    while (next < jobs.size() || running > 0) {
        while (running < parallel && next < jobs.size()) {
            start_driver(driver, &jobs[next++]);
            running++;
        }
        int status = 0;
        pid_t pid = wait(&status);
        if (pid < 0) {
            perror("wait");
            return 2;
        }
        for (job &j : jobs)
            if (j.pid == pid) {
                check(edir, &j, status);
                j.pid = -1;
                running--;
                break;
            }
    }
    for (const job &j : jobs)
        if (!j.report.empty()) {
            fputs(j.report.c_str(), stdout);
            failures++;
        }
    int runs = static_cast<int>(jobs.size());
    printf("%d of %d runs differ\n", failures, runs);
    return failures == 0 && runs > 0 ? 0 : 1;
}
