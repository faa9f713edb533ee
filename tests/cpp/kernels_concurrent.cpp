// Every kernel called from several threads at once, sharing the worker pool,
// on shared and on separate inputs, failing calls included; each result must
// equal the one computed with no other call running.  Under ThreadSanitizer
// (tests/cpp/run_tsan.sh) this is the data-race check of kernels and pool.
#include <atomic>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "encode/encode_srgb.hpp"
#include "error/internal_failure.hpp"
#include "bw/monochrome.hpp"
#include "image/image.hpp"
#include "local_contrast/local_contrast.hpp"
#include "tone/zone_system.hpp"

namespace {

using namespace velkor;

struct Image {
    std::vector<float> values;
    std::size_t h, w, c;

    // Rows in reverse order when `reversed`: a negative step, not C-contiguous.
    ImageView view(bool reversed = false) const {
        const auto row = static_cast<std::ptrdiff_t>(w * c);
        return {.origin = values.data() + (reversed ? (h - 1) * w * c : 0), .h = h, .w = w, .c = c,
                .step = {reversed ? -row : row, static_cast<std::ptrdiff_t>(c), 1}, .c_contiguous = !reversed};
    }
};

Image random_image(std::size_t h, std::size_t w, std::size_t c, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-0.25f, 1.75f);
    Image image{std::vector<float>(h * w * c), h, w, c};
    for (float& v : image.values) v = value(generator);
    return image;
}

// The outcome of one call: the result's bytes, or the error's text.
std::string outcome(const std::function<Result<OwnedImage>()>& call) {
    try {
        Result<OwnedImage> result = call();
        if (!result.ok()) return "ShapeError: " + result.error().message;
        const OwnedImage& image = result.value();
        std::string bytes(reinterpret_cast<const char*>(image.pixels.data()), image.pixels.size() * sizeof(float));
        return std::to_string(image.h) + "x" + std::to_string(image.w) + "x" + std::to_string(image.c) + ":" + bytes;
    } catch (const InternalFailure& failure) {
        return std::string("InternalFailure: ") + failure.what();
    }
}

struct Job {
    const char* name;
    std::function<Result<OwnedImage>(const Image& rgb, const Image& luma)> call;
};

std::vector<Job> jobs() {
    static const ZoneOffsets offsets = ZoneOffsets::from_pairs({{3, -0.5f}, {5, 0.5f}, {7, 1.0f}});
    return {
        {"encode_srgb", [](const Image& rgb, const Image&) { return encode_srgb(rgb.view()); }},
        {"encode_srgb reversed", [](const Image& rgb, const Image&) { return encode_srgb(rgb.view(true)); }},
        {"color_filter_bw",
         [](const Image& rgb, const Image&) {
             return color_filter_bw(rgb.view(true), ColorFilter::Red25A, LuminanceStandard::Bt709);
         }},
        {"channel_mixer_bw wrong shape",
         [](const Image&, const Image& luma) {
             return channel_mixer_bw(luma.view(), ChannelWeights{0.5f, 0.25f, 0.25f});
         }},
        {"zone_system", [](const Image&, const Image& luma) { return zone_system(luma.view(), offsets); }},
        {"local_contrast",
         [](const Image&, const Image& luma) { return local_contrast(luma.view(true), 4, 0.01f, 1.5f); }},
    };
}

}  // namespace

int main() {
    const Image rgb = random_image(48, 80, 3, 1), luma = random_image(48, 80, 1, 2);
    const std::vector<Job> all = jobs();
    std::vector<std::string> expected;
    for (const Job& job : all) expected.push_back(outcome([&] { return job.call(rgb, luma); }));

    constexpr int kThreads = 6, kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const Image own_rgb = rgb, own_luma = luma;  // separate inputs beside the shared ones
            for (int round = 0; round < kRounds; ++round) {
                std::size_t index = static_cast<std::size_t>(t + round) % all.size();
                bool shared = (t + round) % 2 == 0;
                std::string got = outcome([&] {
                    return shared ? all[index].call(rgb, luma) : all[index].call(own_rgb, own_luma);
                });
                if (got == expected[index]) continue;
                std::fprintf(stderr, "%s differs in thread %d, round %d\n", all[index].name, t, round);
                ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::printf("kernels_concurrent: %zu jobs, %d threads x %d rounds, %d failure(s)\n", all.size(), kThreads,
                kRounds, failures.load());
    return failures == 0 ? 0 : 1;
}
