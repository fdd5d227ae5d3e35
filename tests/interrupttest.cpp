// Stops of addsound: signals sent at moments spread over one insertion into
// a large list. Whenever they come, the list afterwards is the old one or the
// old one with the new entry in front, never anything between; a hard stop
// that cannot be held leaves the old text whole in sounds.backup.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>
#include <vector>

#include "layout.h"
#include "run.h"

namespace {

using steady = std::chrono::steady_clock;

struct shot {
    std::chrono::microseconds after;
    int signal;
    std::string dir;              // for a suspend: the folder of the list
    std::string whilestopped;     // the list as it was while stopped
    bool stopped = false;
};

// Tells whether the process is stopped, waiting up to ten seconds for it.
bool waitstopped(int pid)
{
    for (int i = 0; i < 1000; i++) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T')
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void fire(int pid, void *arg)
{
    shot *s = static_cast<shot *>(arg);
    waitdefaults(pid);
    std::this_thread::sleep_for(s->after);
    kill(pid, s->signal);
    if (s->signal == SIGTSTP) {
        s->stopped = waitstopped(pid);
        s->whilestopped = readfile(s->dir + "/sounds.json");
        kill(pid, SIGCONT);
    }
}

// How long one insertion takes here, from start to end of the program.
std::chrono::microseconds calllength(const std::string &old)
{
    std::vector<std::chrono::microseconds> times;
    for (int i = 0; i < 3; i++) {
        scratch folder;
        writefile(folder.path("sounds.json"), old);
        auto start = steady::now();
        outcome got = runtool(folder.dir, "bell\n");
        times.push_back(std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - start));
        EXPECT_NE(got.out.find(done("bell")), std::string::npos);
    }
    std::sort(times.begin(), times.end());
    return times[1];
}

class Interrupt : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        old = new std::string(biglist(32 << 20));
        added = new std::string(block("bell") + old->substr(1));
        length = calllength(*old);
    }
    static void TearDownTestSuite()
    {
        delete old;
        delete added;
    }
    static std::string *old, *added;
    static std::chrono::microseconds length;
};

std::string *Interrupt::old, *Interrupt::added;
std::chrono::microseconds Interrupt::length;

TEST_F(Interrupt, TheListIsAlwaysWholeAndTheSignalStillEndsTheProgram)
{
    int held = 0, tries = 0;
    // The stops a user or the system sends, and two that nobody means as
    // one but that end a program all the same.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1}) {
        for (int tenth = 0; tenth <= 10; tenth++) {
            shot s = {length * tenth / 10, sig, "", "", false};
            SCOPED_TRACE(testing::Message() << strsignal(sig) << " after "
                         << s.after.count() << " us of " << length.count());
            scratch folder;
            writefile(folder.path("sounds.json"), *old);
            outcome got = runtool(folder.dir, "bell\n", {}, fire, &s);
            std::string now = readfile(folder.path("sounds.json"));
            ASSERT_TRUE(now == *old || now == *added) << now.size() << " bytes";
            // It ends by the signal, and claims success only when the
            // entry is in.
            EXPECT_EQ(got.signal, sig);
            if (got.out.find(done("bell")) != std::string::npos) {
                EXPECT_TRUE(same(now, *added));
            }
            if (now == *added && got.out.find(done("bell")) == std::string::npos)
                held++; // came during the call, took effect after it
            tries++;
        }
    }
    // Some of the signals must have come during a call, or nothing was shown.
    EXPECT_GT(held, 0);
    RecordProperty("held", held);
    std::cout << held << " of " << tries << " signals came during a call of "
              << length.count() / 1000 << " ms and were held\n";
}

TEST_F(Interrupt, ASuspendWaitsForTheFilesAndTheProgramGoesOnAfterIt)
{
    int during = 0;
    for (int tenth = 0; tenth <= 10; tenth++) {
        scratch folder;
        shot s = {length * tenth / 10, SIGTSTP, folder.dir, "", false};
        SCOPED_TRACE(testing::Message() << "SIGTSTP after " << s.after.count() << " us of "
                     << length.count());
        writefile(folder.path("sounds.json"), *old);
        outcome got = runtool(folder.dir, "bell\n", {}, fire, &s);
        ASSERT_TRUE(s.stopped);
        ASSERT_TRUE(s.whilestopped == *old || s.whilestopped == *added)
            << s.whilestopped.size() << " bytes while stopped";
        // The stop was held to the end of the call, or came before it.
        if (s.whilestopped == *added && got.out.find(done("bell")) != std::string::npos)
            during++;
        EXPECT_EQ(got.status, 0);
        EXPECT_NE(got.out.find(done("bell")), std::string::npos);
        EXPECT_TRUE(same(readfile(folder.path("sounds.json")), *added));
    }
    std::cout << during << " of 11 suspends stopped the program with the entry in\n";
}

TEST_F(Interrupt, AHardStopLeavesTheOldTextWholeInOneOfTheFiles)
{
    // The rewrite is the last part of a call: most moments lie there.
    int cut = 0;
    for (int twentieth = 0; twentieth <= 20; twentieth++) {
        shot s = {length * (30 + 70 * twentieth / 20) / 100, SIGKILL, "", "", false};
        SCOPED_TRACE(testing::Message() << "SIGKILL after " << s.after.count() << " us of "
                     << length.count());
        scratch folder;
        writefile(folder.path("sounds.json"), *old);
        outcome got = runtool(folder.dir, "bell\n", {}, fire, &s);
        EXPECT_EQ(got.signal, SIGKILL);
        std::string now = readfile(folder.path("sounds.json"));
        if (now == *old || now == *added)
            continue;
        // Cut in the middle of the rewrite: the way back the README gives.
        cut++;
        ASSERT_TRUE(exists(folder.path("sounds.backup")));
        ASSERT_TRUE(same("{" + readfile(folder.path("sounds.backup")), *old));
        // And the next run refuses the cut list, keeping the copy.
        outcome next = runtool(folder.dir, "horn\n");
        EXPECT_NE(next.out.find("sounds.json does not end with }."), std::string::npos);
        EXPECT_TRUE(same("{" + readfile(folder.path("sounds.backup")), *old));
    }
    std::cout << cut << " of 21 hard stops cut the list; its old text was in sounds.backup\n";
}

TEST(Prompt, AtThePromptASignalActsAtOnce)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        scratch folder;
        writefile(folder.path("sounds.json"), "{}");
        shot s = {std::chrono::milliseconds(100), sig, "", "", false};
        outcome got = runtool(folder.dir, "", {}, fire, &s);
        EXPECT_EQ(got.signal, sig);
        EXPECT_EQ(got.out, "Insert your audio file name you want to add into sounds.json: ");
        EXPECT_EQ(readfile(folder.path("sounds.json")), "{}");
        EXPECT_FALSE(exists(folder.path("sounds.backup")));
    }
}

} // namespace
