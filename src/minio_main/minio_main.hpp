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

// Each source file binds its operations; module.cpp calls these in the order
// of the operation table.
void bind_client(Class& cls);           // client/: also params, pickling
void bind_params(Class& cls);           // client/params.cpp
void bind_pickling(Class& cls);         // client/pickling.cpp
void bind_buckets(Class& cls);          // buckets/: also the listing
void bind_listing(Class& cls);          // buckets/listing.cpp
void bind_upload_flow(Class& cls);      // upload/flow.cpp: also _upload_file
void bind_upload_dir(Class& cls);       // upload/dir.cpp
void bind_download_object(Class& cls);  // download/object.cpp
void bind_download_dir(Class& cls);     // download/directory.cpp
void bind_removal(Class& cls);          // download/removal.cpp
void bind_url(Class& cls);              // download/object.cpp
void bind_sync(Class& cls);             // upload/sync.cpp

}  // namespace zarnel
