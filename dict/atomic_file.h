// atomic_file.h: replacing a file so that readers and crashes see the old content or the new, never
// a mixture or a truncated file, and so that a writer that dies leaves nothing behind for good.
//
// Where the file system can, the new content goes to an unnamed file in the target's directory
// (O_TMPFILE): a writer that dies while writing leaves nothing at all. Only when the content is
// complete and synced does the file get a name, the hidden temporary one ".<target>.<16 hex>.tmp"
// beside the target, and at once it is renamed over the target. Where unnamed files are refused (or
// /proc, through which such a file gets its name, is missing) the file is created under the hidden
// temporary name at Begin. Either way the rename is followed by a sync of the directory, so that it
// survives a crash.
//
// A writer holds an exclusive flock on its file from Begin until the file is in place or abandoned;
// the lock goes with the file's open description, not with one descriptor, so it outlives the close
// in Finish. Begin removes the temporaries of the same target whose writers are gone: those it can
// lock, and only while it holds the lock and has seen that the name still names the file it locked.
// A live writer's file is therefore never removed (see ProbeOwner). On a file system where locks
// cannot be taken at all nothing is removed.
//
// Any failure removes the temporary file, leaves the target as it was, and keeps the errno of the
// step that failed. Used by every writer of the library's files.
//
// Threads: an AtomicFile is used by one thread. Two writers of the same target in parallel each
// get their own temporary file; the last rename wins.
#ifndef ZKDICT_DICT_ATOMIC_FILE_H
#define ZKDICT_DICT_ATOMIC_FILE_H

#include <cstdio>
#include <string>

#include "zklib/zklib.h"

namespace zk {

class AtomicFile {
public:
    AtomicFile() = default;
    // Abandons a file that was begun and not committed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Removes the abandoned temporaries of target, then creates the new file for it, with the
    // target's permission bits when it exists and otherwise those a new file gets (0666 less the
    // umask). FALSE with errno set.
    bool Begin(const std::string& target);

    // Write the content through one of these, not two: a buffered channel or a stdio stream on the
    // new file (made on first use; NULL with errno set if it cannot be), or its descriptor.
    // -1 when not begun.
    Channel* channel();
    std::FILE* stream();
    int fd() const { return fd_; }

    // Puts the content in place under the target's name: Finish, then Publish. FALSE with errno of
    // the failing step; the new file is then gone and the target untouched, except when only the
    // final sync of the directory failed: the new file is then in place but may not survive a
    // crash.
    bool Commit();

    // The steps of Commit, for a writer that must have several files synced before the first of
    // them goes in place. Finish flushes, syncs and closes the file; a stream whose error flag is
    // set fails here too (with EIO when nothing later failed). Publish renames it over the target
    // and, with syncDir, syncs the directory. On failure both abandon the file, except when only
    // the directory sync failed, as for Commit, and except after LinkAs (below).
    bool Finish();
    bool Publish(bool syncDir = true);

    // Gives a finished file a name of the caller's choosing in place of its temporary one, without
    // replacing anything: EEXIST when name exists, and then nothing has changed. The name is taken
    // by a link, which no other writer can take at the same moment; only on a file system without
    // hard links is it a rename once the name is seen free. The file stays locked, and Publish later
    // renames it from there. From then on it is the caller's file under that name: a failing
    // Publish leaves it there, Abandon still removes it, Release keeps it.
    bool LinkAs(const std::string& name);

    // Closes and removes the new file, keeping errno. Nothing happens when nothing was begun.
    void Abandon();
    // Lets go of a file given a name with LinkAs, leaving it under that name; otherwise Abandon.
    void Release();

    // The file's temporary name: the one it has, or, for an unnamed file, the one it will have
    // between being named and being renamed over the target. After LinkAs, that name.
    const std::string& temp_path() const { return temp_; }

    // For the tests: true makes every later Begin create a named temporary file, as on file
    // systems without unnamed ones. Not exported from the library.
    static void ForceNamedTemporariesForTesting(bool on);

private:
    bool GiveName(const std::string& name);
    void Drop(bool remove);

    std::string target_;
    std::string temp_;
    std::string head_;            // the temporary names' common start: directory, dot, target, dot
    std::string dir_;             // the target's directory, to sync after the rename
    int fd_ = -1;                 // the new file, until the channel or stream takes it over
    int lock_fd_ = -1;            // holds the writer's lock, and the unnamed file, until the end
    Channel* channel_ = nullptr;  // owns fd_ once made
    std::FILE* stream_ = nullptr; // or this does
    bool unnamed_ = false;        // an O_TMPFILE file that has no name yet
    bool linked_ = false;         // named by LinkAs
    bool finished_ = false;       // closed and synced, waiting for Publish
};

// Whether the writer of a file (an AtomicFile, or whoever else holds the same kind of lock) is
// still at work on it.
enum class FileOwner {
    kGone,     // the lock is ours now: nobody writes the file and the name still names it
    kAlive,    // someone holds the lock
    kUnknown,  // the file system refused the lock itself, so nothing can be told
    kAbsent,   // no regular file by that name, or the name moved while it was being probed
};

// Opens name (relative to dirfd, which may be AT_FDCWD) read-only, never following a symbolic link
// or blocking on a FIFO, and takes an exclusive flock on it, waiting for it with wait. For kGone
// and kUnknown *fd is the descriptor (with the lock for kGone), to be closed by the caller; else -1
// (kUnknown then means the file could not even be opened). errno is kept, except for kUnknown,
// which leaves the cause.
// While a prober holds the lock of a kGone file, that name keeps naming the file: whoever of this
// library removes or renames a file from a temporary or pending name does so holding its lock (a
// prober, or the writer itself), after seeing that the name still names it, and names are taken by
// O_EXCL or by a link, which fail on an existing name.
FileOwner ProbeOwner(int dirfd, const char* name, bool wait, int* fd);

// fsync of a directory; file systems that cannot sync one count as synced. 0, or -1 with errno.
int SyncDirectory(const std::string& dir);

}  // namespace zk

#endif  // ZKDICT_DICT_ATOMIC_FILE_H
