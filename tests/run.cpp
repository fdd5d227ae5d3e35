// Test helpers: see run.h.
#include "run.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

scratch::scratch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/addsound-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
}

scratch::~scratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string readfile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writefile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

static std::string addsound, wine, wineprefix, native;

// gtest's main, taking the program under test from the command line.
int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&](const char *key, std::string &to) {
            std::string prefix = std::string("--") + key + "=";
            if (arg.compare(0, prefix.size(), prefix) != 0)
                return false;
            to = arg.substr(prefix.size());
            return true;
        };
        if (!value("addsound", addsound) && !value("wine", wine)
            && !value("wineprefix", wineprefix) && !value("native", native)) {
            fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}

std::string toolpath()
{
    if (addsound.empty())
        throw std::runtime_error("no --addsound=PATH names the program to test");
    return addsound;
}

bool onwindows()
{
    return !wine.empty();
}

std::string nativepath()
{
    return native;
}

std::string lineends(const std::string &text)
{
    if (!onwindows())
        return text;
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue; // read as a line feed, written as CR LF below
        if (text[i] == '\n')
            out += '\r';
        out += text[i];
    }
    return out;
}

outcome runtool(const std::string &dir, const std::string &input,
                const runoptions &options, void (*started)(int, void *),
                void *arg)
{
    std::string program = options.native ? nativepath()
                        : options.program.empty() ? toolpath() : options.program;
    // Everything the child needs is made before fork: tests may start runs
    // from several threads at once.
    std::vector<std::string> args;
    if (!options.strace.empty())
        args = {"/usr/bin/strace", "-f", "-y", "-qq", "-o", options.strace,
                "-e", "trace=openat,open,ftruncate,fsync,fdatasync,write,close,rename,unlink"};
    if (onwindows() && !options.native)
        args.push_back(wine);
    args.push_back(program);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        env.push_back(*e);
    if (onwindows()) {
        env.push_back("WINEPREFIX=" + wineprefix);
        env.push_back("WINEDEBUG=-all");
    }
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (!options.output.empty()) {
            int fd = open(options.output.c_str(), O_WRONLY);
            if (fd < 0 || dup2(fd, 1) < 0)
                _exit(126);
        }
        close(in[0]); close(in[1]); close(out[0]); close(out[1]);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        // As from a console, whatever ran the tests; a group of its own is
        // never orphaned, so that SIGTSTP stops it.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGXFSZ, SIGPIPE})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setpgid(0, 0);
        struct rlimit limit = {options.filesize, options.filesize};
        struct rlimit nocore = {0, 0};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || setrlimit(RLIMIT_CORE, &nocore) != 0)
            _exit(126);
        if (options.unprivileged && geteuid() == 0
            && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t sent = 0;
    while (sent < input.size()) {
        ssize_t n = write(in[1], input.data() + sent, input.size() - sent);
        if (n <= 0)
            break; // the program stopped reading; its outcome says why
        sent += n;
    }
    if (started)
        started(pid, arg);
    close(in[1]);
    outcome result;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.out.append(buffer, n);
    }
    close(out[0]);
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

void waitdefaults(int pid)
{
    for (pid_t group; (group = getpgid(pid)) != pid && group != -1;)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

std::string biglist(size_t size)
{
    std::string text = "{\n";
    for (int i = 0; text.size() < size; i++)
        text += "  \"block.thing" + std::to_string(i) + ".step\": {\"sounds\": [\"block/thing"
              + std::to_string(i) + "/step\", {\"name\": \"x\", \"volume\": 0.5}]},\n";
    return text + "  \"last\": {\"sounds\": [\"last\"]}\n}\n";
}

static std::string excerpt(const std::string &text, size_t at)
{
    size_t from = at < 20 ? 0 : at - 20;
    return testing::PrintToString(text.substr(from, 60));
}

testing::AssertionResult same(const std::string &got, const std::string &want)
{
    if (got == want)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        at++;
    return testing::AssertionFailure()
        << "got " << got.size() << " bytes, want " << want.size()
        << "; first difference at byte " << at << "\n  got:  " << excerpt(got, at)
        << "\n  want: " << excerpt(want, at);
}
