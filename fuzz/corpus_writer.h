// corpus_writer.h: what the two seed-corpus programs share: stopping with the reason on a failed
// write, making directories, whole files, and their command line.
#ifndef ZKDICT_FUZZ_CORPUS_WRITER_H
#define ZKDICT_FUZZ_CORPUS_WRITER_H

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace zkcorpus {

using Bytes = std::vector<unsigned char>;

// The name the messages start with, set by Run.
inline const char*& ProgramName() {
    static const char* name = "";
    return name;
}

// A corpus with a seed missing would pass for a whole one, so any failure ends the program.
[[noreturn]] inline void Die(const std::string& what) {
    std::fprintf(stderr, "%s: %s: %s\n", ProgramName(), what.c_str(), std::strerror(errno));
    std::exit(1);
}

inline void MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) Die("cannot create " + path);
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) Die("cannot write " + path);
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Die("cannot read " + path);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What main does: root becomes the corpus directory named by the only argument, created if need
// be, and each part of the corpus is written into it in turn. Returns main's status: 2 after
// printing the usage when the arguments are wrong.
inline int Run(int argc, char** argv, const char* program, std::string& root,
               std::initializer_list<void (*)()> parts) {
    ProgramName() = program;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    MakeDir(root);
    for (void (*part)() : parts) part();
    return 0;
}

}  // namespace zkcorpus

#endif  // ZKDICT_FUZZ_CORPUS_WRITER_H
