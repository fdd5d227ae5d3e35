// Sound list update: inserts an entry at the head of sounds.json. The list is
// never parsed: its text after the opening brace is parked in sounds.backup,
// the list is rewritten with the entry block (which brings a brace of its
// own), and the parked text is copied behind it.
#include "soundlist.h"

#include "system.h"

#include <cstring>

static const char listname[] = "sounds.json";
static const char backupname[] = "sounds.backup";

// The entry block: the name twice, then "," or, for an object that had no
// member, nothing.
static const char entry[] =
    "{\n  \"%s\": {\n    \"sounds\": [\n       \"%s\"\n]\n}%s";

// Stream buffers: the list is open at most twice at once (a reader and a
// writer), the backup once. Larger than the default, so that the copies
// move large blocks per system call.
static const size_t streamsize = 256 * 1024;
static char readbuffer[streamsize];
static char writebuffer[streamsize];
static char backupbuffer[streamsize];
// The list is measured through scanbuffer, then scanbuffer serves as the
// buffer of the binary stream that checks its length.
static char scanbuffer[streamsize];

// Tells whether c is white space to JSON.
static bool white(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Tells whether the n bytes of s are UTF-8 text: no overlong form, no
// surrogate, nothing above U+10FFFF, no sequence cut short.
static bool utf8(const unsigned char *s, int n)
{
    int i = 0;
    while (i < n) {
        unsigned char c = s[i];
        int more;
        unsigned char low = 0x80, high = 0xBF; // range of the next byte
        if (c < 0x80)
            more = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0)
                low = 0xA0; // overlong below
            if (c == 0xED)
                high = 0x9F; // surrogates above
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0)
                low = 0x90;
            if (c == 0xF4)
                high = 0x8F; // past U+10FFFF above
        } else
            return false;
        if (n - i - 1 < more)
            return false;
        for (int k = 1; k <= more; k++) {
            unsigned char next = s[i + k];
            if (next < low || next > high)
                return false;
            low = 0x80;
            high = 0xBF;
        }
        i += more + 1;
    }
    return true;
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
    if (!utf8((const unsigned char *)name, n))
        return badutf8;
    return added;
}

// Reads what may stand before the list's opening brace, a byte-order mark and
// white space, into lead (linesize characters), then the brace itself.
// Returns the number of characters kept in lead; -1 if the list begins
// otherwise, -2 if it ends (or reading fails) before its brace, as a list
// emptied and cut short does.
static int readlead(FILE *fp, char *lead)
{
    static const unsigned char bom[] = {0xEF, 0xBB, 0xBF};
    int n = 0;
    int c = getc(fp);
    if (c == bom[0]) {
        for (unsigned char b : bom) {
            if (c != b)
                return c == EOF ? -2 : -1;
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
    if (c == EOF)
        return -2;
    return c == '{' ? n : -1;
}

// What the list's text after its opening brace holds.
struct listtext {
    long long length; // characters, as the text stream gave them
    bool empty;       // the object has no member
    bool closed;      // outside strings, the brace that closes the object
                      // is the last character other than white space: a
                      // list cut short after a member's own closing brace
                      // is not, nor one with more text after its object
};

// Reads the rest of the list after its brace, to measure it. False if
// reading failed.
static bool measure(FILE *fp, listtext *text)
{
    char *buffer = scanbuffer;
    long long depth = 1;
    long long closings = 0; // times the braces all closed
    bool instring = false;
    size_t skip = 0; // an escaped character that begins the next piece
    int first = EOF; // the first and last characters other than white space
    int last = '{';
    text->length = 0;
    size_t n;
    while ((n = fread(buffer, 1, streamsize, fp)) > 0) {
        size_t i = skip;
        while (i < n) {
            if (instring) {
                // Most of a list is strings: straight on to the closing
                // quote, unless a backslash before it escapes a character.
                char *quote = (char *)memchr(buffer + i, '"', n - i);
                size_t end = quote != nullptr ? quote - buffer : n;
                char *slash = (char *)memchr(buffer + i, '\\', end - i);
                if (slash != nullptr)
                    i = slash - buffer + 2;
                else if (quote != nullptr) {
                    instring = false;
                    i = end + 1;
                } else
                    i = n;
                continue;
            }
            char c = buffer[i++];
            if (c == '"')
                instring = true;
            else if (c == '{')
                depth++;
            else if (c == '}' && --depth == 0)
                closings++;
        }
        skip = i > n ? i - n : 0;
        for (size_t i = 0; first == EOF && i < n; i++)
            if (!white(buffer[i]))
                first = (unsigned char)buffer[i];
        for (size_t i = n; i > 0; i--)
            if (!white(buffer[i - 1])) {
                last = (unsigned char)buffer[i - 1];
                break;
            }
        text->length += n;
    }
    text->empty = first == '}';
    text->closed = last == '}' && depth == 0 && closings == 1 && !instring;
    return !ferror(fp);
}

// Tells whether length, the number of characters a text stream gave for the
// whole list, stands for all of its bytes: added if so. A text stream may
// turn each CR LF into a line feed; a shorter read ended early, as Windows'
// text streams do at a Ctrl-Z character (cutshort). Without one, the list
// changed between the reads, or reading failed (unreadable).
static addresult wholelist(long long length, char *buffer)
{
    fileopen how;
    FILE *fp = openfile(listname, readbinary, scanbuffer, streamsize, &how);
    if (fp == nullptr)
        return unreadable;
    addresult result = unreadable;
    if (fseek(fp, 0, SEEK_END) == 0 && ftell(fp) == length) {
        result = added; // every byte came through as it is
    } else if (fseek(fp, 0, SEEK_SET) == 0) {
        long long bytes = 0;
        long long crlf = 0;
        bool cr = false;
        bool ctrlz = false;
        size_t n;
        while ((n = fread(buffer, 1, linesize, fp)) > 0) {
            for (size_t i = 0; i < n; i++) {
                if (cr && buffer[i] == '\n')
                    crlf++;
                cr = buffer[i] == '\r';
                ctrlz = ctrlz || buffer[i] == '\x1a';
            }
            bytes += n;
        }
        if (!ferror(fp) && bytes - crlf == length)
            result = added;
        else if (!ferror(fp) && ctrlz)
            result = cutshort;
    }
    fclose(fp); // read only: the answer is in
    return result;
}

// Opens sounds.backup for the list read through fp: a regular file of its
// own, never reached through a link, with no other name and not the list
// itself, given the list's permission bits and emptied. Sets *made if it
// was created. Returns nullptr, having written nothing, if any of that
// fails.
static FILE *openbackup(FILE *fp, bool *made)
{
    fileopen how;
    FILE *fp2 = openfile(backupname, maketext, backupbuffer, streamsize, &how);
    if (fp2 == nullptr)
        return nullptr;
    *made = how == created;
    bool ok = links(fp2) == 1 && !samefile(fp2, fp) && copymode(fp2, fp)
        && emptyfile(fp2);
    if (!ok) {
        fclose(fp2); // nothing was written through it
        return nullptr;
    }
    return fp2;
}

// The one writer of the list: empties it, writes the lead, then the entry
// block for name (or, with name null, the list's own opening brace), then
// all of the backup's text, and flushes the list to the disk. Returns the
// number of characters copied from the backup, or -1 if anything failed.
static long long writelist(FILE *fp, const char *lead, int nlead,
                           const char *name, bool empty, FILE *fp2,
                           char *buffer)
{
    if (!emptyfile(fp) || fwrite(lead, 1, nlead, fp) != (size_t)nlead)
        return -1;
    if (name != nullptr ? fprintf(fp, entry, name, name, empty ? "" : ",") < 0
                        : putc('{', fp) == EOF)
        return -1;
    long long copied = copylines(fp2, fp, buffer);
    if (copied < 0 || !syncfile(fp))
        return -1;
    return copied;
}

// Puts the list's old text back after a failed rewrite, through a stream of
// its own: the failed one may still hold text it could not write. True if
// the list holds all of it again, on the disk.
static bool restore(const char *lead, int nlead, FILE *fp2, long long parked,
                    char *buffer)
{
    fileopen how;
    FILE *fp = openfile(listname, updatetext, writebuffer, streamsize, &how);
    if (fp == nullptr)
        return false;
    rewind(fp2);
    bool ok = writelist(fp, lead, nlead, nullptr, false, fp2, buffer) == parked;
    if (fclose(fp) != 0)
        ok = false;
    return ok;
}

// The work of addentry, with the lock taken and the stops held. The list is
// read and checked through fp, and opened for writing as fp3, before
// sounds.backup (fp2) is touched; it is emptied only once the backup holds
// its text on the disk, and rewritten from the backup only if all of that
// text is read back.
static addresult update(const char *name)
{
    char lead[linesize];
    char string[linesize];
    char string2[linesize];

    fileopen how;
    FILE *fp = openfile(listname, readtext, readbuffer, streamsize, &how);
    if (fp == nullptr)
        return how == absent ? notfound : unreadable;
    int nlead = readlead(fp, lead);
    listtext text;
    if (nlead < 0 || !measure(fp, &text)) {
        bool readerror = ferror(fp);
        fclose(fp); // read only
        if (readerror)
            return unreadable;
        return nlead == -2 ? badend : badstart;
    }
    addresult checked = wholelist(nlead + 1 + text.length, string);
    if (checked == added && !text.closed)
        checked = badend;
    if (checked != added) {
        fclose(fp); // read only
        return checked;
    }

    FILE *fp3 = openfile(listname, updatetext, writebuffer, streamsize, &how);
    if (fp3 == nullptr) {
        fclose(fp); // read only
        return how == failed ? unwritable : unreadable;
    }
    bool made = false;
    FILE *fp2 = openbackup(fp, &made);
    if (fp2 == nullptr) {
        fclose(fp3); // nothing was written through it
        fclose(fp);
        return nobackup;
    }

    // Park the text after the brace, read again from the start of the
    // stream that was measured, on the disk. A length other than the one
    // measured means that another program changed the list meanwhile.
    addresult result = added;
    long long parked = -1;
    rewind(fp);
    if (readlead(fp, lead) != nlead)
        result = unreadable;
    else if ((parked = copylines(fp, fp2, string)) != text.length)
        result = parked < 0 && !ferror(fp) ? nobackup : unreadable;
    else if (!syncfile(fp2) || (made && !syncfolder()))
        result = nobackup; // a new backup's name must be on the disk too
    else
        rewind(fp2);
    fclose(fp); // read only

    bool ok = result == added
        && writelist(fp3, lead, nlead, name, text.empty, fp2, string2) == parked;
    if (fclose(fp3) != 0)
        ok = false;
    if (result == added && !ok)
        result = restore(lead, nlead, fp2, parked, string2) ? restored : inbackup;
    fclose(fp2); // its text is on the disk, or the list is what counts
    return result;
}

addresult addentry(const char *name)
{
    addresult checked = checkname(name);
    if (checked != added)
        return checked;
    switch (lockfile(listname)) {
    case locked:
    case nolock:
        break;
    case lockabsent:
    case lockfailed:
        return notfound;
    case locknotregular:
        return unreadable;
    }
    holdstops();
    addresult result = update(name);
    // The lock goes first: a suspend held until now must not keep other
    // programs waiting for as long as this one is stopped.
    unlockfile();
    releasestops();
    return result;
}

long long copylines(FILE *from, FILE *to, char *buffer)
{
    long long copied = 0;
    size_t n;
    while ((n = fread(buffer, 1, linesize, from)) > 0) {
        if (to != nullptr && fwrite(buffer, 1, n, to) != n)
            return -1;
        copied += n;
    }
    return ferror(from) ? -1 : copied;
}
