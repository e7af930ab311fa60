// atomic_file.h: replacing a file so that readers and crashes see the old content or the new, never
// a mixture or a truncated file.
//
// The new content goes to a temporary file created exclusively beside the target (same directory,
// so the final rename stays within one file system). Commit flushes and syncs it, renames it over
// the target and syncs the directory, so that the rename itself survives a crash. Any failure
// removes the temporary file, leaves the target as it was, and keeps the errno of the step that
// failed. Used by every writer of the library's files.
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

    // Creates the temporary file for target, with the target's permission bits when it exists and
    // otherwise those a new file gets (0666 less the umask). FALSE with errno set.
    bool Begin(const std::string& target);

    // Write the content through one of these, not two: a buffered channel or a stdio stream on the
    // temporary file (made on first use; NULL with errno set if it cannot be), or its descriptor.
    // -1 when not begun.
    Channel* channel();
    std::FILE* stream();
    int fd() const { return fd_; }

    // Puts the content in place under the target's name: Finish, then Publish. FALSE with errno of
    // the failing step; the temporary file is then gone and the target untouched, except when only
    // the final sync of the directory failed: the new file is then in place but may not survive a
    // crash.
    bool Commit();

    // The two halves of Commit, for a writer that must have several files synced before the first
    // of them goes in place. Finish flushes, syncs and closes the temporary file; a stream whose
    // error flag is set fails here too (with EIO when nothing later failed). Publish renames it over
    // the target and, with syncDir, syncs the directory. On failure both abandon the file, except
    // when only the directory sync failed, as for Commit.
    bool Finish();
    bool Publish(bool syncDir = true);

    // Closes and removes the temporary file, keeping errno. Nothing happens when nothing was begun.
    void Abandon();

    const std::string& temp_path() const { return temp_; }

private:
    std::string target_;
    std::string temp_;
    std::string dir_;             // the target's directory, to sync after the rename
    int fd_ = -1;                 // the temporary file, until the channel takes it over
    Channel* channel_ = nullptr;  // owns fd_ once made
    std::FILE* stream_ = nullptr; // or this does
    bool finished_ = false;       // closed and synced, waiting for Publish
};

}  // namespace zk

#endif  // ZKDICT_DICT_ATOMIC_FILE_H
