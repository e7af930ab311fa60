// The C++ layer: events keyed by time in a red-black tree, walked in order with range-for and
// queried from a point in time on; absent keys are empty optionals, not markers.
#include <cstdio>

#include "zkdict/zkdict.hpp"

int main() {
    zkdict::RBDict events;
    for (unsigned t : {1700u, 1200u, 1500u, 900u, 2100u}) events.insert_or_assign(t, t / 100);
    std::printf("%u events:", unsigned(events.size()));
    for (auto [time, code] : events) std::printf(" %u:%u", time, code);
    std::printf("\nfrom 1300 on:");
    for (auto it = events.lower_bound(1300); it != events.end(); ++it) std::printf(" %u", (*it).first);
    const bool missing = !events.find(1000).has_value();
    std::printf("\nat 1000: %s\n", missing ? "nothing" : "something");
    return events.size() == 5 && missing && events.find(1500) == 15u ? 0 : 1;
}
