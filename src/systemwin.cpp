// The Windows side of the platform layer of addsound (see system.h): files
// opened through the Windows API and handed to the C streams, a lock far
// beyond the end of the list, a console control handler that holds the
// console's stops, and a console read and written in UTF-16.
#include "system.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The handle under the stream fp, or INVALID_HANDLE_VALUE.
static HANDLE handleof(FILE *fp)
{
    int fd = _fileno(fp);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// What the open handle h is: fileopen's opened for a regular file (the
// attributes refused aside), notregular for anything else, failed if it
// cannot be told.
static fileopen kindof(HANDLE h, DWORD refused)
{
    if (GetFileType(h) != FILE_TYPE_DISK)
        return notregular;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return failed;
    return (info.dwFileAttributes & refused) != 0 ? notregular : opened;
}

// Tells whether the open handle h is the file name itself, in the folder
// that name names, and not a file that a link leads to. True when it cannot
// be told. Windows opens a link itself when asked to, and the attributes
// tell it; Wine follows a Unix symbolic link all the same and shows a plain
// file, and only the final path of what it opened tells. name is a bare
// file name, in the working directory. The paths are
// asked for in UTF-16, as a folder's name may hold any character.
static bool itself(HANDLE h, const char *name)
{
    static const DWORD size = 32768;
    static wchar_t wname[MAX_PATH];
    static wchar_t full[size];
    static wchar_t expected[size];
    static wchar_t got[size];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wname, MAX_PATH) == 0)
        return true;
    wchar_t *base = nullptr;
    DWORD n = GetFullPathNameW(wname, size, full, &base);
    if (n == 0 || n >= size || base == nullptr)
        return true;
    *base = L'\0'; // full is now the folder
    HANDLE d = CreateFileW(full, 0, FILE_SHARE_READ | FILE_SHARE_WRITE
                           | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (d == INVALID_HANDLE_VALUE)
        return true;
    n = GetFinalPathNameByHandleW(d, expected, size, FILE_NAME_NORMALIZED);
    CloseHandle(d);
    if (n == 0 || n >= size)
        return true;
    if (expected[n - 1] != L'\\')
        expected[n++] = L'\\';
    expected[n] = L'\0';
    if (n + lstrlenW(wname) >= size)
        return true;
    lstrcatW(expected, wname);
    n = GetFinalPathNameByHandleW(h, got, size, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= size)
        return true;
    return lstrcmpiW(expected, got) == 0;
}

// Opens name with CreateFileA, shared with every other handle of the file.
// A program that holds the file for a moment without sharing it (a virus
// scanner, a sync client) is waited for, a few seconds at most. Leaves the
// error of the last try for GetLastError.
static HANDLE createfile(const char *name, DWORD access, DWORD disposition,
                         DWORD flags)
{
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (int tries = 0;; tries++) {
        HANDLE h = CreateFileA(name, access, share, nullptr, disposition,
                               flags, nullptr);
        DWORD error = GetLastError();
        if (h != INVALID_HANDLE_VALUE || tries == 50
            || (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION))
            return h;
        Sleep(100);
        SetLastError(error);
    }
}

// Opens name as the reading, writing or making of mode asks, shared with
// every other handle of the file, and hands it to a C stream with buffer.
// A file is never emptied by the opening, and maketext never opens a link:
// it takes the link itself and refuses it. A folder cannot be opened as a
// file on Windows (access denied); that is told as failed, not notregular,
// as the open itself failed and the name is not looked up a second time.
FILE *openfile(const char *name, filemode mode, char *buffer, size_t size,
               fileopen *how)
{
    bool reading = mode == readtext || mode == readbinary;
    DWORD access = reading ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (mode == maketext)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = createfile(name, access, OPEN_EXISTING, flags);
    DWORD error = GetLastError();
    bool made = false;
    if (h == INVALID_HANDLE_VALUE && mode == maketext
        && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
        // Made only where nothing stands, not even a link that leads
        // nowhere: the system refuses to make a new file through one.
        h = createfile(name, access, CREATE_NEW, flags);
        error = GetLastError();
        made = true;
    }
    if (h == INVALID_HANDLE_VALUE) {
        bool missing = error == ERROR_FILE_NOT_FOUND
            || error == ERROR_PATH_NOT_FOUND;
        *how = missing ? absent : failed;
        return nullptr;
    }

    DWORD refused = FILE_ATTRIBUTE_DIRECTORY;
    if (mode == maketext)
        refused |= FILE_ATTRIBUTE_REPARSE_POINT;
    fileopen kind = kindof(h, refused);
    if (kind == opened && mode == maketext && !itself(h, name))
        kind = notregular;
    if (kind != opened) {
        *how = kind;
        CloseHandle(h);
        return nullptr;
    }

    int osflags = 0;
    const char *streammode = "";
    switch (mode) {
    case readtext:
        osflags = _O_RDONLY | _O_TEXT;
        streammode = "r";
        break;
    case readbinary:
        osflags = _O_RDONLY;
        streammode = "rb";
        break;
    case updatetext:
        osflags = _O_TEXT;
        streammode = "r+";
        break;
    case maketext:
        osflags = _O_TEXT;
        // The file was opened without being emptied; "w+" only tells the
        // stream that it may read and write.
        streammode = "w+";
        break;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), osflags);
    if (fd < 0) {
        *how = failed;
        CloseHandle(h);
        return nullptr;
    }
    FILE *fp = _fdopen(fd, streammode);
    if (fp == nullptr) {
        *how = failed;
        _close(fd); // closes the handle too
        return nullptr;
    }
    if (setvbuf(fp, buffer, _IOFBF, size) != 0) {
        *how = failed;
        fclose(fp);
        return nullptr;
    }
    *how = made ? created : opened;
    return fp;
}

// Tells whether both streams are one file: the same volume serial number and
// file index. False if either cannot be asked.
bool samefile(FILE *a, FILE *b)
{
    BY_HANDLE_FILE_INFORMATION ia;
    BY_HANDLE_FILE_INFORMATION ib;
    if (!GetFileInformationByHandle(handleof(a), &ia)
        || !GetFileInformationByHandle(handleof(b), &ib))
        return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber
        && ia.nFileIndexHigh == ib.nFileIndexHigh
        && ia.nFileIndexLow == ib.nFileIndexLow;
}

// The number of names (hard links) the file of fp has, or -1.
long links(FILE *fp)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handleof(fp), &info))
        return -1;
    return (long)info.nNumberOfLinks;
}

// Windows files have no permission bits to copy.
bool copymode(FILE *, FILE *)
{
    return true;
}

// Writes what the stream holds, cuts the file to nothing and puts the
// stream at its start. False if any of it failed.
bool emptyfile(FILE *fp)
{
    if (fflush(fp) != 0)
        return false;
    HANDLE h = handleof(fp);
    LARGE_INTEGER start = {};
    // The stream's next seek sets the position it keeps for itself.
    return h != INVALID_HANDLE_VALUE
        && SetFilePointerEx(h, start, nullptr, FILE_BEGIN)
        && SetEndOfFile(h)
        && fseek(fp, 0, SEEK_SET) == 0;
}

// Writes what the stream holds and has Windows put the file on the disk.
// The stream must be open for writing: Windows refuses to flush a handle
// open only for reading.
bool syncfile(FILE *fp)
{
    return fflush(fp) == 0 && _commit(_fileno(fp)) == 0;
}

// Windows keeps a new file's name without a flush of its folder.
bool syncfolder()
{
    return true;
}

// The lock is on one byte far beyond the end of any list: Windows' locks are
// mandatory, and a lock on the text would stop this very program's reads and
// writes of it through its other handles.
static const DWORD lockoffsethigh = 0x7FFFFFFF;

static HANDLE lockhandle = INVALID_HANDLE_VALUE;
static bool lockheld;

// Opens name for reading (shared with every other handle) and waits in
// LockFileEx for the exclusive lock. A file system without locks leaves the
// file open, unlocked.
lockresult lockfile(const char *name)
{
    if (lockhandle != INVALID_HANDLE_VALUE)
        return lockfailed;
    HANDLE h = createfile(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return lockabsent;
        return lockfailed;
    }
    fileopen kind = kindof(h, FILE_ATTRIBUTE_DIRECTORY);
    if (kind != opened) {
        CloseHandle(h);
        return kind == notregular ? locknotregular : lockfailed;
    }
    OVERLAPPED at = {};
    at.OffsetHigh = lockoffsethigh;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        DWORD error = GetLastError();
        if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) {
            lockhandle = h;
            lockheld = false;
            return nolock;
        }
        CloseHandle(h);
        return lockfailed;
    }
    lockhandle = h;
    lockheld = true;
    return locked;
}

// Closing the handle would let the lock go as well; the unlock only makes
// it go at once.
void unlockfile()
{
    if (lockhandle == INVALID_HANDLE_VALUE)
        return;
    if (lockheld) {
        OVERLAPPED at = {};
        at.OffsetHigh = lockoffsethigh;
        UnlockFileEx(lockhandle, 0, 1, 0, &at);
    }
    CloseHandle(lockhandle);
    lockhandle = INVALID_HANDLE_VALUE;
    lockheld = false;
}

// What Windows' own handling of a console stop ends the program with.
static const UINT stopstatus = 0xC000013A; // STATUS_CONTROL_C_EXIT

static CRITICAL_SECTION stopguard;
static bool handling; // the handler is registered
static bool holding;  // between holdstops and releasestops
static bool stopped;  // a stop came while holding

// Runs on a thread of its own for each console event. Outside a call it
// leaves the event to the next handler, Windows' own, which ends the
// program. Inside one it notes the event and never returns: releasestops
// ends the process, this thread with it. (Windows ends a program a few
// seconds after a close, log-off or shut-down event all the same.)
static BOOL WINAPI stophandler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    EnterCriticalSection(&stopguard);
    bool held = holding;
    if (held)
        stopped = true;
    LeaveCriticalSection(&stopguard);
    if (!held)
        return FALSE;
    for (;;)
        Sleep(INFINITE);
}

// Registers the handler the first time. Should that fail, the stops are not
// held: there is no other way to hold them, and the program goes on.
void holdstops()
{
    if (!handling) {
        InitializeCriticalSection(&stopguard);
        handling = SetConsoleCtrlHandler(stophandler, TRUE) != 0;
        if (!handling)
            DeleteCriticalSection(&stopguard);
    }
    if (!handling)
        return;
    EnterCriticalSection(&stopguard);
    holding = true;
    stopped = false;
    LeaveCriticalSection(&stopguard);
}

// A stop that came while held ends the process here, as Windows would have.
// One that comes after the guard is left goes to Windows' own handling.
void releasestops()
{
    if (!handling)
        return;
    EnterCriticalSection(&stopguard);
    holding = false;
    bool stop = stopped;
    stopped = false;
    LeaveCriticalSection(&stopguard);
    if (stop)
        ExitProcess(stopstatus);
}

// The console, where standard input or output is one.
static HANDLE consolein = INVALID_HANDLE_VALUE;
static HANDLE consoleout = INVALID_HANDLE_VALUE;

// One read of the console in UTF-16, and the same as UTF-8, handed out
// byte by byte. At most three UTF-8 bytes stand for one UTF-16 unit.
static const DWORD widesize = 1024;
static wchar_t wide[widesize];
static char narrow[3 * widesize];
static int narrowlength;
static int narrowat;
static wchar_t carried;   // a high surrogate or CR that ended the last read
static bool linestart = true;
static bool inputended;

// Tells whether handle h is a console.
static bool console(HANDLE h)
{
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode);
}

// Where standard input or output is a console, it is read and written in
// UTF-16 so that the console's code page does not matter; elsewhere the C
// streams carry the bytes as they are.
void startconsole()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    consolein = console(in) ? in : INVALID_HANDLE_VALUE;
    consoleout = console(out) ? out : INVALID_HANDLE_VALUE;
}

// Reads the console until it gives at least one byte, into narrow. CR LF
// becomes a line feed, as the C runtime makes it. False at the end of input
// (a line that begins with Ctrl-Z) or on an error.
static bool readconsole()
{
    for (;;) {
        DWORD n = 0;
        if (carried != 0)
            wide[n++] = carried;
        carried = 0;
        DWORD got = 0;
        if (!ReadConsoleW(consolein, wide + n, widesize - n, &got, nullptr))
            got = 0;
        if (got == 0 && n == 0)
            return false;
        bool more = got > 0;
        n += got;
        if (linestart && wide[0] == 0x1A)
            return false;
        // Keep back what the next read may complete.
        wchar_t last = wide[n - 1];
        if (more && (last == L'\r' || (last >= 0xD800 && last <= 0xDBFF))) {
            carried = last;
            if (--n == 0)
                continue;
        }
        DWORD kept = 0;
        for (DWORD i = 0; i < n; i++) {
            if (wide[i] == L'\r' && i + 1 < n && wide[i + 1] == L'\n')
                continue;
            wide[kept++] = wide[i];
        }
        linestart = wide[kept - 1] == L'\n';
        narrowlength = WideCharToMultiByte(CP_UTF8, 0, wide, (int)kept,
                                           narrow, (int)sizeof narrow,
                                           nullptr, nullptr);
        narrowat = 0;
        return narrowlength > 0;
    }
}

// From a console, the bytes of what was typed as UTF-8; once the input has
// ended it stays ended. Elsewhere the C stream's next byte.
int readbyte()
{
    if (consolein == INVALID_HANDLE_VALUE)
        return getchar();
    if (inputended)
        return EOF;
    if (narrowat == narrowlength && !readconsole()) {
        inputended = true;
        return EOF;
    }
    return (unsigned char)narrow[narrowat++];
}

// Writes n UTF-16 units to the console, all of them or fail.
static bool writewide(const wchar_t *text, DWORD n)
{
    while (n > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(consoleout, text, n, &written, nullptr)
            || written == 0)
            return false;
        text += written;
        n -= written;
    }
    return true;
}

// To a console, text is turned into UTF-16 a piece at a time, each piece
// ending before a UTF-8 lead byte, and every line feed goes out as CR LF
// as the C runtime writes it. Elsewhere the C stream takes the bytes as
// they are.
bool writetext(const char *text)
{
    if (consoleout == INVALID_HANDLE_VALUE)
        return fputs(text, stdout) != EOF && fflush(stdout) == 0;
    static const int piece = 512;
    static wchar_t out[piece];
    static wchar_t lines[2 * piece];
    while (*text != '\0') {
        int n = 0;
        while (n < piece && text[n] != '\0')
            n++;
        int whole = n;
        if (text[n] != '\0') {
            while (whole > 0 && ((unsigned char)text[whole] & 0xC0) == 0x80)
                whole--;
            if (whole == 0)
                whole = n; // no lead byte in reach: the text is not UTF-8
        }
        int units = MultiByteToWideChar(CP_UTF8, 0, text, whole, out, piece);
        if (units <= 0)
            return false;
        DWORD m = 0;
        for (int i = 0; i < units; i++) {
            if (out[i] == L'\n')
                lines[m++] = L'\r';
            lines[m++] = out[i];
        }
        if (!writewide(lines, m))
            return false;
        text += whole;
    }
    return true;
}
