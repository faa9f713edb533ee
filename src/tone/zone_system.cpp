#include "tone/zone_system.hpp"

#include <cstring>
#include <vector>

#include "error/internal_failure.hpp"
#include "parallel/parallel.hpp"
#include "tone/zone_curve_span.hpp"

namespace velkor {
namespace {

// The zones as floats and their offsets, in the map's (ascending) order: two
// flat arrays every worker walks per pixel.
struct ZoneTable {
    std::vector<float> zones;
    std::vector<float> offsets;

    explicit ZoneTable(const ZoneOffsets& map) {
        zones.reserve(map.size());
        offsets.reserve(map.size());
        for (const ZoneOffset& entry : map.entries()) {
            zones.push_back(static_cast<float>(entry.zone));  // nearest, ties to even
            offsets.push_back(entry.offset);
        }
    }
    bool empty() const { return zones.empty(); }
};

void copy_values(const float* in, float* out, std::size_t n) {
    parallel::for_range(n, [&](std::size_t begin, std::size_t end) {
        std::memcpy(out + begin, in + begin, (end - begin) * sizeof(float));
    });
}

void tone_values(const float* in, float* out, std::size_t n, const ZoneTable& table) {
    parallel::for_range(n, [&](std::size_t begin, std::size_t end) {
        zone_curve::zone_curve_span(in + begin, out + begin, end - begin, table.zones.data(), table.offsets.data(),
                              table.zones.size());
    });
}

}  // namespace

InputCheck check_zone_system_input(const ImageView& img) {
    if (img.c != 1) {
        return ShapeError{"zone_system expects (H, W, 1) luminance input, got shape " + img.shape_text()};
    }
    // The curve walks input and output as one flat run of H x W values.
    if (img.count() != 0 && !img.c_contiguous) internal_failure("zone_system: input must be C-contiguous");
    return std::nullopt;
}

Result<OwnedImage> zone_system(const ImageView& img, const ZoneOffsets& offsets) {
    if (InputCheck refused = check_zone_system_input(img)) return *refused;
    ZoneTable table(offsets);
    OwnedImage out = OwnedImage::uninitialized(img.h, img.w, 1);
    if (table.empty()) {
        copy_values(img.origin, out.pixels.data(), img.count());
    } else {
        tone_values(img.origin, out.pixels.data(), img.count(), table);
    }
    return out;
}

}  // namespace velkor
