// Prime table sizes.

#include "zklib/zklib.h"

#include <cstdlib>

namespace {

constexpr UInt kLargestPrime = 4294967291u;  // the largest prime below 2^32

UInt MulMod(UInt a, UInt b, UInt m) { return static_cast<UInt>(static_cast<ULong>(a) * b % m); }

UInt PowMod(UInt base, UInt exponent, UInt m) {
    UInt result = 1;
    base %= m;
    while (exponent != 0) {
        if (exponent & 1) {
            result = MulMod(result, base, m);
        }
        base = MulMod(base, base, m);
        exponent >>= 1;
    }
    return result;
}

// Miller-Rabin with the witnesses 2, 7 and 61 decides primality exactly for every n below
// 4759123141, which covers all 32-bit numbers. Division by a few small primes first rejects most
// candidates cheaply.
bool IsPrime(UInt n) {
    static constexpr UInt kSmallPrimes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61};
    if (n < 2) {
        return false;
    }
    for (UInt p : kSmallPrimes) {
        if (n % p == 0) {
            return n == p;
        }
    }
    if (n < 67 * 67) {
        return true;  // no factor up to 61, and none between 62 and 66 is prime
    }
    UInt d = n - 1;
    int shifts = 0;
    while ((d & 1) == 0) {
        d >>= 1;
        ++shifts;
    }
    static constexpr UInt kWitnesses[] = {2, 7, 61};
    for (UInt witness : kWitnesses) {
        UInt x = PowMod(witness, d, n);
        if (x == 1 || x == n - 1) {
            continue;
        }
        bool composite = true;
        for (int i = 1; i < shifts; ++i) {
            x = MulMod(x, x, n);
            if (x == n - 1) {
                composite = false;
                break;
            }
        }
        if (composite) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" {

ZK_EXPORT UInt Prime(UInt n) {
    if (n <= 2) {
        return 2;
    }
    if (n > kLargestPrime) {
        ZKSetMessageContext2_(__FILE__, __LINE__, "zklib", "Prime", 4, 0);
        ZKMessage_("no 32-bit prime not below %u", n);
        std::abort();  // not reached: a fatal report stops the process
    }
    // Ends at kLargestPrime at the latest, so the odd candidates never wrap.
    UInt candidate = n | 1;
    while (!IsPrime(candidate)) {
        candidate += 2;
    }
    return candidate;
}

}  // extern "C"
