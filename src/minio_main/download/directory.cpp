// Directory download: the objects lying directly under an object path, each
// into a file of the target directory.
#include <optional>

#include "download/download.hpp"
#include "external/transfers.hpp"
#include "host.hpp"

namespace zarnel::download {

namespace {

// `path` itself when its last item is "/", else str(path) + "/". The last
// item is read by indexing as the host does, so an empty text fails with
// IndexError "string index out of range".
nb::object with_trailing_slash(nb::handle path) {
  PyObject* last = PyObject_GetItem(path.ptr(), nb::int_(-1).ptr());
  if (last == nullptr) throw nb::python_error();
  if (nb::steal(last).equal(nb::str("/"))) return nb::borrow(path);
  return host::text(path) + nb::str("/");
}

// The rest of `name` after `prefix`, when the object lies directly under it:
// the name begins with the prefix and the rest is neither empty (the folder
// marker) nor holds a "/" (a deeper level).
std::optional<nb::str> child_name(nb::handle name, nb::handle prefix) {
  Py_ssize_t starts =
      PyUnicode_Tailmatch(name.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
  if (starts < 0) throw nb::python_error();
  if (starts == 0) return std::nullopt;
  Py_ssize_t from = PyUnicode_GetLength(prefix.ptr());
  Py_ssize_t to = PyUnicode_GetLength(name.ptr());
  if (from >= to) return std::nullopt;
  Py_ssize_t slash = PyUnicode_FindChar(name.ptr(), '/', from, to, 1);
  if (slash == -2) throw nb::python_error();
  if (slash != -1) return std::nullopt;
  return nb::steal<nb::str>([&] {
    PyObject* rest = PyUnicode_Substring(name.ptr(), from, to);
    if (rest == nullptr) throw nb::python_error();
    return rest;
  }());
}

// Whether `rest`, joined to the directory, names a file inside it. "." and
// ".." would name the directory or its parent; a host separator or a drive
// (on systems that have them) would leave the directory.
bool stays_inside(const nb::str& rest, nb::handle os) {
  if (rest.equal(nb::str(".")) || rest.equal(nb::str(".."))) return false;
  for (const char* separator : {"sep", "altsep"}) {
    nb::object sep = os.attr(separator);
    if (!sep.is_none() && host::contains(rest, sep)) return false;
  }
  nb::object drive = os.attr("path").attr("splitdrive")(rest)[0];
  return !host::truth(drive);
}

void download_all(const Names& names, nb::handle self, nb::handle bucket_name,
                  nb::handle prefix, nb::handle directory,
                  nb::handle transfers) {
  // Only objects under the prefix can be chosen, so only they are listed.
  nb::object records = external::call_method(self, names.bucket_list_files, {},
                                             bucket_name, prefix);
  nb::object os = names.imported(names.os);
  nb::object join = os.attr("path").attr("join");
  for (nb::handle record : nb::iter(records)) {
    nb::object name =
        external::call_method(record, names.get, {}, names.object_name);
    std::optional<nb::str> rest = child_name(name, prefix);
    if (!rest) continue;
    if (!stays_inside(*rest, os)) {
      nb::str message =
          nb::str("对象名不能用作本地文件名，已跳过：{!r}").format(name);
      external::call_method(external::attribute(self, names.log), names.warning,
                            {}, message);
      continue;
    }
    nb::object file_name = join(directory, *rest);
    if (transfers.is_valid()) {
      nb::object size =
          external::call_method(record, names.get, {}, names.size);
      external::call_method(transfers, names.download, {}, self, bucket_name,
                            name, file_name, size);
    } else {
      external::call_method(self, names.download_file, {}, bucket_name, name,
                            file_name);
    }
  }
}

}  // namespace

void download_dir(const Names& names, const transfer::Originals& originals,
                  nb::handle self, nb::handle bucket_name,
                  nb::handle object_path, nb::handle dir_path,
                  nb::handle workers, nb::handle progress) {
  nb::object prefix = with_trailing_slash(object_path);
  nb::object directory = with_trailing_slash(
      external::path_text(names.imported(names.os), dir_path));
  if (external::sequential(workers, progress)) {
    download_all(names, self, bucket_name, prefix, directory, nb::handle());
    return;
  }
  // The engine lists one level, page by page, while it downloads.
  if (auto tree =
          transfer::Tree::for_download(originals, self, workers, progress)) {
    if (tree->download(bucket_name, prefix, directory)) return;
  }
  nb::object transfers =
      external::call(names.imported(names.transfers), {}, workers, progress);
  external::transferring(transfers, names.close, [&] {
    download_all(names, self, bucket_name, prefix, directory, transfers);
  });
}

}  // namespace zarnel::download
