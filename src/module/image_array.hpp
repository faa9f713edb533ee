#pragma once
// The image argument (a read-only view of the caller's float32 array, held
// for the call) and the result array (a kernel's buffer handed to NumPy
// without a copy).
#include <optional>

#include "image/image.hpp"
#include "module/borrow_registry.hpp"
#include "module/pyref.hpp"

namespace velkor::py {

class BorrowedImage {
public:
    // Accepts a 3-D native float32 ndarray (or subclass) of any layout.
    // Otherwise raises the instance rule's TypeError for `parameter` and
    // returns nothing.  Holds the array and keeps it from being resized; the
    // view comes later.
    static std::optional<BorrowedImage> convert(PyObject* object, const char* parameter);

    // Holds the array's memory and builds the view, after the last argument
    // has been converted: a later conversion may run Python code that
    // replaces the array's memory, shape or type (`__setstate__` frees the
    // old buffer in place), so nothing read from the array before then is
    // trusted.  False with the instance rule's TypeError set if the array no
    // longer qualifies, or no longer lies in the memory of the array that
    // owns it (its base was given new memory).
    bool pin();

    const ImageView& view() const { return view_; }

private:
    BorrowedImage() = default;
    const char* parameter_ = nullptr;
    Ref array_;                       // declared first: released last
    SharedArrayHold hold_;
    Ref resize_guard_;                // a weak reference to the memory's owning array
    Buffer<float> aligned_copy_;      // only for arrays not aligned to float
    ImageView view_;
};

// Wraps the kernel's buffer as a new C-contiguous float32 ndarray whose base
// owns the buffer.  Null with an error set on failure; the buffer is freed.
PyObject* wrap_result(OwnedImage&& image);

}  // namespace velkor::py
