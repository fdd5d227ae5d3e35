// Prompt loop of addsound: asks for the names of audio files, one after
// another, and adds an entry for each to sounds.json in the working directory.
#include <cstdio>

#include "soundlist.h"

static const char prompt[] =
    "Insert your audio file name you want to add into sounds.json: ";
static const char donemessage[] =
    "All done! %s is now added into sounds.json\n"
    "Remember to refresh your Resource pack to use it.\n";

// Tells whether c ends a word read with "%s".
static bool white(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f'
        || c == '\r';
}

// Reads the next word from standard input into nfile (namemax + 1
// characters). Returns 1 for a word that fits, 0 for a longer one, which is
// consumed whole and leaves nfile unusable, and -1 when no word can be read.
static int readname(char *nfile)
{
    static_assert(namemax == 99, "the format below must read namemax");
    if (scanf("%99s", nfile) != 1)
        return -1;
    int c = getchar();
    if (c == EOF || white(c))
        return 1;
    while (c != EOF && !white(c))
        c = getchar();
    return 0;
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
    case badstart:
        return "sounds.json does not begin with {. Nothing was added.";
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
    for (;;) {
        if (fputs(prompt, stdout) == EOF || fflush(stdout) == EOF)
            return 1;
        int got = readname(nfile);
        if (got < 0) {
            if (putchar('\n') == EOF || fflush(stdout) == EOF)
                return 1;
            return 0;
        }
        addresult result = got > 0 ? addentry(nfile) : toolong;
        if (result == added)
            printf(donemessage, nfile);
        else
            printf("%s\n", message(result));
    }
}
