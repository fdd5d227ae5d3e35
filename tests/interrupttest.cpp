// Interrupts of addsound: SIGINT and SIGTERM sent at moments spread over one
// insertion into a large list. Whenever they come, the list afterwards is the
// old one or the old one with the new entry in front, never anything between.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "layout.h"
#include "run.h"

namespace {

using steady = std::chrono::steady_clock;

// A list of about size bytes.
std::string biglist(size_t size)
{
    std::string text = "{\n";
    for (int i = 0; text.size() < size; i++)
        text += "  \"block.thing" + std::to_string(i) + ".step\": {\"sounds\": [\"block/thing"
              + std::to_string(i) + "/step\", {\"name\": \"x\", \"volume\": 0.5}]},\n";
    return text + "  \"last\": {\"sounds\": [\"last\"]}\n}\n";
}

struct shot {
    std::chrono::microseconds after;
    int signal;
};

void fire(int pid, void *arg)
{
    const shot *s = static_cast<const shot *>(arg);
    std::this_thread::sleep_for(s->after);
    kill(pid, s->signal);
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

TEST(Interrupt, TheListIsAlwaysWholeAndTheSignalStillEndsTheProgram)
{
    const std::string old = biglist(32 << 20);
    const std::string added = block("bell") + old.substr(1);
    const auto length = calllength(old);
    int held = 0;
    for (int sig : {SIGINT, SIGTERM}) {
        for (int tenth = 0; tenth <= 10; tenth++) {
            shot s = {length * tenth / 10, sig};
            SCOPED_TRACE(testing::Message() << strsignal(sig) << " after "
                         << s.after.count() << " us of " << length.count());
            scratch folder;
            writefile(folder.path("sounds.json"), old);
            outcome got = runtool(folder.dir, "bell\n", {}, fire, &s);
            std::string now = readfile(folder.path("sounds.json"));
            ASSERT_TRUE(now == old || now == added) << now.size() << " bytes";
            // It ends by the signal, and claims success only when the
            // entry is in.
            EXPECT_EQ(got.signal, sig);
            if (got.out.find(done("bell")) != std::string::npos) {
                EXPECT_TRUE(same(now, added));
            }
            if (now == added && got.out.find(done("bell")) == std::string::npos)
                held++; // came during the call, took effect after it
        }
    }
    // Some of the signals must have come during a call, or nothing was shown.
    EXPECT_GT(held, 0);
    RecordProperty("held", held);
    std::cout << held << " of 22 signals came during a call of " << length.count() / 1000
              << " ms and were held\n";
}

TEST(Interrupt, AtThePromptASignalActsAtOnce)
{
    for (int sig : {SIGINT, SIGTERM}) {
        scratch folder;
        writefile(folder.path("sounds.json"), "{}");
        shot s = {std::chrono::milliseconds(100), sig};
        outcome got = runtool(folder.dir, "", {}, fire, &s);
        EXPECT_EQ(got.signal, sig);
        EXPECT_EQ(got.out, "Insert your audio file name you want to add into sounds.json: ");
        EXPECT_EQ(readfile(folder.path("sounds.json")), "{}");
        EXPECT_FALSE(exists(folder.path("sounds.backup")));
    }
}

} // namespace
