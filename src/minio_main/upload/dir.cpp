// _upload_dir: a local tree, one object per file.
#include <vector>

#include "external/imports.hpp"
#include "host.hpp"
#include "upload/upload.hpp"

namespace zarnel::upload {

using namespace nb::literals;

namespace {

// A link back into the tree (to the directory being walked or one of its
// ancestors) would be descended until the host refuses deeper calls. The
// directories on the current walk are kept per thread, outermost first, as
// borrowed (st_dev, st_ino) pairs owned by the walking calls' frames; every
// call of _upload_dir, whoever makes it through `self`, pushes its own on
// entry and pops it on every way out, so the stack is empty between walks.
thread_local std::vector<PyObject*> walking;

// The directory's (st_dev, st_ino), or an invalid object when the host cannot
// say: then the walk goes on as without the guard, and the listing or the
// directory test reports whatever is wrong with the path.
nb::object identity(nb::handle os, nb::handle path) {
  try {
    nb::object status = os.attr("stat")(path);
    nb::object inode = status.attr("st_ino");
    // Some file systems report no inode numbers; no identity then.
    if (!host::truth(inode)) return nb::object();
    return nb::make_tuple(status.attr("st_dev"), inode);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::object();
  }
}

bool on_walk(nb::handle id) {
  if (!id.is_valid()) return false;
  for (PyObject* entry : walking) {
    int same = PyObject_RichCompareBool(id.ptr(), entry, Py_EQ);
    if (same < 0) throw nb::python_error();
    if (same) return true;
  }
  return false;
}

class Walking {
 public:
  explicit Walking(nb::handle id) : pushed_(id.is_valid()) {
    if (pushed_) walking.push_back(id.ptr());
  }
  Walking(const Walking&) = delete;
  Walking& operator=(const Walking&) = delete;
  ~Walking() {
    if (pushed_) walking.pop_back();
  }

 private:
  bool pushed_;
};

// The default prefix: the last "/"-separated piece of the path with its
// backslashes turned into "/"; empty for a path ending in a separator.
nb::object last_segment(nb::handle dir_path) {
  nb::object path = forward_slashes(dir_path);
  PyObject* text = path.ptr();
  if (!PyUnicode_CheckExact(text)) {
    return path.attr("split")("/")[nb::int_(-1)];
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t at = PyUnicode_FindChar(text, '/', 0, length, -1);
  if (at == -2) throw nb::python_error();
  PyObject* piece = PyUnicode_Substring(text, at + 1, length);
  if (piece == nullptr) throw nb::python_error();
  return nb::steal(piece);
}

}  // namespace

void upload_dir(nb::handle self, nb::handle bucket_name, nb::handle dir_path,
                nb::handle parallel, nb::handle base_dir) {
  nb::object prefix =
      host::truth(base_dir) ? nb::borrow(base_dir) : last_segment(dir_path);
  nb::object os = external::imported("os");
  nb::object join = os.attr("path").attr("join");
  nb::object isdir = os.attr("path").attr("isdir");

  nb::object here = identity(os, dir_path);
  Walking walk(here);
  nb::object names = os.attr("listdir")(dir_path);
  for (nb::handle name : names) {
    nb::object local = join(dir_path, name);
    if (host::truth(isdir(local))) {
      // Neither descended again nor uploaded as a file.
      if (on_walk(identity(os, local))) continue;
      nb::object sub_prefix = forward_slashes(join(prefix, name));
      self.attr("_upload_dir")(bucket_name, join(dir_path, name), parallel,
                               sub_prefix);
    } else {
      nb::object object_name = forward_slashes(join(prefix, name));
      self.attr("_upload_file")(bucket_name, object_name,
                                join(dir_path, name), "parallel"_a = parallel);
    }
  }
}

}  // namespace zarnel::upload
