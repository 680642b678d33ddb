// The hand-over of a tree operation's files to a Transfers (the Python
// class that moves them on worker threads; see zarnel/transfers.py).
#pragma once

#include <nanobind/nanobind.h>

#include "external/calls.hpp"

namespace zarnel::external {

namespace nb = nanobind;

// workers=1 without progress: the plain loop on the caller's thread, call
// for call, with no Transfers at all.
inline bool sequential(nb::handle workers, nb::handle progress) {
  return progress.is_none() && PyLong_CheckExact(workers.ptr()) &&
         PyLong_AsLong(workers.ptr()) == 1;
}

// Runs `walk`, which hands files to `transfers`, then closes it: close()
// waits for the transfers in flight and raises the first failure; after a
// failure of the walk itself, close(error) waits for them and raises that.
template <typename Walk>
void transferring(nb::handle transfers, nb::handle close, Walk&& walk) {
  try {
    walk();
  } catch (nb::python_error& error) {
    call_method(transfers, close, {}, error.value());
    throw;
  }
  call_method(transfers, close, {});
}

}  // namespace zarnel::external
