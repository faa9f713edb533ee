#pragma once
// The per-zone tone offsets of a ZoneParams object as a plain value, so the
// call frame can hand the kernel a private copy that outlives the lock.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velkor {

struct ZoneOffset {
    std::int32_t zone;  // Zone V (5) is middle grey; any 32-bit index is allowed
    float offset;       // stops; stored as given, NaN and infinities included
};

// A map from zone to offset kept as a flat vector sorted by zone: a handful of
// entries, walked in full by every pixel, so a contiguous array serves better
// than a hash table.  Ascending zone order is also the fixed order in which
// the tone curve adds the zones' contributions, which makes its last bits
// independent of the order of the caller's dictionary.
class ZoneOffsets {
public:
    ZoneOffsets() = default;

    // Pairs in the order they were read; when a zone repeats, the later pair
    // wins, as a later assignment to a dict key would.
    static ZoneOffsets from_pairs(std::vector<ZoneOffset> pairs);

    // Ascending by zone, each zone once.
    std::span<const ZoneOffset> entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<ZoneOffset> entries_;
};

}  // namespace velkor
