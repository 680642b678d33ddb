// The class that the module exports and the functions that bind its operations.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel {

namespace nb = nanobind;

// All state lives in the instance __dict__ (_log, _config, _params_dict,
// _default_params, _engine), so the C++ part of an instance is empty and a
// Python subclass behaves like any Python class.
struct ZarnelMinioMain {};

using Class = nb::class_<ZarnelMinioMain>;

// Each subsystem binds its operations; module.cpp calls them in the order of
// the operation table.
void bind_client(Class& cls);
void bind_buckets(Class& cls);
void bind_upload(Class& cls);
void bind_download(Class& cls);

}  // namespace zarnel
