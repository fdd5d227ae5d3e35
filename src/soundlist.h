// Sound list update: adds one sound entry at the head of the sound list
// sounds.json in the working directory, by way of sounds.backup.
#ifndef SOUNDLIST_H
#define SOUNDLIST_H

#include <cstdio>

// The longest name that addentry takes, and the size of its line buffers.
const int namemax = 99;
const int linesize = 5000;

// What became of one call of addentry.
enum addresult {
    added,      // the entry stands at the head of sounds.json
    notfound,   // sounds.json cannot be opened for reading; no file touched
    toolong,    // the name is longer than namemax; no file touched
    badname,    // the name holds a " or \ or a control character; no file touched
    badutf8,    // the name is not UTF-8 text; no file touched
    badstart,   // sounds.json does not begin with {; no file touched
    badend,     // sounds.json does not end with } (it may have been cut
                // short); no file touched, so sounds.backup keeps its text
    unreadable, // sounds.json is not a regular file or reading it failed; it
                // was not changed
    cutshort,   // a text read of sounds.json ends before the file does (at
                // a Ctrl-Z on Windows); it was not changed
    nobackup,   // sounds.backup could not be made or read back whole, or is
                // not a file of its own; sounds.json was not changed
    unwritable, // sounds.json cannot be opened for writing; it was not changed
    restored,   // rewriting sounds.json failed; its old text was put back
    inbackup,   // putting it back failed too; sounds.backup holds the old text
                // less its opening brace
};

// Puts the entry block for name in front of the members of sounds.json.
// sounds.backup is left holding the list's old text after its opening brace,
// and is written only by a call that goes on to rewrite the list. Both are
// on the disk when the call returns added. One call at a time per list,
// across processes: a call waits for another's to end. Stops (an interrupt,
// a closed console) that come during the call are held until both files are
// closed, then take effect. Prints nothing.
addresult addentry(const char *name);

// Copies what is left of from to to through buffer (linesize characters),
// every byte as it is; with to null it only counts. Returns the number of
// characters copied, or -1 if a read or a write failed.
long long copylines(FILE *from, FILE *to, char *buffer);

#endif
