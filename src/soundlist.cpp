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

// Stream buffers: a list stream and a backup stream may be open at once,
// never two of one kind. Larger than the default, so that the copies move
// large blocks per system call.
static const size_t streamsize = 256 * 1024;
static char listbuffer[streamsize];
static char backupbuffer[streamsize];

typedef void (*handler)(int);

static volatile std::sig_atomic_t heldsignal;
static handler oldint;
static handler oldterm;

// Notes a signal to be raised once the files are closed.
static void hold(int sig)
{
    heldsignal = sig;
    std::signal(sig, hold); // some platforms reset the handler on delivery
}

// Starts holding sig, unless the program was started with sig ignored.
// Returns the disposition to restore.
static handler holdone(int sig)
{
    handler old = std::signal(sig, hold);
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

// Opens the file name in mode with buffer as its stream buffer. Should the
// buffer not be taken, the stream keeps its default one, which works the same.
static FILE *openwith(const char *name, const char *mode, char *buffer)
{
    FILE *fp = fopen(name, mode);
    if (fp != nullptr)
        setvbuf(fp, buffer, _IOFBF, streamsize);
    return fp;
}

// Tells whether c is white space to JSON.
static bool white(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Tells whether name can be written into the list as it is: added if so,
// else why not.
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
// when the object has no member. Returns the number of characters copied, or
// -1 if a read or write failed.
static long long park(FILE *fp, FILE *fp2, char *buffer, bool *empty)
{
    long long n = 0;
    int c;
    while (white(c = getc(fp))) {
        if (putc(c, fp2) == EOF)
            return -1;
        n++;
    }
    *empty = c == '}';
    if (c != EOF) {
        if (putc(c, fp2) == EOF)
            return -1;
        n++;
    }
    long long rest = copylines(fp, fp2, buffer);
    return rest < 0 ? -1 : n + rest;
}

// Tells whether got, the number of characters read from the list through a
// text stream, stands for all of its bytes. A text stream may turn each CR LF
// into a line feed; a shorter read ended early, as Windows' text streams do
// at a Ctrl-Z character.
static bool wholelist(long long got, char *buffer)
{
    FILE *fp = openwith(listname, "rb", listbuffer);
    if (fp == nullptr)
        return false;
    bool whole = false;
    if (fseek(fp, 0, SEEK_END) == 0 && ftell(fp) == got) {
        whole = true; // every byte came through as it is
    } else if (fseek(fp, 0, SEEK_SET) == 0) {
        long long bytes = 0;
        long long crlf = 0;
        bool cr = false;
        size_t n;
        while ((n = fread(buffer, 1, linesize, fp)) > 0) {
            for (size_t i = 0; i < n; i++) {
                if (cr && buffer[i] == '\n')
                    crlf++;
                cr = buffer[i] == '\r';
            }
            bytes += n;
        }
        whole = !ferror(fp) && bytes - crlf == got;
    }
    fclose(fp); // read only: the answer is in
    return whole;
}

// Writes the list's old text back from the lead, a brace and the backup.
// Returns false if the list may not hold all of it.
static bool restore(const char *lead, int nlead, char *buffer)
{
    FILE *fp2 = openwith(backupname, "r", backupbuffer);
    if (fp2 == nullptr)
        return false;
    FILE *fp = openwith(listname, "w", listbuffer);
    bool ok = fp != nullptr
        && fwrite(lead, 1, nlead, fp) == (size_t)nlead
        && putc('{', fp) != EOF
        && copylines(fp2, fp, buffer) >= 0;
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

    FILE *fp = openwith(listname, "r", listbuffer);
    if (fp == nullptr)
        return notfound;
    int nlead = readlead(fp, lead);
    if (nlead < 0) {
        bool failed = ferror(fp);
        fclose(fp);
        return failed ? unreadable : badstart;
    }

    FILE *fp2 = openwith(backupname, "w", backupbuffer);
    if (fp2 == nullptr) {
        fclose(fp);
        return nobackup;
    }
    bool empty = false;
    long long parked = park(fp, fp2, string, &empty);
    bool listread = !ferror(fp);
    if (fclose(fp) != 0)
        listread = false;
    if (fclose(fp2) != 0)
        parked = -1;
    if (!listread)
        return unreadable;
    if (parked < 0)
        return nobackup;
    if (!wholelist(nlead + 1 + parked, string))
        return cutshort;

    // The backup is whole. Open it before the list is emptied, so that
    // the list is not emptied when its text could not be read back.
    fp2 = openwith(backupname, "r", backupbuffer);
    if (fp2 == nullptr)
        return nobackup;
    fp = openwith(listname, "w", listbuffer);
    if (fp == nullptr) {
        fclose(fp2);
        return unwritable;
    }
    bool ok = fwrite(lead, 1, nlead, fp) == (size_t)nlead
        && fprintf(fp, entry, name, name, empty ? "" : ",") >= 0;
    if (fclose(fp) != 0)
        ok = false;
    if (ok) {
        fp = openwith(listname, "a", listbuffer);
        ok = fp != nullptr && copylines(fp2, fp, string2) >= 0;
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

long long copylines(FILE *from, FILE *to, char *buffer)
{
    long long copied = 0;
    size_t n;
    while ((n = fread(buffer, 1, linesize, from)) > 0) {
        if (fwrite(buffer, 1, n, to) != n)
            return -1;
        copied += n;
    }
    return ferror(from) ? -1 : copied;
}
