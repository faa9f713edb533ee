#pragma once
// Holds on NumPy array memory for the length of a call, grouped by the
// array's base owner and keyed by the byte span its elements cover.  This
// module only ever reads arrays, so it only takes shared holds: they count,
// and conflict with nothing of ours.  The table is private to this module and
// only touched with the interpreter lock held.
#include <cstdint>

#include "module/python.hpp"

namespace velkor::py {

struct ArraySpan {
    PyObject* owner;          // the first base that is not itself an array
    std::uintptr_t low, high;  // [low, high): bytes the elements cover
};

class SharedArrayHold {
public:
    SharedArrayHold() = default;
    explicit SharedArrayHold(const ArraySpan& span);
    SharedArrayHold(SharedArrayHold&& other) noexcept;
    SharedArrayHold& operator=(SharedArrayHold&& other) noexcept;
    ~SharedArrayHold();

private:
    void release();
    ArraySpan span_{};
    bool held_ = false;
};

}  // namespace velkor::py
