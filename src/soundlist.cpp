// Sound list update: inserts an entry at the head of sounds.json. The list is
// never parsed: its text after the opening brace is parked in sounds.backup,
// the list is rewritten with the entry block (which brings a brace of its
// own), and the parked text is appended behind it.
#include "soundlist.h"

#include <csignal>

static const char listname[] = "sounds.json";
static const char backupname[] = "sounds.backup";

// The entry block: the name twice, then "," or, for an object that had no
// member, nothing.
static const char entry[] =
    "{\n  \"%s\": {\n    \"sounds\": [\n       \"%s\"\n]\n}%s";

static volatile std::sig_atomic_t heldsignal;
static void (*oldint)(int);
static void (*oldterm)(int);

// Notes a signal to be raised once the files are closed.
static void hold(int sig)
{
    heldsignal = sig;
    std::signal(sig, hold); // some platforms reset the handler on delivery
}

// Starts holding sig, unless the program was started with sig ignored.
// Returns the disposition to restore.
static void (*holdone(int sig))(int)
{
    void (*old)(int) = std::signal(sig, hold);
    if (old == SIG_IGN)
        std::signal(sig, SIG_IGN);
    return old;
}

// Gives the signals back their old dispositions; one that arrived while they
// were held now takes effect.
static void release()
{
    if (oldint != SIG_ERR)
        std::signal(SIGINT, oldint);
    if (oldterm != SIG_ERR)
        std::signal(SIGTERM, oldterm);
    if (heldsignal != 0)
        std::raise(heldsignal);
}

// Tells whether c is white space to JSON.
static bool white(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Tells whether name can be written into the list as it is.
static addresult checkname(const char *name)
{
    int n = 0;
    while (name[n] != '\0' && n <= namemax)
        n++;
    if (n > namemax)
        return toolong;
    for (int i = 0; i < n; i++) {
        unsigned char c = name[i];
        if (c == '"' || c == '\\' || c < 0x20)
            return badname;
    }
    return added;
}

// Reads what may stand before the list's opening brace, a byte-order mark and
// white space, into lead (linesize characters), then the brace itself.
// Returns the number of characters kept in lead, or -1 if the list does not
// begin that way (or reading failed).
static int readlead(FILE *fp, char *lead)
{
    static const unsigned char bom[] = {0xEF, 0xBB, 0xBF};
    int n = 0;
    int c = getc(fp);
    if (c == bom[0]) {
        for (unsigned char b : bom) {
            if (c != b)
                return -1;
            lead[n++] = (char)c;
            c = getc(fp);
        }
    }
    while (white(c)) {
        if (n == linesize)
            return -1;
        lead[n++] = (char)c;
        c = getc(fp);
    }
    return c == '{' ? n : -1;
}

// Copies the rest of the list, after its brace, into the backup. Sets *empty
// when the object has no member. Returns false if a read or write failed.
static bool park(FILE *fp, FILE *fp2, char *buffer, bool *empty)
{
    int c;
    while (white(c = getc(fp)))
        if (putc(c, fp2) == EOF)
            return false;
    *empty = c == '}';
    if (c != EOF && putc(c, fp2) == EOF)
        return false;
    return copylines(fp, fp2, buffer);
}

// Writes the list's old text back from the lead, a brace and the backup.
// Returns false if the list may not hold all of it.
static bool restore(const char *lead, int nlead, char *buffer)
{
    FILE *fp2 = fopen(backupname, "r");
    if (fp2 == nullptr)
        return false;
    FILE *fp = fopen(listname, "w");
    bool ok = fp != nullptr
        && fwrite(lead, 1, nlead, fp) == (size_t)nlead
        && putc('{', fp) != EOF
        && copylines(fp2, fp, buffer);
    if (fp != nullptr && fclose(fp) != 0)
        ok = false;
    fclose(fp2); // read only: the list is what counts
    return ok;
}

// The work of addentry, with the signals held.
static addresult update(const char *name)
{
    char lead[linesize];
    char string[linesize];
    char string2[linesize];

    addresult checked = checkname(name);
    if (checked != added)
        return checked;

    FILE *fp = fopen(listname, "r");
    if (fp == nullptr)
        return notfound;
    int nlead = readlead(fp, lead);
    if (nlead < 0) {
        bool failed = ferror(fp);
        fclose(fp);
        return failed ? unreadable : badstart;
    }

    FILE *fp2 = fopen(backupname, "w");
    if (fp2 == nullptr) {
        fclose(fp);
        return nobackup;
    }
    bool empty = false;
    bool parked = park(fp, fp2, string, &empty);
    bool listread = !ferror(fp);
    if (fclose(fp) != 0)
        listread = false;
    if (fclose(fp2) != 0)
        parked = false;
    if (!listread)
        return unreadable;
    if (!parked)
        return nobackup;

    // The backup is whole. Open it before the list is emptied, so that
    // the list is not emptied when its text could not be read back.
    fp2 = fopen(backupname, "r");
    if (fp2 == nullptr)
        return nobackup;
    fp = fopen(listname, "w");
    if (fp == nullptr) {
        fclose(fp2);
        return unwritable;
    }
    bool ok = fwrite(lead, 1, nlead, fp) == (size_t)nlead
        && fprintf(fp, entry, name, name, empty ? "" : ",") >= 0;
    if (fclose(fp) != 0)
        ok = false;
    if (ok) {
        fp = fopen(listname, "a");
        ok = fp != nullptr && copylines(fp2, fp, string2);
        if (fp != nullptr && fclose(fp) != 0)
            ok = false;
    }
    fclose(fp2); // read only: the list is what counts
    if (ok)
        return added;
    return restore(lead, nlead, string) ? restored : inbackup;
}

addresult addentry(const char *name)
{
    heldsignal = 0;
    oldint = holdone(SIGINT);
    oldterm = holdone(SIGTERM);
    addresult result = update(name);
    release();
    return result;
}

bool copylines(FILE *from, FILE *to, char *buffer)
{
    size_t n;
    while ((n = fread(buffer, 1, linesize, from)) > 0)
        if (fwrite(buffer, 1, n, to) != n)
            return false;
    return !ferror(from);
}
