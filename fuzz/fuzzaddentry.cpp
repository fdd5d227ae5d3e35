// Fuzz target for the list update: each input becomes a name and a sound
// list in a scratch folder; after addentry both files must be exactly what
// the layout says, computed here independently on strings in memory.
//
// Input: a flags byte, a number byte, the name up to the first line feed,
// then the list. The flags shape the list toward the places where faults
// hide: a byte-order mark and white space before the brace, lines around the
// line buffer's length, NUL bytes, an empty object, no last line end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "layout.h"
#include "soundlist.h"

namespace {

const std::string bom = "\xEF\xBB\xBF";

bool white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string shape(uint8_t flags, uint8_t number, std::string list)
{
    if (flags & 8) // a line around the line buffer's length, after the brace
        list.insert(list.empty() ? 0 : 1, "\n" + std::string(4990 + number % 16, 'x') + "\n");
    if (flags & 128) // an object with no member
        list = std::string(number % 7, ' ') + "\n}" + list.substr(0, number % 3);
    if (flags & 4)
        list = "{" + list;
    if (flags & 2) { // white space in front, up to past what is kept
        std::string run;
        for (int i = 0; i < number * 20; i++)
            run += " \t\r\n"[(i + number) % 4];
        list = run + list;
    }
    if (flags & 1)
        list = bom + list;
    if ((flags & 16) && !list.empty() && list.back() == '\n')
        list.pop_back();
    if ((flags & 32) && !list.empty())
        list[number % list.size()] = '\0';
    return list;
}

// Tells whether name is UTF-8 text, decoding it code point by code point.
bool utf8(const std::string &name)
{
    for (size_t i = 0; i < name.size();) {
        unsigned char c = name[i];
        int more = c < 0x80 ? 0 : c >> 5 == 6 ? 1 : c >> 4 == 14 ? 2 : c >> 3 == 30 ? 3 : -1;
        if (more < 0 || i + more >= name.size())
            return false;
        unsigned long point = more == 0 ? c : c & (0x3F >> more);
        for (int k = 1; k <= more; k++) {
            unsigned char next = name[i + k];
            if (next >> 6 != 2)
                return false;
            point = point << 6 | (next & 0x3F);
        }
        static const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
        if (point < least[more] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

// Tells whether the list's text, after its first brace at at, closes that
// brace with its last byte other than white space, and not before, counting
// braces outside strings.
bool closed(const std::string &list, size_t at)
{
    long depth = 0;
    bool instring = false;
    size_t last = list.find_last_not_of(" \t\r\n");
    for (size_t i = at; i < list.size(); i++) {
        char c = list[i];
        if (instring) {
            if (c == '\\')
                i++;
            else if (c == '"')
                instring = false;
        } else if (c == '"')
            instring = true;
        else if (c == '{' || c == '}') {
            depth += c == '{' ? 1 : -1;
            if (depth == 0 && c == '}')
                return i == last; // closed once, at the end
        }
    }
    return false;
}

// What addentry must make of name and list, by the layout.
addresult expected(const std::string &name, const std::string &list,
                   std::string *newlist, std::string *backup)
{
    if (name.size() > 99)
        return toolong;
    for (unsigned char c : name)
        if (c == '"' || c == '\\' || c < 0x20)
            return badname;
    if (!utf8(name))
        return badutf8;
    // A list that ends before its brace was emptied and cut short.
    if (list.size() < 3 && bom.compare(0, list.size(), list) == 0)
        return badend;
    size_t at = list.compare(0, 3, bom) == 0 ? 3 : 0;
    while (at < list.size() && white(list[at]))
        at++;
    if (at > 5000)
        return badstart;
    if (at == list.size())
        return badend;
    if (list[at] != '{')
        return badstart;
    if (!closed(list, at))
        return badend;
    *backup = list.substr(at + 1);
    size_t first = backup->find_first_not_of(" \t\r\n");
    bool empty = first != std::string::npos && (*backup)[first] == '}';
    *newlist = list.substr(0, at) + block(name, !empty) + *backup;
    return added;
}

bool readall(const char *path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

std::string scratchdir;

// Removes the scratch folder and what is in it, at exit.
void removescratch()
{
    remove((scratchdir + "/sounds.json").c_str());
    remove((scratchdir + "/sounds.backup").c_str());
    rmdir(scratchdir.c_str());
}

// Steps into a scratch folder of its own (into, true) or back to where the
// fuzzer started (false): libFuzzer reads its corpus folders by the names
// it was given, from there.
void enterscratch(bool into)
{
    static int home = -1, scratch = -1;
    if (scratch < 0) {
        const char *tmp = getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/addsound-fuzz-XXXXXX";
        home = open(".", O_RDONLY | O_DIRECTORY);
        if (home < 0 || mkdtemp(&dir[0]) == nullptr
            || (scratch = open(dir.c_str(), O_RDONLY | O_DIRECTORY)) < 0) {
            perror("scratch folder");
            exit(1);
        }
        scratchdir = dir;
        atexit(removescratch);
    }
    if (fchdir(into ? scratch : home) != 0) {
        perror("changing folder");
        exit(1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    std::string rest(reinterpret_cast<const char *>(data) + 2, size - 2);
    size_t end = rest.find('\n');
    if (end == std::string::npos || end > 200)
        return 0;
    std::string name = rest.substr(0, end);
    name = name.substr(0, name.find('\0')); // addentry sees a C string
    std::string list = shape(data[0], data[1], rest.substr(end + 1));

    enterscratch(true);
    {
        std::ofstream out("sounds.json", std::ios::binary | std::ios::trunc);
        out << list;
        check(bool(out.flush()), "writing the list");
    }
    remove("sounds.backup");

    std::string wantlist, wantbackup;
    addresult want = expected(name, list, &wantlist, &wantbackup);
    addresult got = addentry(name.c_str());
    if (got != want)
        fprintf(stderr, "addentry gave %d, the layout says %d\n", (int)got, (int)want);
    check(got == want, "the result");

    std::string nowlist, nowbackup;
    check(readall("sounds.json", &nowlist), "reading the list");
    bool hasbackup = readall("sounds.backup", &nowbackup);
    if (want == added) {
        check(nowlist == wantlist, "the list after an insertion");
        check(hasbackup && nowbackup == wantbackup, "the backup after an insertion");
    } else {
        check(nowlist == list, "the list after a refusal");
        check(!hasbackup, "no backup after a refusal");
    }
    enterscratch(false);
    return 0;
}
