// test_seed.h: the seed of the randomised tests. Printed once per test program, and taken from
// ZK_SEED when it is set, so that a failure found with one seed can be replayed with it.
#ifndef ZKDICT_TESTS_TEST_SEED_H
#define ZKDICT_TESTS_TEST_SEED_H

#include <cstdio>
#include <cstdlib>
#include <random>

namespace zktest {

inline unsigned Seed() {
    static const unsigned seed = [] {
        const char* env = std::getenv("ZK_SEED");
        unsigned s = env ? unsigned(std::strtoul(env, nullptr, 0)) : std::random_device{}();
        std::printf("ZK_SEED=%u (set ZK_SEED to replay)\n", s);
        return s;
    }();
    return seed;
}

}  // namespace zktest

#endif  // ZKDICT_TESTS_TEST_SEED_H
