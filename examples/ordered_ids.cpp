// The C++ layer: events keyed by time in a red-black tree, walked in order and backwards, a window
// of time taken as a range between two bounds; absent keys are empty optionals, not markers.
#include <cstdio>
#include <ranges>

#include "zkdict/trees.hpp"

int main() {
    zkdict::RBDict events;
    for (unsigned t : {1700u, 1200u, 1500u, 900u, 2100u}) events.insert_or_assign(t, t / 100);
    std::printf("%u events:", unsigned(events.size()));
    for (auto [time, code] : events) std::printf(" %u:%u", time, code);
    std::printf("\nlatest first:");
    for (auto [time, code] : events | std::views::reverse) std::printf(" %u", time);
    std::printf("\nfrom 1200 to 1700:");
    unsigned window = 0;
    for (auto [time, code] : std::ranges::subrange(events.lower_bound(1200), events.upper_bound(1700))) {
        std::printf(" %u", time);
        ++window;
    }
    const bool missing = !events.find(1000).has_value();
    const auto before = events.nearest(1000, zkdict::Round::down);
    std::printf("\nat 1000: %s; last before: %u\n", missing ? "nothing" : "something", before ? before->first : 0);
    return events.size() == 5 && missing && window == 3 && before && before->first == 900 && events.find(1500) == 15u ? 0 : 1;
}
