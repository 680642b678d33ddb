// The hand-over of a tree operation's files to a Transfers (the Python
// class that moves them on worker threads; see zarnel/transfers.py).
#pragma once

#include <nanobind/nanobind.h>

#include "external/calls.hpp"

namespace zarnel::external {

namespace nb = nanobind;

// workers=1 without progress: the plain loop on the caller's thread, call
// for call, with no Transfers at all. An int too large for a C long is not 1
// (and sets no error: Transfers checks and caps it).
inline bool sequential(nb::handle workers, nb::handle progress) {
  if (!progress.is_none() || !PyLong_CheckExact(workers.ptr())) return false;
  int overflow = 0;
  return PyLong_AsLongAndOverflow(workers.ptr(), &overflow) == 1 &&
         overflow == 0;
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
  } catch (...) {
    // Any other C++ exception (std::bad_alloc, a cast error) ends the call
    // too, as the Python error nanobind makes of it once it leaves the
    // binding; the workers are stopped first, and what close() raises for
    // them (the stand-in below, with any transfer failures as notes) gives
    // way to it.
    nb::error_scope pending;  // close() must not run with an error set
    try {
      nb::object stand_in = checked(PyObject_CallFunction(
          PyExc_RuntimeError, "s", "tree walk ended by a C++ exception"));
      call_method(transfers, close, {}, stand_in);
    } catch (nb::python_error&) {
    }
    throw;
  }
  call_method(transfers, close, {});
}

}  // namespace zarnel::external
