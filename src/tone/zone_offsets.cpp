#include "tone/zone_offsets.hpp"

#include <algorithm>

namespace velkor {

ZoneOffsets ZoneOffsets::from_pairs(std::vector<ZoneOffset> pairs) {
    // A stable sort keeps repeated zones in reading order, so the last of each
    // run is the one that was read last.
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const ZoneOffset& a, const ZoneOffset& b) { return a.zone < b.zone; });
    ZoneOffsets map;
    map.entries_.reserve(pairs.size());
    for (const ZoneOffset& pair : pairs) {
        if (!map.entries_.empty() && map.entries_.back().zone == pair.zone) {
            map.entries_.back().offset = pair.offset;
        } else {
            map.entries_.push_back(pair);
        }
    }
    return map;
}

}  // namespace velkor
