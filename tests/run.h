// Test helpers: scratch folders, whole-file reads and writes, and runs of the
// built addsound (natively, or the Windows build under Wine) with piped input.
#ifndef RUN_H
#define RUN_H

#include <string>
#include <sys/resource.h>

// A folder of its own under the temporary directory, removed when it goes.
struct scratch {
    std::string dir;
    scratch();
    ~scratch();
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &bytes);
bool exists(const std::string &path);

struct runoptions {
    // RLIMIT_FSIZE in the child; the cap keeps a broken build from filling
    // the disk
    rlim_t filesize = rlim_t(1) << 30;
    bool unprivileged = false;       // run as nobody when started as root
    std::string program;             // in place of the program under test
    std::string output;              // a file for standard output, in place of the pipe
    std::string strace;              // run under strace -f -y, its log in this file
    bool native = false;             // the native program, even when the
                                     // program under test is the Windows one
};

struct outcome {
    std::string out; // all the program wrote to standard output
    int status = -1; // exit status, or -1 when ended by a signal
    int signal = 0;  // the signal that ended it
};

// Starts the program under test in dir, in a process group of its own, with
// the signals that stop programs at their defaults, feeding it input on
// standard input. Returns once it has ended. If started is given, it is called with the
// child's pid as soon as the input has been written, before standard input is
// closed: until it returns, the program waits at the prompt once it has used
// up the input.
outcome runtool(const std::string &dir, const std::string &input,
                const runoptions &options = {},
                void (*started)(int pid, void *arg) = nullptr,
                void *arg = nullptr);

// Returns once the child pid started by runtool has its signals at their
// defaults (it takes a process group of its own right after): a signal sent
// earlier might meet one that the tests' runner ignores.
void waitdefaults(int pid);

// A sound list of about size bytes, of many members.
std::string biglist(size_t size);

// The program under test, from --addsound=PATH on the test's command line;
// --wine=PATH and --wineprefix=DIR when it is the Windows build, run under
// Wine.
std::string toolpath();
bool onwindows();

// The native program, from --native=PATH, or empty: given beside a Windows
// program so that the two can be run at once.
std::string nativepath();

// Compares two byte strings; on a difference tells the lengths, where the
// first difference is, and a few bytes around it, not the whole text.
#include <gtest/gtest.h>
testing::AssertionResult same(const std::string &got, const std::string &want);

// What text written with line feeds becomes on the tested platform: on
// Windows every line end comes out as CR LF, whatever it was read as.
std::string lineends(const std::string &text);

#endif
