// The class that the module exports and the functions that bind its operations.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel {

namespace nb = nanobind;

// All state lives in the instance __dict__ (_log, _config, _params_dict,
// _default_params, _engine), so a Python subclass behaves like any Python
// class. The one exception is what pickling needs: the configuration as the
// caller gave it, kept out of the __dict__ so that the instance's attributes
// stay the host's. It is set once construction succeeded and never refers
// back to the instance, so it needs no garbage-collector support.
struct ZarnelMinioMain {
  nb::object given;
};

using Class = nb::class_<ZarnelMinioMain>;

// Each subsystem binds its operations; module.cpp calls them in the order of
// the operation table.
void bind_client(Class& cls);
void bind_params(Class& cls);    // part of the client, in client/params.cpp
void bind_pickling(Class& cls);  // part of the client, in client/pickling.cpp
void bind_buckets(Class& cls);
void bind_upload(Class& cls);
void bind_download(Class& cls);

}  // namespace zarnel
