// Platform layer of addsound: what the C streams cannot do. Opening a file
// without following a link and without waiting on it, telling its kind and
// identity, its permission bits, emptying it and flushing it to the disk, a
// lock held for one insertion, holding the stops that come during one, and
// the console. systemposix.cpp and systemwin.cpp each implement all of it;
// the code above reads the same on both systems.
#ifndef SYSTEM_H
#define SYSTEM_H

#include <cstdio>

// How openfile opens a file.
enum filemode {
    readtext,   // reading, text stream ("r"); a link is followed
    readbinary, // reading, binary stream ("rb"); a link is followed
    updatetext, // writing, text stream, not emptied ("r+"); a link is followed
    maketext,   // writing and reading, text stream ("w+" but not emptied):
                // created if absent, never opened through a link
};

// What became of an opening.
enum fileopen {
    opened,     // an existing regular file is open
    created,    // the file did not exist and was created (maketext only)
    absent,     // there is no file of that name
    notregular, // a folder, a FIFO, a device, or (maketext) a link
    failed,     // any other failure, such as missing permissions
};

// Opens the regular file name in mode, with buffer (size bytes) as the
// stream's buffer. Never waits on a FIFO or a device: anything but a regular
// file is refused at once, and nothing is truncated by the opening itself.
// Sets *how; returns nullptr unless it says opened or created.
FILE *openfile(const char *name, filemode mode, char *buffer, size_t size,
               fileopen *how);

// Tells whether two open streams are one file (device and file id; on
// Windows volume serial and file index). False if either cannot be told.
bool samefile(FILE *a, FILE *b);

// The number of names the open file has (hard links), or -1.
long links(FILE *fp);

// Gives the file of to the permission bits of the file of from. Where the
// system has no such bits it does nothing. False on failure.
bool copymode(FILE *to, FILE *from);

// Empties the file of fp and puts the stream at its start. Whatever the
// stream held in its buffer must have been written or be unwanted.
bool emptyfile(FILE *fp);

// Writes the stream's buffer and then flushes the file to the disk. False on
// failure: the file's text may then not be on the disk.
bool syncfile(FILE *fp);

// Flushes the working directory itself to the disk, so that a file created
// in it keeps its name after a power cut. True where there is nothing to do.
bool syncfolder();

// What became of lockfile.
enum lockresult {
    locked,    // the lock is held
    nolock,    // the file system has no locks; the file is open all the same
    lockabsent,     // there is no file of that name
    locknotregular, // not a regular file
    lockfailed,     // any other failure
};

// Opens name and waits until this process alone holds an exclusive lock on
// it. Another process calling lockfile on the same file waits in turn until
// unlockfile, whichever system's program it is (on Linux, the Windows
// program under Wine too). Does not hold any stop while it waits. One lock
// at a time.
lockresult lockfile(const char *name);

// Lets the lock go and closes what lockfile opened.
void unlockfile();

// From holdstops to releasestops, the stops that would end or suspend the
// program (an interrupt, a terminate, a hang-up, a quit, a suspend; on
// Windows the console's Ctrl-C, Ctrl-Break, close, log-off and shut-down
// events) are held, and a write past a file-size limit fails instead of
// ending the program. releasestops puts everything back as it was; a stop
// that came in between then takes effect: the program ends (or is
// suspended) before releasestops returns.
void holdstops();
void releasestops();

// Prepares standard input and output for the prompt loop: on a console
// that would not give or show UTF-8, names typed there arrive as UTF-8 and
// text written shows as such. Call once, first.
void startconsole();

// The next byte of standard input, or EOF at its end or on an error. From a
// console the bytes are UTF-8, whatever the console's code page.
int readbyte();

// Writes text (UTF-8) to standard output and flushes it. False on failure.
bool writetext(const char *text);

#endif
