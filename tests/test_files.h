// test_files.h: what the tests of file readers and writers share: a scratch directory per test, raw
// file contents, and the capture of the reports a call makes through zklib's message service.
#ifndef ZKDICT_TESTS_TEST_FILES_H
#define ZKDICT_TESTS_TEST_FILES_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "zklib/zklib.h"

namespace zktest {

using Bytes = std::vector<UByte>;

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A directory of the test's own, removed with everything in it.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "zkdict_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.insert(entry.path().filename());
        return names;
    }
    std::string dir_;
};

// Captures every report made while it lives as "function severity text", and checks that each one
// comes from the source path and module it was made for.
class CapturedReports {
public:
    explicit CapturedReports(const char* path, const char* module = "zkdict") : previous_(ZKSetMessageHandler(Capture)) {
        Expected() = {path, module};
        Reports().clear();
    }
    ~CapturedReports() { ZKSetMessageHandler(previous_); }
    CapturedReports(const CapturedReports&) = delete;
    CapturedReports& operator=(const CapturedReports&) = delete;
    std::vector<std::string> Take() { return std::exchange(Reports(), {}); }

private:
    static std::vector<std::string>& Reports() {
        static std::vector<std::string> reports;
        return reports;
    }
    static std::pair<std::string, std::string>& Expected() {
        static std::pair<std::string, std::string> expected;
        return expected;
    }
    static void Capture(const char* path, int, const char* module, const char* function, int severity, int,
                        const char* text) {
        EXPECT_EQ(path, Expected().first);
        EXPECT_EQ(module, Expected().second);
        Reports().push_back(std::string(function) + " " + std::to_string(severity) + " " + text);
    }
    ZKMessageHandler previous_;
};

}  // namespace zktest

#endif  // ZKDICT_TESTS_TEST_FILES_H
