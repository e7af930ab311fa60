// Every opener of the libraries' files given what is not a regular file: a FIFO (which would block
// an ordinary open until a writer comes), a directory, a device, a socket, a dangling link. Each is
// refused at once with its errno, and nothing is left open or mapped.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "dict/attrdict.h"
#include "dict/hashdict.h"
#include "dict/hashtable.h"
#include "tests/test_files.h"

namespace {

// Open descriptors of this process, to see that a refusal closes what it opened.
int OpenDescriptors() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++count;
        closedir(d);
    }
    return count;
}

class SpecialFiles : public zktest::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // The kinds, each under the names every opener looks for: NAME.dic for a dictionary, NAME
        // for a table, NAME.idx and NAME.dat for an attribute pair.
        for (const char* suffix : {"", ".dic", ".idx", ".dat"}) {
            ASSERT_EQ(mkfifo(PathOf(std::string("fifo") + suffix).c_str(), 0600), 0);
            ASSERT_EQ(mkdir(PathOf(std::string("dir") + suffix).c_str(), 0700), 0);
            ASSERT_EQ(symlink("/dev/zero", PathOf(std::string("zero") + suffix).c_str()), 0);
            ASSERT_EQ(symlink("nowhere", PathOf(std::string("dangling") + suffix).c_str()), 0);
            Bind(PathOf(std::string("socket") + suffix));
        }
    }
    void TearDown() override {
        for (int fd : sockets_) close(fd);
        TempDirTest::TearDown();
    }
    void Bind(const std::string& path) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof address.sun_path) << "temporary directory path too long for a socket";
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
        sockets_.push_back(fd);
    }
    // Runs open under a watchdog (a blocking open ends the test program instead of hanging it) and
    // gives the errno of its refusal.
    int Refusal(const std::function<bool()>& open) {
        const int before = OpenDescriptors();
        alarm(20);
        errno = 0;
        const bool opened = open();
        const int err = errno;
        alarm(0);
        EXPECT_FALSE(opened);
        EXPECT_EQ(OpenDescriptors(), before) << "a descriptor left open";
        return err;
    }
    std::vector<int> sockets_;
};

struct Kind {
    const char* name;
    int err;
};
constexpr Kind kKinds[] = {{"fifo", EINVAL}, {"dir", EINVAL}, {"zero", ENODEV}, {"socket", EINVAL}, {"dangling", ENOENT}};

TEST_F(SpecialFiles, EveryOpenerRefusesThemAtOnce) {
    zktest::CapturedReports reports("dict/hashtable");
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        size_t size = 1;
        Boolean empty = TRUE;
        EXPECT_EQ(Refusal([&] { return FileMapRead(dir_.c_str(), k.name, &size, &empty) != nullptr; }), k.err);
        EXPECT_EQ(size, 0u);
        EXPECT_FALSE(empty);
        EXPECT_EQ(Refusal([&] { return HashDictOpen(dir_.c_str(), k.name, nullptr) != nullptr; }), k.err);
        EXPECT_EQ(Refusal([&] { return AttrDictOpen(dir_.c_str(), k.name) != nullptr; }), k.err);
        const std::string path = PathOf(k.name);
        EXPECT_EQ(Refusal([&] { return HashTableRead(path.c_str(), nullptr, nullptr, nullptr, FALSE) != nullptr; }),
                  k.err);
        EXPECT_EQ(reports.Take(),
                  std::vector<std::string>{"HashTableRead 4 error opening " + path + ": " + std::strerror(k.err)});
    }
}

// A regular index beside a data "file" of another kind: the pair is refused, and the index's
// mapping is released.
TEST_F(SpecialFiles, AnAttributeIndexBesideAnotherKindOfData) {
    AttrDict* a = AttrDictBuild(dir_.c_str(), "pair", FALSE);
    ASSERT_NE(a, nullptr);
    AttrDictAdd(a, reinterpret_cast<const UByte*>("x"), 1);
    ASSERT_TRUE(AttrDictCommit(a));
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(std::filesystem::remove(PathOf("pair.dat")));
        ASSERT_EQ(rename(PathOf(std::string(k.name) + ".dat").c_str(), PathOf("pair.dat").c_str()), 0);
        EXPECT_EQ(Refusal([&] { return AttrDictOpen(dir_.c_str(), "pair") != nullptr; }), k.err);
    }
}

}  // namespace
