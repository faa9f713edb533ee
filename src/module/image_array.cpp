#include "module/image_array.hpp"

#include <cstring>
#include <utility>

#include "error/internal_failure.hpp"
#include "module/python_errors.hpp"
#include "module/arguments.hpp"
#include "module/class_types.hpp"
#include "module/numpy_api.hpp"

namespace velkor::py {
namespace {

constexpr std::size_t kFloat = sizeof(float);

bool is_float32_image(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 3) return false;
    PyArray_Descr* expected = PyArray_DescrFromType(NPY_FLOAT32);
    PyArray_Descr* actual = PyArray_DESCR(array);
    bool same = actual == expected || PyArray_EquivTypes(actual, expected);
    Py_DECREF(expected);
    return same;
}

// The base owner (the first base that is not itself an array) and the bytes
// the elements cover.
ArraySpan span_of(PyArrayObject* array) {
    PyObject* owner = reinterpret_cast<PyObject*>(array);
    while (PyArray_Check(owner) && PyArray_BASE(reinterpret_cast<PyArrayObject*>(owner)) != nullptr) {
        owner = PyArray_BASE(reinterpret_cast<PyArrayObject*>(owner));
    }
    auto low = reinterpret_cast<std::uintptr_t>(PyArray_BYTES(array));
    std::uintptr_t high = low;
    if (PyArray_SIZE(array) != 0) {
        for (int axis = 0; axis < 3; ++axis) {
            npy_intp reach = (PyArray_DIM(array, axis) - 1) * PyArray_STRIDE(array, axis);
            if (reach < 0) low += reach; else high += reach;
        }
        high += kFloat;
    }
    return {owner, low, high};
}

// The array that owns the memory: the last array along the chain of bases.
PyArrayObject* owning_array(PyArrayObject* array) {
    while (PyArray_BASE(array) != nullptr && PyArray_Check(PyArray_BASE(array))) {
        array = reinterpret_cast<PyArrayObject*>(PyArray_BASE(array));
    }
    return array;
}

// The bytes an array's elements cover, [low, high), whatever its type and
// number of axes.
std::pair<std::uintptr_t, std::uintptr_t> byte_extent(PyArrayObject* array) {
    auto low = reinterpret_cast<std::uintptr_t>(PyArray_BYTES(array));
    std::uintptr_t high = low + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
        npy_intp reach = (PyArray_DIM(array, axis) - 1) * PyArray_STRIDE(array, axis);
        if (reach < 0) low += reach; else high += reach;
    }
    return {low, high};
}

// Does a view still lie in the memory of the array that owns it?  Not when a
// conversion gave that owner new memory (`base.__setstate__(...)` frees the
// old buffer in place): the view's data pointer still aims at the old one.
bool inside_owner(PyArrayObject* array) {
    PyArrayObject* owner = owning_array(array);
    if (owner == array || PyArray_SIZE(array) == 0) return true;
    if (PyArray_SIZE(owner) == 0) return false;
    auto [low, high] = byte_extent(array);
    auto [owner_low, owner_high] = byte_extent(owner);
    return owner_low <= low && high <= owner_high;
}

bool axis_matters(PyArrayObject* array, int axis) { return PyArray_DIM(array, axis) > 1; }

// NumPy's C-contiguity on byte strides, ignoring axes of extent 1.
bool c_contiguous(PyArrayObject* array) {
    if (PyArray_SIZE(array) == 0) return true;
    npy_intp expected = kFloat;
    for (int axis = 2; axis >= 0; --axis) {
        if (axis_matters(array, axis) && PyArray_STRIDE(array, axis) != expected) return false;
        expected *= PyArray_DIM(array, axis);
    }
    return true;
}

// Can the elements be read in place as floats?  Not when the data or a
// stride is off the 4-byte grid (frombuffer with an offset, packed records).
bool float_aligned(PyArrayObject* array) {
    if (reinterpret_cast<std::uintptr_t>(PyArray_BYTES(array)) % alignof(float) != 0) return false;
    for (int axis = 0; axis < 3; ++axis) {
        if (axis_matters(array, axis) && PyArray_STRIDE(array, axis) % npy_intp{kFloat} != 0) return false;
    }
    return true;
}

}  // namespace

std::optional<BorrowedImage> BorrowedImage::convert(PyObject* object, const char* parameter) {
    ensure_numpy_api();
    if (!is_float32_image(object)) {
        raise_not_instance(parameter, object, "ndarray");
        return std::nullopt;
    }
    std::optional<BorrowedImage> image(BorrowedImage{});
    image->array_ = Ref::borrow(object);
    image->parameter_ = parameter;
    // From here to the end of the call Python code runs: the conversions of
    // later arguments, and other threads while the kernel runs.  NumPy
    // refuses to resize an array that is weakly referenced, even with
    // refcheck=False, so this keeps the memory of the array, and of every
    // view of it, in place.
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    image->resize_guard_ = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(owning_array(array)), nullptr));
    if (!image->resize_guard_) return std::nullopt;
    return image;
}

bool BorrowedImage::pin() {
    PyObject* object = array_.get();
    if (!is_float32_image(object) || !inside_owner(reinterpret_cast<PyArrayObject*>(object))) {
        raise_not_instance(parameter_, object, "ndarray");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    hold_ = SharedArrayHold(span_of(array));
    // A conversion may have given the array memory of another owner
    // (__setstate__); the guard follows it.
    resize_guard_ = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(owning_array(array)), nullptr));
    if (!resize_guard_) return false;

    ImageView& view = view_;
    view.h = static_cast<std::size_t>(PyArray_DIM(array, 0));
    view.w = static_cast<std::size_t>(PyArray_DIM(array, 1));
    view.c = static_cast<std::size_t>(PyArray_DIM(array, 2));
    view.c_contiguous = c_contiguous(array);
    const char* bytes = PyArray_BYTES(array);
    if (float_aligned(array)) {
        view.origin = reinterpret_cast<const float*>(bytes);
        for (int axis = 0; axis < 3; ++axis) {
            view.step[axis] = axis_matters(array, axis) ? PyArray_STRIDE(array, axis) / npy_intp{kFloat} : 0;
        }
        return true;
    }
    // Read element by element through the byte strides into an aligned,
    // row-major copy; the view keeps the caller's contiguity for the kernels.
    aligned_copy_ = Buffer<float>::uninitialized(view.count());
    float* copy = aligned_copy_.data();
    for (std::size_t y = 0; y < view.h; ++y) {
        for (std::size_t x = 0; x < view.w; ++x) {
            for (std::size_t k = 0; k < view.c; ++k) {
                const char* element = bytes + static_cast<npy_intp>(y) * PyArray_STRIDE(array, 0) +
                                      static_cast<npy_intp>(x) * PyArray_STRIDE(array, 1) +
                                      static_cast<npy_intp>(k) * PyArray_STRIDE(array, 2);
                std::memcpy(copy++, element, kFloat);
            }
        }
    }
    view.origin = aligned_copy_.data();
    view.step[0] = static_cast<std::ptrdiff_t>(view.w * view.c);
    view.step[1] = static_cast<std::ptrdiff_t>(view.c);
    view.step[2] = 1;
    return true;
}

namespace {

// What a PySliceContainer keeps: the buffer and how to free it.
struct OwnedSlice {
    void* data = nullptr;
    void (*free_data)(void*) = nullptr;

    OwnedSlice() = default;
    OwnedSlice(OwnedSlice&& other) noexcept
        : data(std::exchange(other.data, nullptr)), free_data(other.free_data) {}
    ~OwnedSlice() {
        if (data != nullptr) free_data(data);
    }
};

const ClassSpec slice_container_spec{
    .name = "PySliceContainer",
    .qualified = "builtins.PySliceContainer",
    .doc = "Keeps an owned buffer safely on the Python heap.",
    .basicsize = sizeof(Instance<OwnedSlice>),
    .extra_flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = {},
    .getset = nullptr,
    .attributes = {},
    .dealloc = dealloc_instance<OwnedSlice>,
};
LazyClass slice_container_class(slice_container_spec);

Ref make_container(OwnedImage& image) {
    PyTypeObject* type = slice_container_class.get_or_fail();
    Ref container = Ref::steal(new_instance(type, OwnedSlice{}));
    if (!container) internal_failure("Failed to create slice container: " + take_error_text());
    OwnedSlice& slice = instance_of<OwnedSlice>(container.get())->value;
    slice.free_data = memory::release;
    slice.data = image.pixels.release();
    return container;
}

}  // namespace

PyObject* wrap_result(OwnedImage&& image) {
    npy_intp dims[3] = {static_cast<npy_intp>(image.h), static_cast<npy_intp>(image.w),
                        static_cast<npy_intp>(image.c)};
    npy_intp strides[3] = {dims[1] * dims[2] * npy_intp{kFloat}, dims[2] * npy_intp{kFloat}, npy_intp{kFloat}};
    void* data = image.pixels.data();
    Ref container = make_container(image);
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT32), 3, dims,
                                                strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    // Steals the container even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

}  // namespace velkor::py
