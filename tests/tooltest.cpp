// End-to-end tests of addsound: the built program is run in a scratch folder
// with its input piped in, and its console text and both files are checked
// byte for byte. The same cases run against the Windows build under Wine.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "layout.h"
#include "run.h"

namespace {

const std::string prompt =
    "Insert your audio file name you want to add into sounds.json: ";

const std::string toolong =
    "Name too long: at most 99 characters. Nothing was added.\n";
const std::string badname =
    "Name must not contain a double quote, a backslash or a control "
    "character. Nothing was added.\n";
const std::string badstart =
    "sounds.json does not begin with {. Nothing was added.\n";
const std::string notfound = "File not found. Check path.\n";
const std::string badutf8 = "Name is not UTF-8 text. Nothing was added.\n";
const std::string badend =
    "sounds.json does not end with }. Nothing was added. If it was cut short, "
    "its previous text, less its opening brace, may be in sounds.backup.\n";
const std::string nobackup =
    "Could not write sounds.backup. sounds.json was not changed.\n";
const std::string ctrlzmessage =
    "Could not read sounds.json to its end: it holds a Ctrl-Z character. "
    "Nothing was added.\n";
const std::string unreadable = "Could not read sounds.json. Nothing was added.\n";
const std::string unwritable =
    "Could not write sounds.json. sounds.json was not changed.\n";
const std::string restored =
    "Could not write sounds.json. Its previous text was put back.\n";
const std::string inbackup =
    "Could not write sounds.json. Its previous text, less its opening brace, "
    "is in sounds.backup.\n";

// The console text of a run that had one outcome per word and then ran out
// of input.
std::string session(const std::vector<std::string> &outcomes)
{
    std::string text;
    for (const std::string &said : outcomes)
        text += prompt + said;
    return lineends(text + prompt + "\n");
}

// A member whose line, with its line end, is length characters long.
std::string longmember(size_t length)
{
    std::string head = "  \"long\": {\"sounds\": [\"";
    std::string tail = "\"]},\n";
    return head + std::string(length - head.size() - tail.size(), 'x') + tail;
}

const std::string member = "  \"a\": {\"sounds\": [\"a\"]}\n";

// A scratch folder holding a sound list.
class Tool : public ::testing::Test {
protected:
    scratch folder;
    std::string list() { return readfile(folder.path("sounds.json")); }
    std::string backup() { return readfile(folder.path("sounds.backup")); }
    bool hasbackup() { return exists(folder.path("sounds.backup")); }
    void putlist(const std::string &text) { writefile(folder.path("sounds.json"), text); }
    outcome run(const std::string &input, const runoptions &options = {})
    {
        return runtool(folder.dir, input, options);
    }
    // Runs input against a list that must come out of it unchanged.
    void expectunchanged(const std::string &text, const std::string &input,
                         const std::string &console)
    {
        putlist(text);
        outcome got = run(input);
        EXPECT_EQ(got.out, console);
        EXPECT_EQ(got.status, 0);
        EXPECT_TRUE(same(list(), text));
        EXPECT_FALSE(hasbackup());
    }
};

// The text after a list's brace, one member whose string holds piece at
// offset at of that text: where the list is read in pieces of 256 KiB, a
// backslash at a piece's end escapes the first character of the next.
std::string straddle(size_t at, const std::string &piece)
{
    std::string head = "\n  \"k\": \"";
    return head + std::string(at - head.size(), 'x') + piece + "\"\n}\n";
}

struct layout {
    const char *label;
    std::string before; // what stands in front of the opening brace
    std::string after;  // what follows it
    bool empty;         // the object has no member
    bool json;          // the list is valid JSON
};

TEST_F(Tool, EntryGoesInFrontOfTheListAndTheRestIsKept)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::vector<layout> cases = {
        {"three lines", "", "\n" + member + "}\n", false, true},
        {"no line end at the end", "", "\n" + member + "}", false, true},
        {"CR LF line ends", "", "\r\n  \"a\": {\"sounds\": [\"a\"]}\r\n}\r\n", false, true},
        {"members on the brace's line", "", " \"a\": {\"sounds\": [\"a\"]}, \"b\": {\"sounds\": []}}", false, true},
        {"byte-order mark", bom, "\n" + member + "}\n", false, true},
        {"white space in front", " \t\n\r\n", "\n" + member + "}\n", false, true},
        {"mark and white space", bom + "\n\n", "\n" + member + "}\n", false, true},
        {"5000 blanks in front", std::string(5000, ' '), "\n" + member + "}\n", false, true},
        {"braces and quotes in strings", "", "\n  \"a}\": \"{\\\"}\\\\\",\n  \"b\": [\"}}\"]\n}\n", false, true},
        {"escape across a piece of the read", "", straddle(262143, "\\\"}{"), false, true},
        {"escape at a piece's end", "", straddle(262142, "\\\"}{"), false, true},
        {"quote after a piece's end", "", straddle(262144, "\\\"}{"), false, true},
        {"empty object", "", "}", true, true},
        {"empty object with white space", "", " \n\t\n}\n", true, true},
        {"empty object after a mark", bom + "\n", "}\n", true, true},
        {"line of 4999", "", "\n" + longmember(4999) + member + "}\n", false, true},
        {"line of 5000", "", "\n" + longmember(5000) + member + "}\n", false, true},
        {"line of 5001", "", "\n" + longmember(5001) + member + "}\n", false, true},
        {"line of 20000", "", "\n" + longmember(20000) + member + "}\n", false, true},
        {"NUL bytes", "", std::string("\n  \"a\0b\": 1\0\n}", 14), false, false},
    };
    for (const layout &c : cases) {
        SCOPED_TRACE(c.label);
        scratch folder;
        std::string old = c.before + "{" + c.after;
        writefile(folder.path("sounds.json"), old);
        outcome got = runtool(folder.dir, "bell\n");
        EXPECT_EQ(got.out, session({done("bell")}));
        EXPECT_EQ(got.status, 0);
        std::string now = readfile(folder.path("sounds.json"));
        EXPECT_TRUE(same(now, lineends(c.before + block("bell", !c.empty) + c.after)));
        EXPECT_TRUE(same(readfile(folder.path("sounds.backup")), lineends(c.after)));
        if (!c.json)
            continue;
        // A real parser sees the new entry first, then the old members.
        auto parsed = nlohmann::ordered_json::parse(now, nullptr, false, false);
        std::string body = old.substr(c.before.size());
        auto before = nlohmann::ordered_json::parse(body);
        ASSERT_FALSE(parsed.is_discarded()) << now;
        ASSERT_EQ(parsed.size(), before.size() + 1);
        EXPECT_EQ(parsed.begin().key(), "bell");
        EXPECT_EQ(parsed.begin().value(), nlohmann::ordered_json::parse(R"({"sounds": ["bell"]})"));
        parsed.erase("bell");
        EXPECT_EQ(parsed, before);
    }
}

TEST_F(Tool, EachWordOfALineIsACycle)
{
    std::string rest = "\n" + member + "}\n";
    putlist("{" + rest);
    outcome got = run("one two\n");
    EXPECT_EQ(got.out, session({done("one"), done("two")}));
    std::string parked = block("one").substr(1) + rest;
    EXPECT_TRUE(same(list(), lineends(block("two") + parked)));
    EXPECT_TRUE(same(backup(), lineends(parked)));
}

TEST_F(Tool, EmptyLinesArePassedOver)
{
    putlist("{}");
    outcome got = run("\n\n \t \n\tbell\n\n");
    EXPECT_EQ(got.out, session({done("bell")}));
    EXPECT_TRUE(same(list(), lineends(block("bell", false) + "}")));
}

TEST_F(Tool, EndOfInputClosesThePromptAndEnds)
{
    putlist("{}");
    outcome got = run("");
    EXPECT_EQ(got.out, session({}));
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(same(list(), "{}"));
    EXPECT_FALSE(hasbackup());
}

struct naming {
    const char *label;
    std::string word;
    std::string refusal; // the message, or empty when the name is added
};

TEST_F(Tool, NamesAreTakenAsTheyAreOrRefused)
{
    const std::vector<naming> cases = {
        {"99 characters", std::string(99, 'n'), ""},
        {"UTF-8", "glocke_l\xC3\xA4uten_\xE2\x99\xAA_\xF0\x9F\x94\x94", ""},
        {"punctuation", "ambient/cave-01.ogg{},[]:'", ""},
        {"printf conversions", "100%s%n", ""},
        {"DEL", "a\x7f", ""},
        {"100 characters", std::string(100, 'n'), toolong},
        {"double quote", "say\"hi", badname},
        {"backslash", "back\\slash", badname},
        {"control character", "bell\x01", badname},
        {"escape sequence", "\x1b[31mred", badname},
        {"NUL", std::string("abc\0def", 7), badname},
        {"NUL alone", std::string(1, '\0'), badname},
        {"code page 437", "glocke_l\x84uten", badutf8},
        {"Latin-1", "glocke_l\xE4uten", badutf8},
        {"lone continuation byte", "\x80" "bell", badutf8},
        {"overlong slash", "a\xC0\xAF", badutf8},
        {"overlong three bytes", "a\xE0\x80\xAF", badutf8},
        {"overlong four bytes", "a\xF0\x80\x80\xAF", badutf8},
        {"surrogate", "a\xED\xA0\x80", badutf8},
        {"past U+10FFFF", "a\xF4\x90\x80\x80", badutf8},
        {"cut at the end", "bell\xE2\x99", badutf8},
        {"cut in the middle", "be\xE2\x99ll", badutf8},
        {"byte 0xFF", "bell\xFF", badutf8},
    };
    const std::string old = "{\n" + member + "}\n";
    for (const naming &c : cases) {
        SCOPED_TRACE(c.label);
        scratch folder;
        writefile(folder.path("sounds.json"), old);
        outcome got = runtool(folder.dir, c.word + "\n");
        std::string list = readfile(folder.path("sounds.json"));
        if (c.refusal.empty()) {
            EXPECT_EQ(got.out, session({done(c.word)}));
            EXPECT_TRUE(same(list, lineends(block(c.word) + old.substr(1))));
        } else {
            EXPECT_EQ(got.out, session({c.refusal}));
            EXPECT_TRUE(same(list, old));
            EXPECT_FALSE(exists(folder.path("sounds.backup")));
        }
    }
}

TEST_F(Tool, AByteOrderMarkIsDroppedOnlyAtTheStartOfInput)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {bom + "bell\n", {done("bell")}},
        {bom + "\nbell horn\n", {done("bell"), done("horn")}},
        {bom, {}},
        {"\xEF\xBB" "bell\n", {badutf8}},
        {"bell " + bom + "horn\n", {done("bell"), done(bom + "horn")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.first));
        scratch folder;
        writefile(folder.path("sounds.json"), "{}");
        outcome got = runtool(folder.dir, c.first);
        EXPECT_EQ(got.out, session(c.second));
    }
}

TEST_F(Tool, ALongWordIsRefusedWholeAndTheNextOneTaken)
{
    putlist("{}");
    outcome got = run(std::string(250, 'w') + " bell\n" + std::string(100, 'v'));
    EXPECT_EQ(got.out, session({toolong, done("bell"), toolong}));
    EXPECT_TRUE(same(list(), lineends(block("bell", false) + "}")));
}

TEST_F(Tool, WithoutAListEveryWordIsNotFoundAndNothingIsMade)
{
    outcome got = run("bell horn\n");
    EXPECT_EQ(got.out, session({notfound, notfound}));
    EXPECT_EQ(got.status, 0);
    EXPECT_FALSE(exists(folder.path("sounds.json")));
    EXPECT_FALSE(hasbackup());
}

TEST_F(Tool, AListThatDoesNotBeginWithABraceIsLeftAlone)
{
    const std::string bom = "\xEF\xBB\xBF";
    const std::vector<std::string> lists = {
        "x{}", "[]", "\n x {}", "\xEF\xBB{}", bom + bom + "{}", "\xEF{}",
        std::string(5001, ' ') + "{}",
    };
    for (const std::string &text : lists) {
        SCOPED_TRACE(testing::PrintToString(text.substr(0, 12)));
        expectunchanged(text, "bell\n", session({badstart}));
    }
}

// What an earlier call left in sounds.backup, which a refusal must keep.
const std::string kept = "\n  \"kept\": {\"sounds\": [\"kept\"]}\n}\n";

TEST_F(Tool, ACtrlZIsCarriedOverOrTheListIsLeftAlone)
{
    // Windows' text streams end a file at a Ctrl-Z; the list must not be cut
    // there. Elsewhere the byte is carried like any other.
    for (const std::string &ends : {std::string("\n"), std::string("\r\n")}) {
        SCOPED_TRACE(testing::PrintToString(ends));
        scratch folder;
        std::string rest = ends + "  \"a\": 1,\x1a" + ends + "  \"b\": 2" + ends + "}" + ends;
        writefile(folder.path("sounds.json"), "{" + rest);
        writefile(folder.path("sounds.backup"), kept);
        outcome got = runtool(folder.dir, "bell\n");
        std::string list = readfile(folder.path("sounds.json"));
        if (onwindows()) {
            EXPECT_EQ(got.out, session({ctrlzmessage}));
            EXPECT_TRUE(same(list, "{" + rest));
            EXPECT_TRUE(same(readfile(folder.path("sounds.backup")), kept));
        } else {
            EXPECT_EQ(got.out, session({done("bell")}));
            EXPECT_TRUE(same(list, block("bell") + rest));
        }
    }
}

TEST_F(Tool, AListThatDoesNotEndWithABraceKeepsTheBackup)
{
    // A list cut short by a failed rewrite or a hard stop: its whole text is
    // in sounds.backup, which must not be overwritten with the cut one.
    const std::vector<std::string> lists = {
        "", // emptied by a rewrite that was stopped at once
        "  \n",
        "\xEF\xBB\xBF",
        "\xEF\xBB",
        "\xEF\xBB\xBF\n\n",
        "{",
        "{\n  \"a\": {\"sounds\": [\"a\"]},\n  \"b\": {\"sou",
        "{\n" + member,
        "{\n  \"a\": {\"sounds\": [\"a\"]},\n  \"b\": {\"sounds\": [\"b\"]}\n",
        "{\n  \"a}\": \"{\\\"}\"\n",
        "{\n  \"a\": \"}",
        "{}x",
        "{} \n\t\r\n]",
        "{\"a\": 1}{\"b\": 2}", // more after the object: a cut of it
        "{\"a\": 1}\n{}\n",      // would pass for a whole list
        "{\"a\": 1}}",
        "{\"a\": 1} x",
        "{\"a\": \"}\"} \"}\"",
        std::string("{}\0", 3),
        "{}\x1a", // on Windows a text read ends at it: refused as such
        "\xEF\xBB\xBF{\n  \"a\": 1\n",
    };
    for (const std::string &text : lists) {
        SCOPED_TRACE(testing::PrintToString(text));
        scratch folder;
        writefile(folder.path("sounds.json"), text);
        writefile(folder.path("sounds.backup"), kept);
        outcome got = runtool(folder.dir, "bell\n");
        bool ctrlz = onwindows() && !text.empty() && text.back() == '\x1a';
        EXPECT_EQ(got.out, session({ctrlz ? ctrlzmessage : badend}));
        EXPECT_TRUE(same(readfile(folder.path("sounds.json")), text));
        EXPECT_TRUE(same(readfile(folder.path("sounds.backup")), kept));
    }
}

TEST_F(Tool, ABackupThatCannotBeMadeLeavesTheListAlone)
{
    const std::string old = "{\n" + member + "}\n";
    putlist(old);
    ASSERT_EQ(mkdir(folder.path("sounds.backup").c_str(), 0755), 0);
    outcome got = run("bell\n");
    EXPECT_EQ(got.out, session({nobackup}));
    EXPECT_TRUE(same(list(), old));
}

TEST_F(Tool, ProgramsRunAtOnceEachAddEveryNameOnce)
{
    // A script adding a folder of sounds in parallel, or two windows. Beside
    // the Windows program, half the programs are the native one, which
    // locks the list in another way: given many more names, they are still
    // at work while Wine starts the others.
    const bool mixed = onwindows() && !nativepath().empty();
    const int programs = 4;
    auto native = [&](int p) { return mixed && p % 2 == 0; };
    std::vector<int> names(programs);
    for (int p = 0; p < programs; p++)
        names[p] = native(p) ? 400 : onwindows() ? 15 : 40;
    const int members = 3000;
    std::string old = "{\n";
    for (int i = 0; i < members; i++)
        old += "  \"old" + std::to_string(i) + "\": {\"sounds\": [\"old/" + std::to_string(i)
             + "\"]}" + (i + 1 < members ? ",\n" : "\n");
    old += "}\n";
    putlist(old);
    std::vector<outcome> outcomes(programs);
    std::vector<std::thread> threads;
    for (int p = 0; p < programs; p++)
        threads.emplace_back([&, p] {
            std::string input;
            for (int n = 0; n < names[p]; n++)
                input += "p" + std::to_string(p) + "_" + std::to_string(n) + "\n";
            runoptions options;
            options.native = native(p);
            outcomes[p] = runtool(folder.dir, input, options);
        });
    for (std::thread &t : threads)
        t.join();
    int added = 0;
    for (int p = 0; p < programs; p++) {
        std::string expected;
        for (int n = 0; n < names[p]; n++)
            expected += done("p" + std::to_string(p) + "_" + std::to_string(n));
        expected += "\n";
        std::string got = outcomes[p].out;
        for (size_t at; (at = got.find(native(p) ? prompt : lineends(prompt))) != std::string::npos;)
            got.erase(at, prompt.size());
        EXPECT_EQ(got, native(p) ? expected : lineends(expected)) << "program " << p;
        added += names[p];
    }
    // Valid JSON: every new name once, each program's in the reverse of its
    // order, then the old members in theirs.
    auto parsed = nlohmann::ordered_json::parse(list(), nullptr, false, false);
    ASSERT_FALSE(parsed.is_discarded()) << "the list is not valid JSON";
    ASSERT_EQ(parsed.size(), size_t(added + members));
    std::vector<int> next(names);
    int at = 0;
    for (auto &item : parsed.items()) {
        const std::string &key = item.key();
        if (at++ < added) {
            ASSERT_EQ(key[0], 'p') << key;
            int p = std::stoi(key.substr(1));
            EXPECT_EQ(key, "p" + std::to_string(p) + "_" + std::to_string(--next[p]));
            EXPECT_EQ(item.value(), nlohmann::ordered_json::parse("{\"sounds\": [\"" + key + "\"]}"));
        } else {
            EXPECT_EQ(key, "old" + std::to_string(at - 1 - added));
        }
    }
}

// Sends SIGINT to the program after the microseconds at arg; Wine turns it
// into the console's Ctrl-C event.
void interrupt(int pid, void *arg)
{
    waitdefaults(pid);
    std::this_thread::sleep_for(std::chrono::microseconds(*static_cast<long *>(arg)));
    kill(pid, SIGINT);
}

TEST_F(Tool, ACtrlCDuringAnInsertionOnWindowsWaitsForTheFiles)
{
    if (!onwindows())
        GTEST_SKIP() << "the native program's stops have tests of their own";
    const std::string old = biglist(32 << 20);
    const std::string added = lineends(block("bell") + old.substr(1));
    putlist(old);
    auto start = std::chrono::steady_clock::now();
    run("bell\n");
    long length = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start).count();
    // Wine takes most of a run to start: the moments lie in the later part.
    int held = 0;
    for (int step = 0; step < 10; step++) {
        long after = length * (30 + 7 * step) / 100;
        SCOPED_TRACE(testing::Message() << "Ctrl-C after " << after << " us of " << length);
        putlist(old);
        outcome got = runtool(folder.dir, "bell\n", {}, interrupt, &after);
        std::string now = list();
        ASSERT_TRUE(now == old || now == added) << now.size() << " bytes";
        bool said = got.out.find(lineends(done("bell"))) != std::string::npos;
        if (now == added && !said) {
            held++; // came during the call: ended the program after it,
            EXPECT_EQ(got.status, 0xC000013A & 0xFF); // as Windows' own handling does
        }
    }
    EXPECT_GT(held, 0);
    std::cout << held << " of 10 Ctrl-C events came during a call of " << length / 1000
              << " ms and were held\n";
}

// Faults below are made the Linux way and are left to the native build.
#define NATIVEONLY() \
    if (onwindows()) GTEST_SKIP() << "made with a Linux device or limit"

// A file planted in the pack's folder in place of one of the two files.
struct planted {
    const char *label;
    void (*plant)(const scratch &folder); // after the list is written
    std::string message;
    bool windows; // Wine can make the case
};

void linkbackupout(const scratch &folder)
{
    ASSERT_EQ(symlink(folder.path("outside/target").c_str(), folder.path("sounds.backup").c_str()), 0);
}
void linkbackupnull(const scratch &folder)
{
    ASSERT_EQ(symlink("/dev/null", folder.path("sounds.backup").c_str()), 0);
}
void linkbackupnowhere(const scratch &folder)
{
    ASSERT_EQ(symlink(folder.path("outside/new").c_str(), folder.path("sounds.backup").c_str()), 0);
}
void hardlinkbackup(const scratch &folder)
{
    ASSERT_EQ(link(folder.path("sounds.json").c_str(), folder.path("sounds.backup").c_str()), 0);
}
void hardlinkbackupout(const scratch &folder)
{
    ASSERT_EQ(link(folder.path("outside/target").c_str(), folder.path("sounds.backup").c_str()), 0);
}
void listtobackup(const scratch &folder)
{
    ASSERT_EQ(rename(folder.path("sounds.json").c_str(), folder.path("sounds.backup").c_str()), 0);
    ASSERT_EQ(symlink("sounds.backup", folder.path("sounds.json").c_str()), 0);
}
void fifobackup(const scratch &folder)
{
    ASSERT_EQ(mkfifo(folder.path("sounds.backup").c_str(), 0644), 0);
}
void fifolist(const scratch &folder)
{
    ASSERT_EQ(unlink(folder.path("sounds.json").c_str()), 0);
    ASSERT_EQ(mkfifo(folder.path("sounds.json").c_str(), 0644), 0);
}
void looplist(const scratch &folder)
{
    ASSERT_EQ(unlink(folder.path("sounds.json").c_str()), 0);
    ASSERT_EQ(symlink("sounds.json", folder.path("sounds.json").c_str()), 0);
}
void folderbackup(const scratch &folder)
{
    ASSERT_EQ(mkdir(folder.path("sounds.backup").c_str(), 0755), 0);
}

TEST_F(Tool, PlantedFilesAreRefusedWithoutWaitingOrWritingAnything)
{
    const std::vector<planted> cases = {
        {"backup links to a file outside", linkbackupout, nobackup, true},
        {"backup links to /dev/null", linkbackupnull, nobackup, false},
        {"backup links to a file not yet there", linkbackupnowhere, nobackup, true},
        {"backup is a hard link of the list", hardlinkbackup, nobackup, true},
        {"backup is a hard link of a file outside", hardlinkbackupout, nobackup, true},
        {"list links to the backup", listtobackup, nobackup, true},
        {"backup is a FIFO", fifobackup, nobackup, false},
        {"list is a FIFO", fifolist, unreadable, false},
        {"list is a link to itself", looplist, unreadable, false},
        {"backup is a folder", folderbackup, nobackup, true},
    };
    const std::string old = "{\n" + member + "}\n";
    const std::string target = "echo 'a start-up file'\n";
    for (const planted &c : cases) {
        SCOPED_TRACE(c.label);
        if (onwindows() && !c.windows)
            continue;
        scratch folder;
        ASSERT_EQ(mkdir(folder.path("outside").c_str(), 0755), 0);
        writefile(folder.path("outside/target"), target);
        writefile(folder.path("sounds.json"), old);
        c.plant(folder);
        // The test's own timeout ends a run that waits on a FIFO.
        outcome got = runtool(folder.dir, "bell\n");
        EXPECT_EQ(got.out, session({c.message}));
        EXPECT_EQ(got.status, 0);
        struct stat st;
        if (stat(folder.path("sounds.json").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            EXPECT_TRUE(same(readfile(folder.path("sounds.json")), old));
        }
        EXPECT_TRUE(same(readfile(folder.path("outside/target")), target));
        EXPECT_FALSE(exists(folder.path("outside/new")));
    }
}

TEST_F(Tool, ALinkedBackupIsRefusedInAFolderOfAnyName)
{
    // Wine follows a link that Windows would show as one; the program then
    // compares the file's final path with the folder's, whatever its name.
    const std::string dir = folder.path("\xE9\x9F\xB3\xE5\xA3\xB0 pack \xF0\x9F\x98\x80");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string old = "{\n" + member + "}\n";
    writefile(dir + "/sounds.json", old);
    writefile(dir + "/target", "precious");
    ASSERT_EQ(symlink("target", (dir + "/sounds.backup").c_str()), 0);
    outcome got = runtool(dir, "bell\n");
    EXPECT_EQ(got.out, session({nobackup}));
    EXPECT_TRUE(same(readfile(dir + "/target"), "precious"));
    EXPECT_TRUE(same(readfile(dir + "/sounds.json"), old));
}

TEST_F(Tool, AListLinkedFromElsewhereIsFollowed)
{
    // The user's own choice: the list lives elsewhere, the pack links to it.
    ASSERT_EQ(mkdir(folder.path("elsewhere").c_str(), 0755), 0);
    const std::string old = "{\n" + member + "}\n";
    writefile(folder.path("elsewhere/sounds.json"), old);
    ASSERT_EQ(symlink("elsewhere/sounds.json", folder.path("sounds.json").c_str()), 0);
    outcome got = run("bell\n");
    EXPECT_EQ(got.out, session({done("bell")}));
    EXPECT_TRUE(same(readfile(folder.path("elsewhere/sounds.json")), lineends(block("bell") + old.substr(1))));
    EXPECT_TRUE(same(backup(), lineends(old.substr(1))));
}

TEST_F(Tool, TheBackupIsNoWiderThanTheList)
{
    NATIVEONLY();
    struct { mode_t list; int backup; } cases[] = {
        {0600, -1},   // no backup yet
        {0640, 0644}, // an older, wider backup
        {0644, 0600},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.list << " " << c.backup);
        scratch folder;
        writefile(folder.path("sounds.json"), "{}");
        ASSERT_EQ(chmod(folder.path("sounds.json").c_str(), c.list), 0);
        if (c.backup >= 0) {
            writefile(folder.path("sounds.backup"), kept);
            ASSERT_EQ(chmod(folder.path("sounds.backup").c_str(), c.backup), 0);
        }
        mode_t old = umask(0);
        outcome got = runtool(folder.dir, "bell\n");
        umask(old);
        EXPECT_EQ(got.out, session({done("bell")}));
        struct stat st;
        ASSERT_EQ(stat(folder.path("sounds.backup").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.list);
    }
}

// Mounts a tmpfs of size bytes on dir, seen by this test process and the
// programs it starts alone. False where that cannot be done here.
bool smalldisk(const std::string &dir, size_t size)
{
    if (unshare(CLONE_NEWNS) != 0) {
        uid_t uid = geteuid();
        gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        writefile("/proc/self/setgroups", "deny");
        writefile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        writefile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    std::string options = "size=" + std::to_string(size);
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// Fills what is left of the disk that holds path.
void fill(const std::string &path)
{
    FILE *fp = fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    static const char page[4096] = {};
    while (fwrite(page, 1, sizeof page, fp) == sizeof page) {
    }
    fclose(fp);
    fp = fopen(path.c_str(), "ab"); // the last bytes that fit
    while (fp != nullptr && fwrite(page, 1, 1, fp) == 1 && fflush(fp) == 0) {
    }
    if (fp != nullptr)
        fclose(fp);
}

TEST_F(Tool, AFullDiskLeavesTheListWhole)
{
    NATIVEONLY();
    scratch disk;
    if (!smalldisk(disk.dir, 4 << 20))
        GTEST_SKIP() << "no private tmpfs can be mounted here";
    // Lists of whole pages: the backup takes the old one's place, the
    // rewrite needs a page more than the list had.
    const std::string page = longmember(4096 - 2 - member.size() - 2);
    const std::string old = "{\n" + page + member + "}\n";
    ASSERT_EQ(old.size(), 4096u);
    struct {
        const char *label;
        bool oldbackup; // a backup of the list's size is there already
        std::string message;
    } cases[] = {
        {"no room for the backup", false, nobackup},
        {"no room for the rewrite", true, restored},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::string dir = disk.path(c.oldbackup ? "b" : "a");
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        writefile(dir + "/sounds.json", old);
        if (c.oldbackup)
            writefile(dir + "/sounds.backup", std::string(old.size(), 'k'));
        fill(dir + "/filler");
        outcome got = runtool(dir, "bell\n");
        EXPECT_EQ(got.out, session({c.message}));
        EXPECT_TRUE(same(readfile(dir + "/sounds.json"), old));
        if (c.oldbackup) {
            EXPECT_TRUE(same(readfile(dir + "/sounds.backup"), old.substr(1)));
        }
        ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
    }
}

// The strace lines of a run that mention a file of the list's folder.
std::vector<std::string> tracelines(const std::string &log)
{
    std::vector<std::string> lines;
    std::istringstream in(readfile(log));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The first line at or after from that holds both texts, or -1.
int findline(const std::vector<std::string> &lines, const std::string &a,
             const std::string &b, int from = 0)
{
    for (int i = from; i < (int)lines.size(); i++)
        if (lines[i].find(a) != std::string::npos && lines[i].find(b) != std::string::npos)
            return i;
    return -1;
}

TEST_F(Tool, WhatIsWrittenIsOnTheDiskBeforeTheNextStep)
{
    NATIVEONLY();
    if (!exists("/usr/bin/strace"))
        GTEST_SKIP() << "needs strace";
    scratch logs;
    const std::string old = "{\n" + member + "}\n";
    for (bool first : {true, false}) {
        SCOPED_TRACE(first ? "a new backup" : "an existing backup");
        putlist(old);
        runoptions options;
        options.strace = logs.path(first ? "new" : "old");
        outcome got = run("bell\n", options);
        ASSERT_EQ(got.out, session({done("bell")}));
        auto lines = tracelines(options.strace);
        std::string list = "/sounds.json>", backup = "/sounds.backup>";
        int backupsynced = findline(lines, "fsync(", backup);
        int foldersynced = findline(lines, "fsync(", folder.dir + ">");
        int emptied = findline(lines, "ftruncate(", list);
        int listsynced = findline(lines, "fsync(", list);
        int said = findline(lines, "write(1", "All done!");
        ASSERT_GE(backupsynced, 0);
        ASSERT_GE(emptied, 0);
        EXPECT_LT(backupsynced, emptied);
        EXPECT_LT(emptied, listsynced);
        EXPECT_LT(listsynced, said);
        // The folder holds the new name on the disk before the list is
        // emptied; an existing name needs no flush.
        if (first) {
            EXPECT_GE(foldersynced, 0);
            EXPECT_LT(foldersynced, emptied);
        } else {
            EXPECT_EQ(foldersynced, -1);
        }
        // The list is never emptied by an opening, nor the backup.
        EXPECT_EQ(findline(lines, "sounds.json", "O_TRUNC"), -1);
        EXPECT_EQ(findline(lines, "sounds.backup", "O_TRUNC"), -1);
    }
}

TEST_F(Tool, AConsoleThatCannotBeWrittenStopsItBeforeAnyChange)
{
    NATIVEONLY();
    const std::string old = "{\n" + member + "}\n";
    putlist(old);
    runoptions options;
    options.output = "/dev/full";
    outcome got = run("bell\n", options);
    EXPECT_EQ(got.status, 1);
    EXPECT_TRUE(same(list(), old));
    EXPECT_FALSE(hasbackup());
}

TEST_F(Tool, AListThatIsAFolderIsNotChanged)
{
    ASSERT_EQ(mkdir(folder.path("sounds.json").c_str(), 0755), 0);
    outcome got = run("bell\n");
    // Windows cannot open a folder as a file at all.
    EXPECT_EQ(got.out, session({onwindows() ? notfound : unreadable}));
    EXPECT_TRUE(exists(folder.path("sounds.json")));
    EXPECT_FALSE(hasbackup());
}

TEST_F(Tool, AListThatCannotBeWrittenIsNotChangedNorItsBackup)
{
    NATIVEONLY();
    // A copy of the program that nobody may run, in a folder nobody may
    // write in, with a list that nobody may write.
    runoptions options;
    options.unprivileged = true;
    options.program = folder.path("addsound");
    writefile(options.program, readfile(toolpath()));
    ASSERT_EQ(chmod(options.program.c_str(), 0755), 0);
    ASSERT_EQ(chmod(folder.dir.c_str(), 0777), 0);
    const std::string old = "{\n" + member + "}\n";
    putlist(old);
    ASSERT_EQ(chmod(folder.path("sounds.json").c_str(), 0444), 0);
    writefile(folder.path("sounds.backup"), kept);
    ASSERT_EQ(chmod(folder.path("sounds.backup").c_str(), 0666), 0);
    outcome got = run("bell\n", options);
    EXPECT_EQ(got.out, session({unwritable}));
    EXPECT_TRUE(same(list(), old));
    EXPECT_TRUE(same(backup(), kept));
}

TEST_F(Tool, ARewriteCutShortPutsTheOldTextBack)
{
    NATIVEONLY();
    // The limit raises SIGXFSZ, which must not end the program mid-write.
    const std::string old = "\xEF\xBB\xBF\n{\n" + longmember(30000) + member + "}\n";
    putlist(old);
    runoptions options;
    options.filesize = old.size() + 10; // the old text fits, the new one not
    outcome got = run("bell\n", options);
    EXPECT_EQ(got.out, session({restored}));
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(same(list(), old));
}

TEST_F(Tool, ARewriteThatCannotBePutBackLeavesTheTextInTheBackupForGood)
{
    NATIVEONLY();
    // Put back, the list would lack its last byte, its closing brace.
    const std::string old = "{\n" + longmember(30000) + "  \"z\": 1\n}";
    putlist(old);
    runoptions options;
    options.filesize = old.size() - 1; // just the backup fits
    // The second word, and a second run, find the list cut and keep the copy.
    outcome got = run("bell horn\n", options);
    EXPECT_EQ(got.out, session({inbackup, badend}));
    EXPECT_TRUE(same(backup(), old.substr(1)));
    got = run("horn\n");
    EXPECT_EQ(got.out, session({badend}));
    EXPECT_TRUE(same(backup(), old.substr(1)));
    // What the README tells a user to do gives the list back.
    EXPECT_TRUE(same("{" + backup(), old));
}

} // namespace
