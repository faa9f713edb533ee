#pragma once
// What the module registers, each defined beside its own code.  The order of
// the tables in module.cpp is the order of `__all__`.
#include "module/class_types.hpp"
#include "module/python.hpp"

namespace velkor::py {

// Classes.
extern LazyClass luminance_standard_class;
extern LazyClass color_filter_class;
extern LazyClass zone_params_class;
extern LazyClass guided_filter_params_class;

// Functions, each made by fastcall_function below.
extern PyMethodDef luminance_bw_function;
extern PyMethodDef channel_mixer_bw_function;
extern PyMethodDef color_filter_bw_function;
extern PyMethodDef zone_system_function;
extern PyMethodDef local_contrast_function;
extern PyMethodDef encode_srgb_function;
// For the front end's prints in bands; not part of `__all__`.
extern PyMethodDef local_contrast_piece_function;

// The record of a module function that takes its arguments as a vector plus
// keyword names.  CPython keeps every function pointer in a PyMethodDef as a
// PyCFunction; the flags tell it the real signature.
using FastcallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyMethodDef fastcall_function(const char* name, FastcallWithKeywords body, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(body)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

}  // namespace velkor::py
