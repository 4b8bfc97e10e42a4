/*
 * End-to-end runner: runs the real tunex binary on small MIB images and
 * compares its standard output, standard error and exit status with what
 * a case file expects. One case file per concern lives in tests/e2e/cases;
 * adding a case needs no code, only a case file (and a fixture image in
 * tests/fixtures when none fits).
 *
 * Case file format, line by line:
 *
 *   # comment                  (outside of blocks)
 *   === NAME                   starts a case; every case gets a fresh
 *                              temporary directory, $DIR
 *   image FIXTURE.json         copies tests/fixtures/FIXTURE.json to
 *                              $DIR/FIXTURE.json and points MIB_IMAGE at
 *                              the copy (writes persist there, so later
 *                              runs of the case see them);
 *   image default              the embedded default image (MIB_IMAGE
 *                              unset); this is also what a case without
 *                              an image line gets
 *   env NAME=VALUE             sets a variable for every run of the case
 *   file NAME <<TAG            creates $DIR/NAME with the lines up to TAG
 *   run ARG ...                runs tunex with these arguments (words
 *                              split at blanks; '...' and "..." quote,
 *                              \ escapes; $DIR expands); argv[0] is "tunex"
 *   as nobody                  runs the last run as user nobody (as root,
 *                              through setuid; as any other user, as is)
 *   as root                    the last run needs root; skipped otherwise
 *   stdin NAME                 the last run reads $DIR/NAME as its standard
 *                              input
 *   stdout <<TAG [noeol]       the last run's expected standard output:
 *   stderr <<TAG [noeol]       the lines up to TAG, each ending in a
 *                              newline ("noeol": not the last one);
 *                              $DIR expands; omitted means empty
 *   status N                   the expected exit status; omitted means 0
 *   same NAME                  after the last run, $DIR/NAME (the image or
 *                              a file) still holds what the case began with
 *
 * Every run's environment is LC_ALL=C.UTF-8, PATH, HOME=$DIR,
 * XDG_RUNTIME_DIR=$DIR/run, MIB_IMAGE as above, the sanitizer options of
 * the runner's own environment and the case's env lines; standard input
 * is /dev/null unless a stdin line names a file. A failing run names its file, line, case and
 * arguments and shows what differs. The last line says "N passed, N failed".
 *
 * TUNEX_E2E_WRAPPER, when set, is a command (words split at blanks) that
 * every run goes through, e.g. "valgrind -q --error-exitcode=99": its
 * findings then show as differences in standard error and status.
 *
 * Usage: tunex_e2e --binary PATH --fixtures DIR CASEFILE...
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct expected_text {
    bool given = false;
    std::string text;
};

struct run_step {
    int line = 0;
    std::vector<std::string> args;
    std::string user;  /* "", "nobody" or "root" */
    std::string input; /* the file in $DIR read as standard input, or "" */
    expected_text out, err;
    int status = 0;
    std::vector<std::string> same; /* files that must be as the case began */
};

struct test_case {
    std::string file;
    int line = 0;
    std::string name;
    std::string image = "default";
    std::vector<std::string> env;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<run_step> runs;
};

struct settings {
    std::string binary;
    std::string fixtures;
    std::vector<std::string> wrapper; /* TUNEX_E2E_WRAPPER's words */
};

[[noreturn]] void die(const std::string &where, const std::string &what)
{
    std::cerr << where << ": " << what << "\n";
    exit(2);
}

std::string expand(std::string text, const std::string &dir)
{
    for (size_t at = 0; (at = text.find("$DIR", at)) != std::string::npos; at += dir.size())
        text.replace(at, 4, dir);
    return text;
}

// Splits a run line into words: blanks separate, quotes group, \ escapes.
std::vector<std::string> split_words(const std::string &line, const std::string &where)
{
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < line.size())
                word += line[++i];
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            in_word = true;
        } else if (c == ' ' || c == '\t') {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote != 0)
        die(where, "unterminated quote");
    if (in_word)
        words.push_back(word);
    return words;
}

// Reads the lines of a block that ends with the line TAG.
std::string read_block(std::istream &in, int *line_no, const std::string &tag, bool noeol,
                       const std::string &where)
{
    std::string text, line;
    while (std::getline(in, line)) {
        (*line_no)++;
        if (line == tag) {
            if (noeol && !text.empty())
                text.pop_back();
            return text;
        }
        text += line + "\n";
    }
    die(where, "block without its closing " + tag);
}

std::vector<test_case> parse_case_file(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        die(path, "cannot open");
    std::vector<test_case> cases;
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        line_no++;
        std::string where = path + ":" + std::to_string(line_no);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.rfind("=== ", 0) == 0) {
            test_case c;
            c.file = path;
            c.line = line_no;
            c.name = line.substr(4);
            cases.push_back(c);
            continue;
        }
        if (cases.empty())
            die(where, "a directive before the first '=== NAME'");
        test_case &c = cases.back();
        std::string keyword = line.substr(0, line.find(' '));
        std::string rest = line.size() > keyword.size() ? line.substr(keyword.size() + 1) : "";
        if (keyword == "image") {
            c.image = rest;
        } else if (keyword == "env") {
            c.env.push_back(rest);
        } else if (keyword == "run") {
            run_step r;
            r.line = line_no;
            r.args = split_words(rest, where);
            c.runs.push_back(r);
        } else if (keyword == "file" || keyword == "stdout" || keyword == "stderr") {
            std::vector<std::string> words = split_words(rest, where);
            size_t heredoc = keyword == "file" ? 1 : 0;
            if (words.size() <= heredoc || words[heredoc].rfind("<<", 0) != 0)
                die(where, keyword + " needs a <<TAG block");
            bool noeol = words.size() > heredoc + 1 && words[heredoc + 1] == "noeol";
            std::string text = read_block(in, &line_no, words[heredoc].substr(2), noeol, where);
            if (keyword == "file") {
                c.files.emplace_back(words[0], text);
                continue;
            }
            if (c.runs.empty())
                die(where, keyword + " before the first run");
            expected_text &e = keyword == "stdout" ? c.runs.back().out : c.runs.back().err;
            e.given = true;
            e.text = text;
        } else if (keyword == "status") {
            if (c.runs.empty())
                die(where, "status before the first run");
            c.runs.back().status = atoi(rest.c_str());
        } else if (keyword == "as") {
            if (c.runs.empty() || (rest != "nobody" && rest != "root"))
                die(where, "'as nobody' or 'as root' after a run");
            c.runs.back().user = rest;
        } else if (keyword == "stdin") {
            if (c.runs.empty() || rest.empty())
                die(where, "'stdin NAME' after a run");
            c.runs.back().input = rest;
        } else if (keyword == "same") {
            if (c.runs.empty() || rest.empty())
                die(where, "'same NAME' after a run");
            c.runs.back().same.push_back(rest);
        } else {
            die(where, "unknown directive '" + keyword + "'");
        }
    }
    return cases;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text, mode_t mode)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out)
        die(path, "cannot write");
    chmod(path.c_str(), mode);
}

// Runs one step in DIR and returns its wait status; the output goes to
// DIR/.stdout and DIR/.stderr.
int execute(const settings &s, const test_case &c, const run_step &r, const std::string &dir)
{
    std::vector<std::string> env = {"LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin", "HOME=" + dir,
                                    "XDG_RUNTIME_DIR=" + dir + "/run"};
    if (c.image != "default")
        env.push_back("MIB_IMAGE=" + dir + "/" + c.image);
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *value = getenv(name))
            env.push_back(std::string(name) + "=" + value);
    for (const auto &e : c.env)
        env.push_back(expand(e, dir));

    std::vector<std::string> args = s.wrapper;
    args.push_back(s.wrapper.empty() ? "tunex" : s.binary);
    for (const auto &a : r.args)
        args.push_back(expand(a, dir));

    pid_t pid = fork();
    if (pid < 0)
        die(c.file, "fork failed");
    if (pid == 0) {
        std::vector<char *> argv, envp;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        int in = open(r.input.empty() ? "/dev/null" : (dir + "/" + r.input).c_str(), O_RDONLY);
        int out = open((dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int err = open((dir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (r.user == "nobody" && getuid() == 0) {
            struct passwd *pw = getpwnam("nobody");
            if (pw == nullptr || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
                setuid(pw->pw_uid) != 0)
                _exit(125);
        }
        if (s.wrapper.empty())
            execve(s.binary.c_str(), argv.data(), envp.data());
        else
            execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    return status;
}

std::string describe(const run_step &r)
{
    std::string text = "tunex";
    for (const auto &a : r.args)
        text += " " + a;
    return text;
}

void show_difference(const char *what, const std::string &expected, const std::string &actual)
{
    std::cout << "  " << what << " differs\n  --- expected\n"
              << expected << (expected.empty() || expected.back() != '\n' ? "\\ no newline\n" : "")
              << "  --- actual\n"
              << actual << (actual.empty() || actual.back() != '\n' ? "\\ no newline\n" : "");
}

// Runs every step of C in a fresh directory. Returns 1 when it passed, 0
// when it failed, -1 when it was skipped.
int run_case(const settings &s, const test_case &c)
{
    char pattern[] = "/tmp/tunex-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        die(c.file, "cannot make a temporary directory");
    std::string dir = pattern;
    // Runs as nobody must reach the image and write beside it.
    chmod(dir.c_str(), 0777);
    mkdir((dir + "/run").c_str(), 0700);
    if (c.image != "default") {
        std::string source = s.fixtures + "/" + c.image;
        std::ifstream probe(source);
        if (!probe)
            die(c.file + ":" + std::to_string(c.line), "no fixture " + source);
        write_file(dir + "/" + c.image, slurp(source), 0666);
    }
    std::vector<std::pair<std::string, std::string>> initial;
    if (c.image != "default")
        initial.emplace_back(c.image, slurp(dir + "/" + c.image));
    for (const auto &f : c.files) {
        write_file(dir + "/" + f.first, expand(f.second, dir), 0666);
        initial.emplace_back(f.first, expand(f.second, dir));
    }

    int result = 1;
    for (const auto &r : c.runs) {
        if (r.user == "root" && getuid() != 0) {
            std::cout << "SKIP " << c.file << ":" << r.line << " '" << c.name << "': needs root\n";
            result = -1;
            break;
        }
        if (r.user == "nobody" && getuid() == 0) {
            // The run directory belongs to whoever runs tunex.
            struct passwd *pw = getpwnam("nobody");
            if (pw == nullptr) {
                std::cout << "SKIP " << c.file << ":" << r.line << " '" << c.name
                          << "': no user nobody\n";
                result = -1;
                break;
            }
            if (chown((dir + "/run").c_str(), pw->pw_uid, pw->pw_gid) != 0)
                die(dir, "cannot hand the run directory to nobody");
        }
        int status = execute(s, c, r, dir);
        std::string out = slurp(dir + "/.stdout");
        std::string err = slurp(dir + "/.stderr");
        std::string want_out = expand(r.out.text, dir);
        std::string want_err = expand(r.err.text, dir);
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::vector<std::string> changed;
        for (const auto &name : r.same) {
            bool found = false;
            for (const auto &f : initial)
                if (f.first == name) {
                    found = true;
                    if (slurp(dir + "/" + name) != f.second)
                        changed.push_back(name);
                }
            if (!found)
                die(c.file + ":" + std::to_string(r.line),
                    "'same " + name + "': no such image or file");
        }
        if (out != want_out || err != want_err || code != r.status || !changed.empty()) {
            std::cout << "FAIL " << c.file << ":" << r.line << " '" << c.name
                      << "': " << describe(r) << "\n";
            if (out != want_out)
                show_difference("stdout", want_out, out);
            if (err != want_err)
                show_difference("stderr", want_err, err);
            if (code != r.status)
                std::cout << "  status " << code << ", expected " << r.status << "\n";
            for (const auto &name : changed)
                std::cout << "  " << name << " changed\n";
            result = 0;
            break;
        }
    }
    if (result != 0) {
        std::string command = "rm -rf '" + dir + "'";
        if (system(command.c_str()) != 0)
            std::cout << "cannot remove " << dir << "\n";
    } else {
        std::cout << "  (files kept in " << dir << ")\n";
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    settings s;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--binary" && i + 1 < argc)
            s.binary = argv[++i];
        else if (a == "--fixtures" && i + 1 < argc)
            s.fixtures = argv[++i];
        else
            files.push_back(a);
    }
    if (s.binary.empty() || s.fixtures.empty() || files.empty())
        die("tunex_e2e", "usage: tunex_e2e --binary PATH --fixtures DIR CASEFILE...");
    // The runs start in their own directories.
    char *binary = realpath(s.binary.c_str(), nullptr);
    if (binary == nullptr)
        die(s.binary, strerror(errno));
    s.binary = binary;
    free(binary);
    if (const char *wrapper = getenv("TUNEX_E2E_WRAPPER"))
        s.wrapper = split_words(wrapper, "TUNEX_E2E_WRAPPER");

    int passed = 0, failed = 0, skipped = 0;
    for (const auto &f : files) {
        for (const auto &c : parse_case_file(f)) {
            int result = run_case(s, c);
            if (result > 0)
                passed++;
            else if (result == 0)
                failed++;
            else
                skipped++;
        }
    }
    std::cout << passed << " passed, " << failed << " failed";
    if (skipped > 0)
        std::cout << ", " << skipped << " skipped";
    std::cout << "\n";
    return failed == 0 ? 0 : 1;
}
