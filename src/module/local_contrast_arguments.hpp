#pragma once
// What both local-contrast entries take after the image: the filter's
// parameters, held so that no setter changes them while the kernel runs
// without the lock, and the strength.
#include "local_contrast/guided_filter_params.hpp"
#include "module/class_types.hpp"
#include "module/python.hpp"

namespace velkor::py {

// Converts `params` and `strength`; `hold` keeps the parameters until it is
// destroyed (declare it after the image, so that it is given back first).
// False with an error set.
bool take_filter(PyObject* params, PyObject* strength_object, SharedHold& hold, GuidedFilterParams& filter,
                 float& strength);

}  // namespace velkor::py
