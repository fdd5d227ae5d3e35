// Prompt loop of addsound: asks for the names of audio files, one after
// another, and adds an entry for each to sounds.json in the working directory.
#include <cstdio>

#include "soundlist.h"
#include "system.h"

static const char prompt[] =
    "Insert your audio file name you want to add into sounds.json: ";
static const char donemessage[] =
    "All done! %s is now added into sounds.json\n"
    "Remember to refresh your Resource pack to use it.\n";

// Tells whether c ends a word.
static bool white(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f'
        || c == '\r';
}

// What readname found.
enum wordread {
    word,     // a name that fits is in nfile
    longword, // a word longer than namemax, consumed whole
    nulword,  // a word holding a NUL byte, consumed whole
    noword,   // standard input has ended
};

// Bytes read ahead of the word reader and given back, last in first out.
static int ahead[3];
static int nahead;

// The next byte of standard input, after those given back.
static int nextbyte()
{
    return nahead > 0 ? ahead[--nahead] : readbyte();
}

// Drops a UTF-8 byte-order mark from the very start of standard input, as
// an editor may save a file of names with one. Anything else is given back.
static void skipmark()
{
    static const int mark[3] = {0xEF, 0xBB, 0xBF};
    int got[3];
    int n = 0;
    while (n < 3 && (got[n] = readbyte()) == mark[n])
        n++;
    if (n == 3)
        return;
    for (int i = n; i >= 0; i--)
        ahead[nahead++] = got[i];
}

// Reads the next word from standard input into nfile (namemax + 1
// characters): white space before it is skipped, and the white-space
// character after it is taken too.
static wordread readname(char *nfile)
{
    static bool started = false;
    if (!started)
        skipmark();
    started = true;
    int c = nextbyte();
    while (white(c))
        c = nextbyte();
    if (c == EOF)
        return noword;
    int n = 0;
    bool nul = false;
    for (; c != EOF && !white(c); c = nextbyte()) {
        if (c == 0)
            nul = true;
        if (n <= namemax)
            nfile[n++] = (char)c;
    }
    if (nul)
        return nulword;
    if (n > namemax)
        return longword;
    nfile[n] = '\0';
    return word;
}

// The message for an outcome other than added.
static const char *message(addresult result)
{
    switch (result) {
    case added:
        break;
    case notfound:
        return "File not found. Check path.";
    case toolong:
        return "Name too long: at most 99 characters. Nothing was added.";
    case badname:
        return "Name must not contain a double quote, a backslash or a "
               "control character. Nothing was added.";
    case badutf8:
        return "Name is not UTF-8 text. Nothing was added.";
    case badstart:
        return "sounds.json does not begin with {. Nothing was added.";
    case badend:
        return "sounds.json does not end with }. Nothing was added. If it "
               "was cut short, its previous text, less its opening brace, "
               "may be in sounds.backup.";
    case unreadable:
        return "Could not read sounds.json. Nothing was added.";
    case cutshort:
        return "Could not read sounds.json to its end: it holds a Ctrl-Z "
               "character. Nothing was added.";
    case nobackup:
        return "Could not write sounds.backup. sounds.json was not changed.";
    case unwritable:
        return "Could not write sounds.json. sounds.json was not changed.";
    case restored:
        return "Could not write sounds.json. Its previous text was put back.";
    case inbackup:
        return "Could not write sounds.json. Its previous text, less its "
               "opening brace, is in sounds.backup.";
    }
    return "";
}

// Runs cycles of prompt, name and outcome until standard input ends, then
// closes the last prompt with a line end. Exits with 1 only when standard
// output cannot be written.
int main()
{
    char nfile[namemax + 1];
    char said[sizeof donemessage + 2 * namemax];
    startconsole();
    for (;;) {
        if (!writetext(prompt))
            return 1;
        addresult result;
        switch (readname(nfile)) {
        case word:
            result = addentry(nfile);
            break;
        case longword:
            result = toolong;
            break;
        case nulword:
            result = badname;
            break;
        case noword:
            return writetext("\n") ? 0 : 1;
        }
        if (result == added)
            snprintf(said, sizeof said, donemessage, nfile);
        else
            snprintf(said, sizeof said, "%s\n", message(result));
        if (!writetext(said))
            return 1;
    }
}
