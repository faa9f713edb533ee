// The rules that turn RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS into a
// worker count.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "parallel/thread_count.hpp"
#include "pool_check.hpp"

using namespace velkor::parallel;

namespace {

struct ParseCase {
    std::string_view text;
    std::optional<std::uint64_t> expected;
};

const ParseCase kParseCases[] = {
    {"4", 4},
    {"+4", 4},
    {"0", 0},
    {"+0", 0},
    {"007", 7},
    {"18446744073709551615", UINT64_MAX},
    {"18446744073709551616", std::nullopt},
    {"99999999999999999999", std::nullopt},
    {"", std::nullopt},
    {"+", std::nullopt},
    {"++4", std::nullopt},
    {" 4", std::nullopt},
    {"4 ", std::nullopt},
    {"-4", std::nullopt},
    {"-0", std::nullopt},
    {"4.0", std::nullopt},
    {"abc", std::nullopt},
    {"0x10", std::nullopt},
    {"4\n", std::nullopt},
};

struct ChooseCase {
    std::optional<std::string_view> num_threads, rs_num_cpus;
    std::size_t available, expected;
};

const ChooseCase kChooseCases[] = {
    {std::nullopt, std::nullopt, 6, 6},
    {"3", "5", 6, 3},
    {"+4", std::nullopt, 6, 4},
    {"0", "5", 6, 6},       // 0 asks for the default and ends the search
    {"abc", "5", 6, 5},     // malformed falls through
    {" 4", "5", 6, 5},
    {"-4", std::nullopt, 6, 6},
    {"", "2", 6, 2},
    {std::nullopt, "3", 6, 3},
    {std::nullopt, "0", 6, 6},
    {std::nullopt, "x", 6, 6},
    {"70000", std::nullopt, 6, 65535},
    {"18446744073709551615", std::nullopt, 6, 65535},
    {std::nullopt, std::nullopt, 100000, 65535},
    {std::nullopt, std::nullopt, 0, 1},  // processors unknown
    {"0", std::nullopt, 0, 1},
};

const char* show(std::optional<std::string_view> text) {
    return text ? text->data() : "(unset)";
}

}  // namespace

int main() {
    for (const ParseCase& c : kParseCases) {
        std::optional<std::uint64_t> got = parse_thread_count(c.text);
        POOL_CHECK(got == c.expected, "parse '%.*s'", static_cast<int>(c.text.size()), c.text.data());
    }
    for (const ChooseCase& c : kChooseCases) {
        std::size_t got = choose_thread_count(c.num_threads, c.rs_num_cpus, c.available);
        POOL_CHECK(got == c.expected, "choose(%s, %s, %zu) = %zu, expected %zu",
                   show(c.num_threads), show(c.rs_num_cpus), c.available, got, c.expected);
    }
    POOL_CHECK(available_processors() >= 1, "available processors");
    return pool_test::finish("pool_thread_count");
}
