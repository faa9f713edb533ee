#include "module/borrow_registry.hpp"

#include <map>
#include <tuple>
#include <utility>

namespace velkor::py {
namespace {

using Key = std::tuple<PyObject*, std::uintptr_t, std::uintptr_t>;

// Shared-hold counts.  Leaked on purpose: it lives as long as the process and
// must not be destroyed while another thread's call may still release a hold.
std::map<Key, std::size_t>& shared_holds() {
    static auto* holds = new std::map<Key, std::size_t>();
    return *holds;
}

Key key_of(const ArraySpan& span) { return {span.owner, span.low, span.high}; }

}  // namespace

SharedArrayHold::SharedArrayHold(const ArraySpan& span) : span_(span), held_(true) {
    ++shared_holds()[key_of(span_)];
}

SharedArrayHold::SharedArrayHold(SharedArrayHold&& other) noexcept
    : span_(other.span_), held_(std::exchange(other.held_, false)) {}

SharedArrayHold& SharedArrayHold::operator=(SharedArrayHold&& other) noexcept {
    if (this != &other) {
        release();
        span_ = other.span_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

SharedArrayHold::~SharedArrayHold() { release(); }

void SharedArrayHold::release() {
    if (!std::exchange(held_, false)) return;
    auto& holds = shared_holds();
    auto entry = holds.find(key_of(span_));
    if (entry != holds.end() && --entry->second == 0) holds.erase(entry);
}

}  // namespace velkor::py
