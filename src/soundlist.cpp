// Sound list update: inserts an entry at the head of sounds.json. The list is
// never parsed: its text after the opening brace is parked in sounds.backup,
// the list is rewritten with the entry block (which brings a brace of its
// own), and the parked text is copied behind it.
#include "soundlist.h"

#include "system.h"

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

// Reads the rest of the list after its brace, only to count it. Sets *empty
// when the object has no member. Returns the number of characters, or -1 if
// reading failed.
static long long measure(FILE *fp, char *buffer, bool *empty)
{
    long long n = 0;
    int c;
    while (white(c = getc(fp)))
        n++;
    *empty = c == '}';
    if (c != EOF)
        n++;
    long long rest = copylines(fp, nullptr, buffer);
    return rest < 0 || ferror(fp) ? -1 : n + rest;
}

// What the list's bytes say, read in binary.
enum endcheck {
    endgood,    // it ends with the brace that closes its object, and a text
                // read got all of it
    endnobrace, // its last byte other than white space is not the brace
                // that closes the object it opens: it was cut short
    endcut,     // a text read of textlength characters ended early (as
                // Windows' text streams do at a Ctrl-Z)
    endfailed,  // reading failed
};

// Reads the list in binary, once through: outside its strings, the braces
// it opens must all be closed, the last by its last byte other than white
// space; and textlength, the number of characters a text stream gave, must
// stand for all of its bytes (a text stream may turn each CR LF into a line
// feed). A list cut short after a member's own closing brace still has its
// object open.
static endcheck checkend(long long textlength, char *buffer)
{
    fileopen how;
    FILE *fp = openfile(listname, readbinary, readbuffer, streamsize, &how);
    if (fp == nullptr)
        return endfailed;
    long long bytes = 0;
    long long crlf = 0;
    long long depth = 0;
    bool instring = false;
    bool escaped = false;
    int last = EOF; // the last byte other than white space
    int previous = EOF;
    size_t n;
    while ((n = fread(buffer, 1, linesize, fp)) > 0) {
        for (size_t i = 0; i < n; i++) {
            int c = (unsigned char)buffer[i];
            if (c == '\n' && previous == '\r')
                crlf++;
            previous = c;
            if (!white(c))
                last = c;
            if (escaped)
                escaped = false;
            else if (instring) {
                escaped = c == '\\';
                instring = c != '"';
            }
            else if (c == '"')
                instring = true;
            else if (c == '{')
                depth++;
            else if (c == '}')
                depth--;
        }
        bytes += n;
    }
    endcheck result;
    if (ferror(fp))
        result = endfailed;
    else if (last != '}' || depth != 0 || instring)
        result = endnobrace;
    else if (bytes == textlength || bytes - crlf == textlength)
        result = endgood;
    else
        result = endcut;
    fclose(fp); // read only: the answer is in
    return result;
}

// Opens sounds.backup for the list read through fp: a regular file of its
// own, never reached through a link, with no other name and not the list
// itself, given the list's permission bits and emptied. Its name is on the
// disk once this returns it. Returns nullptr, having written nothing, if
// any of that fails.
static FILE *openbackup(FILE *fp)
{
    fileopen how;
    FILE *fp2 = openfile(backupname, maketext, backupbuffer, streamsize, &how);
    if (fp2 == nullptr)
        return nullptr;
    bool ok = links(fp2) == 1 && !samefile(fp2, fp) && copymode(fp2, fp)
        && emptyfile(fp2) && (how != created || syncfolder());
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

// Puts the list's old text back after a failed rewrite: through a new
// stream, as the failed one may still hold text it could not write. True if
// the list holds all of it again, on the disk.
static bool restore(FILE **fp, const char *lead, int nlead, FILE *fp2,
                    long long parked, char *buffer)
{
    if (*fp != nullptr)
        fclose(*fp); // failed already; what it still held is unwanted
    fileopen how;
    *fp = openfile(listname, updatetext, writebuffer, streamsize, &how);
    if (*fp == nullptr)
        return false;
    rewind(fp2);
    bool ok = writelist(*fp, lead, nlead, nullptr, false, fp2, buffer) == parked;
    if (fclose(*fp) != 0)
        ok = false;
    *fp = nullptr;
    return ok;
}

// The work of addentry, with the lock taken and the stops held. The list is
// read and checked through fp, opened for writing as fp3 and checked again
// before sounds.backup (fp2) is touched; it is emptied only once the backup
// holds its text, read back whole, on the disk.
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
    bool empty = false;
    long long rest = nlead < 0 ? -1 : measure(fp, string, &empty);
    if (rest < 0) {
        bool failed = ferror(fp);
        fclose(fp); // read only
        return failed ? unreadable : badstart;
    }
    fclose(fp); // read only: the counts are in
    switch (checkend(nlead + 1 + rest, string)) {
    case endgood:
        break;
    case endnobrace:
        return badend;
    case endcut:
        return cutshort;
    case endfailed:
        return unreadable;
    }

    fp = openfile(listname, readtext, readbuffer, streamsize, &how);
    if (fp == nullptr)
        return unreadable;
    FILE *fp3 = openfile(listname, updatetext, writebuffer, streamsize, &how);
    if (fp3 == nullptr) {
        fclose(fp); // read only
        return how == failed ? unwritable : unreadable;
    }
    FILE *fp2 = openbackup(fp);
    if (fp2 == nullptr) {
        fclose(fp3); // nothing was written through it
        fclose(fp);
        return nobackup;
    }

    // Park the text after the brace and read it back whole from the disk.
    addresult result = added;
    long long parked = -1;
    if (readlead(fp, lead) != nlead)
        result = unreadable; // the list changed since it was measured
    else if ((parked = copylines(fp, fp2, string)) != rest)
        result = ferror(fp) ? unreadable : nobackup;
    else if (!syncfile(fp2))
        result = nobackup;
    else {
        rewind(fp2);
        if (copylines(fp2, nullptr, string2) != parked)
            result = nobackup;
        rewind(fp2);
    }
    fclose(fp); // read only

    if (result == added) {
        bool ok = writelist(fp3, lead, nlead, name, empty, fp2, string2) == parked;
        if (fclose(fp3) != 0)
            ok = false;
        fp3 = nullptr;
        if (!ok)
            result = restore(&fp3, lead, nlead, fp2, parked, string2) ? restored : inbackup;
    }
    if (fp3 != nullptr)
        fclose(fp3); // nothing was written through it
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
    releasestops();
    unlockfile();
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
