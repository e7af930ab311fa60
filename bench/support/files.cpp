#include "bench/support/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "bench/support/fail.h"

namespace zkbench {

TempDir::TempDir() {
    char name[] = "/tmp/zkbench.XXXXXX";
    if (mkdtemp(name) == nullptr) Fail(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::size_t FileSize(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) Fail("cannot stat " + path + ": " + std::strerror(errno));
    return static_cast<std::size_t>(st.st_size);
}

FileBytes ReadFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) Fail("cannot open " + path + ": " + std::strerror(errno));
    struct stat st;
    if (fstat(fileno(f), &st) != 0) Fail("cannot stat " + path + ": " + std::strerror(errno));
    FileBytes out;
    out.size = static_cast<std::size_t>(st.st_size);
    out.data = std::make_unique_for_overwrite<char[]>(out.size);
    if (std::fread(out.data.get(), 1, out.size, f) != out.size) Fail("short read of " + path);
    std::fclose(f);
    return out;
}

void WriteFileDurably(const std::string& path, const void* bytes, std::size_t size) {
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) Fail("cannot create " + tmp + ": " + std::strerror(errno));
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, static_cast<const char*>(bytes) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("cannot write " + tmp + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) Fail("cannot sync " + tmp + ": " + std::strerror(errno));
    if (std::rename(tmp.c_str(), path.c_str()) != 0) Fail("cannot rename " + tmp + ": " + std::strerror(errno));
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0 || close(dfd) != 0) Fail("cannot sync " + dir + ": " + std::strerror(errno));
}

}  // namespace zkbench
