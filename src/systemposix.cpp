// Platform layer, POSIX side: opening files by descriptor so that a link or a
// FIFO is never waited on or written through, flock for the lock, blocked
// signals for the stops, fsync for the disk. See system.h.
#include "system.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Turns an open descriptor of a regular file into a stream in mode. Closes
// fd on failure.
static FILE *streamof(int fd, const char *mode, char *buffer, size_t size)
{
    // The descriptor was opened without waiting; reads and writes of a
    // regular file never wait anyway, but a stream wants the plain flags.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        close(fd);
        return nullptr;
    }
    FILE *fp = fdopen(fd, mode);
    if (fp == nullptr) {
        close(fd);
        return nullptr;
    }
    setvbuf(fp, buffer, _IOFBF, size);
    return fp;
}

FILE *openfile(const char *name, filemode mode, char *buffer, size_t size,
               fileopen *how)
{
    int flags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    const char *cmode = "r";
    if (mode == updatetext) {
        flags |= O_RDWR;
        cmode = "r+";
    } else if (mode == maketext) {
        flags |= O_RDWR | O_NOFOLLOW;
        cmode = "w+";
    }
    *how = opened;
    int fd = open(name, flags);
    if (fd < 0 && errno == ENOENT && mode == maketext) {
        // New files start private; copymode gives them their bits.
        fd = open(name, flags | O_CREAT | O_EXCL, 0600);
        *how = created;
    }
    if (fd < 0) {
        if (errno == ENOENT)
            *how = absent;
        else if (errno == ELOOP || errno == EISDIR || errno == ENXIO)
            *how = notregular; // a link, a folder, a FIFO without a reader
        else
            *how = failed;
        return nullptr;
    }
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        *how = known ? notregular : failed;
        close(fd);
        return nullptr;
    }
    FILE *fp = streamof(fd, cmode, buffer, size);
    if (fp == nullptr)
        *how = failed;
    return fp;
}

bool samefile(FILE *a, FILE *b)
{
    struct stat sa, sb;
    return fstat(fileno(a), &sa) == 0 && fstat(fileno(b), &sb) == 0
        && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

long links(FILE *fp)
{
    struct stat st;
    return fstat(fileno(fp), &st) == 0 ? (long)st.st_nlink : -1;
}

bool copymode(FILE *to, FILE *from)
{
    struct stat st;
    return fstat(fileno(from), &st) == 0
        && fchmod(fileno(to), st.st_mode & 07777) == 0;
}

bool emptyfile(FILE *fp)
{
    if (fflush(fp) != 0 || ftruncate(fileno(fp), 0) != 0)
        return false;
    rewind(fp);
    return ferror(fp) == 0;
}

bool syncfile(FILE *fp)
{
    return fflush(fp) == 0 && fsync(fileno(fp)) == 0;
}

bool syncfolder()
{
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    return ok;
}

static int lockfd = -1;
static int winefd = -1;

// The Windows program run under Wine locks one byte far past the end of the
// list (offset 0x7FFFFFFF00000000) with a POSIX lock, which flock does not
// see. A lock of the same byte held by an open file description excludes it
// as well, and unlike a plain POSIX lock is not dropped when another
// descriptor of the file is closed. It needs the list open for writing; a
// list that cannot be, or a system without such locks, goes without it (the
// flock still keeps this program's copies apart).
static void lockforwine(const char *name)
{
#ifdef F_OFD_SETLKW
    if (sizeof(off_t) < 8)
        return;
    winefd = open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (winefd < 0)
        return;
    struct flock byte = {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = (off_t)0x7FFFFFFF << 32;
    byte.l_len = 1;
    while (fcntl(winefd, F_OFD_SETLKW, &byte) != 0 && errno == EINTR) {
    }
#else
    (void)name;
#endif
}

lockresult lockfile(const char *name)
{
    lockfd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (lockfd < 0)
        return errno == ENOENT ? lockabsent
             : errno == ENXIO || errno == ELOOP ? locknotregular : lockfailed;
    struct stat st;
    bool known = fstat(lockfd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        unlockfile();
        return known ? locknotregular : lockfailed;
    }
    // flock, not fcntl: closing any other descriptor of the file, as every
    // stream of the call does, would drop an fcntl lock.
    while (flock(lockfd, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL)
            return nolock;
        unlockfile();
        return lockfailed;
    }
    lockforwine(name);
    return locked;
}

void unlockfile()
{
    // Closing the last descriptor of each lets its lock go.
    if (winefd >= 0)
        close(winefd);
    if (lockfd >= 0)
        close(lockfd);
    winefd = -1;
    lockfd = -1;
}

static sigset_t oldmask;
static struct sigaction oldxfsz;

// Every signal that can be held is: an interrupt, a terminate, a hang-up,
// a quit and a suspend, and all others whose default ends the program
// (an alarm, SIGUSR1, ...). Not those that a fault of the program itself
// raises, which cannot wait.
void holdstops()
{
    sigset_t stops;
    sigfillset(&stops);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGXFSZ})
        sigdelset(&stops, sig);
    sigprocmask(SIG_BLOCK, &stops, &oldmask);
    // Blocked, SIGXFSZ would end the program once let through: ignored,
    // a write past the limit just fails.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &oldxfsz);
}

void releasestops()
{
    sigaction(SIGXFSZ, &oldxfsz, nullptr);
    // Any stop that came is delivered here, before this returns.
    sigprocmask(SIG_SETMASK, &oldmask, nullptr);
}

void startconsole()
{
}

int readbyte()
{
    return getchar();
}

bool writetext(const char *text)
{
    return fputs(text, stdout) != EOF && fflush(stdout) == 0;
}
