// The hand-over of a tree operation's files to a Transfers (the Python
// class that moves them on worker threads; see zarnel/transfers.py).
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::external {

namespace nb = nanobind;

// workers=1 without progress: the plain loop on the caller's thread, call
// for call, with no Transfers at all. Any other value is Transfers' to check.
inline bool sequential(nb::handle workers, nb::handle progress) {
  return progress.is_none() && PyLong_CheckExact(workers.ptr()) &&
         workers.equal(nb::int_(1));
}

// Runs `walk`, which hands files to `transfers`, then closes it: close()
// waits for the transfers in flight and raises the first failure; after a
// failure of the walk itself, close(error) waits for them and raises that.
template <typename Walk>
void transferring(nb::handle transfers, Walk&& walk) {
  try {
    walk();
  } catch (nb::python_error& error) {
    transfers.attr("close")(error.value());
    throw;
  } catch (...) {
    // Another C++ exception (std::bad_alloc) ends the call too, as the Python
    // error nanobind makes of it; the workers are stopped first.
    nb::error_scope pending;  // close() must not run with an error set
    try {
      transfers.attr("close")(
          nb::handle(PyExc_RuntimeError)("tree walk ended by a C++ exception"));
    } catch (nb::python_error&) {
    }
    throw;
  }
  transfers.attr("close")();
}

}  // namespace zarnel::external
