#include "upload/calls.hpp"

namespace zarnel::upload {

using external::interned;
using external::keywords;

Names::Names(nb::handle qualified)
    : imported(qualified),
      os(interned("os")),
      io(interned("io")),
      get_content_type(interned("get_content_type")),
      transfers(interned("Transfers")),
      path(interned("path")),
      isfile(interned("isfile")),
      isdir(interned("isdir")),
      join(interned("join")),
      listdir(interned("listdir")),
      stat(interned("stat")),
      st_size(interned("st_size")),
      bytes_io(interned("BytesIO")),
      open(interned("open")),
      close(interned("close")),
      replace(interned("replace")),
      split(interned("split")),
      format(interned("format")),
      engine(interned("_engine")),
      log(interned("_log")),
      warning(interned("warning")),
      put_object(interned("put_object")),
      fput_object(interned("fput_object")),
      upload_dir(interned("_upload_dir")),
      upload_file(interned("_upload_file")),
      upload(interned("upload")),
      backslash(interned("\\")),
      slash(interned("/")),
      read_binary(interned("rb")),
      rejected(nb::str("data 必须为 文件 / bytes / 可直接转化为字符串的对象")),
      not_a_file(nb::str("不是普通文件或目录，已跳过：{!r}")),
      cycle(nb::str("目录形成循环，已跳过：{!r}")),
      kw_content_type(keywords("content_type")),
      kw_fput(keywords("content_type", "num_parallel_uploads")),
      kw_parallel(keywords("parallel")) {
  nb::object os_module = nb::module_::import_("os");
  nb::object os_path = os_module.attr("path");
  if (nb::str(os_path.attr("__name__")).equal(nb::str("posixpath"))) {
    host_os = os_module;
    host_stat = os_module.attr("stat");
    host_isfile = os_path.attr("isfile");
    host_isdir = os_path.attr("isdir");
    host_join = os_path.attr("join");
  }
}

}  // namespace zarnel::upload
