#pragma once
// The middle of every kernel call: give up the interpreter lock, run the
// kernel on the view and plain values already copied out, take the lock
// back, and turn the outcome into a result array or a Python exception.
#include <exception>
#include <optional>
#include <utility>

#include "module/python_errors.hpp"
#include "error/shape_error.hpp"
#include "image/image.hpp"
#include "image/memory.hpp"
#include "module/image_array.hpp"
#include "module/pyref.hpp"

namespace velkor::py {

// Runs kernel(view of `image`) once every other argument has been converted
// and held: the view is built here, so no conversion can change the memory
// under it.  check(view), the kernel's check of its input, runs first, with
// the lock still held, so a refusal is raised at once (a ShapeError as
// ValueError, an unreadable input as PanicException from `guarded`) and the
// kernel's own checks cannot fire.  `kernel` must not touch Python objects:
// it runs without the lock.  A C++ exception from it is rethrown after the
// lock is back, for `guarded` to convert.
template <class Check, class Kernel>
PyObject* run_kernel(BorrowedImage& image, Check&& check, Kernel&& kernel) {
    if (!image.pin()) return nullptr;
    const ImageView& view = image.view();
    if (InputCheck refused = check(view)) {
        raise_shape_error(*refused);
        return nullptr;
    }
    std::optional<Result<OwnedImage>> outcome;
    std::exception_ptr failure;
    {
        GilRelease unlocked;
        memory::begin_call(view.h * view.w);
        try {
            outcome.emplace(kernel(view));
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    if (!outcome->ok()) {
        raise_shape_error(outcome->error());
        return nullptr;
    }
    return wrap_result(std::move(outcome->value()));
}

// For kernels that refuse nothing but shapes, which they report themselves.
template <class Kernel>
PyObject* run_kernel(BorrowedImage& image, Kernel&& kernel) {
    return run_kernel(image, [](const ImageView&) { return InputCheck{}; }, std::forward<Kernel>(kernel));
}

}  // namespace velkor::py
