/*
 * files.h: files for the save and load workloads: a temporary directory that removes itself, a
 * whole-file reader, and a writer as durable as the library's own.
 */
#ifndef ZKDICT_BENCH_SUPPORT_FILES_H
#define ZKDICT_BENCH_SUPPORT_FILES_H

#include <cstddef>
#include <memory>
#include <string>

namespace zkbench {

// A new directory under /tmp for the files a program writes and reads back, removed with its content
// when the object goes. A run stopped by Fail leaves it behind, since abort skips destructors.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::size_t FileSize(const std::string& path);

// A file's whole content, as a loader would take it: one block of the file's size, left
// uninitialised (zero-filling 40 MB first would be time no loader spends), filled by stdio.
struct FileBytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
};

FileBytes ReadFile(const std::string& path);

// Replaces path with size bytes as durably as the library's own writers do: a temporary file beside
// it, written, synced, renamed over it, and the directory synced. A peer's save then pays for the
// same guarantee as ours, and the two save rows compare formats rather than fsync policies.
void WriteFileDurably(const std::string& path, const void* bytes, std::size_t size);

}  // namespace zkbench

#endif  // ZKDICT_BENCH_SUPPORT_FILES_H
