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
    // returns nothing.
    static std::optional<BorrowedImage> convert(PyObject* object, const char* parameter);

    const ImageView& view() const { return view_; }

private:
    BorrowedImage() = default;
    Ref array_;                       // declared first: released last
    SharedArrayHold hold_;
    Buffer<float> aligned_copy_;      // only for arrays not aligned to float
    ImageView view_;
};

// Wraps the kernel's buffer as a new C-contiguous float32 ndarray whose base
// owns the buffer.  Null with an error set on failure; the buffer is freed.
PyObject* wrap_result(OwnedImage&& image);

}  // namespace velkor::py
