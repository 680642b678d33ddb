#include "transfer/report.hpp"

#include <nanobind/stl/string.h>

#include <cstring>

#include "external/imports.hpp"

namespace zarnel::transfer {

using namespace nb::literals;

namespace {

const char* kind_name(Failure::Kind kind) {
  switch (kind) {
    case Failure::Kind::kStore:
      return "store";
    case Failure::Kind::kTransport:
      return "transport";
    case Failure::Kind::kSystem:
      return "system";
    case Failure::Kind::kBody:
      return "body";
    case Failure::Kind::kChanged:
      return "changed";
    case Failure::Kind::kValue:
      break;
  }
  return "value";
}

nb::object fs_text(const std::string& path) {
  if (path.empty()) return nb::none();
  nb::object text = nb::steal(PyUnicode_DecodeFSDefaultAndSize(
      path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!text.is_valid()) throw nb::python_error();
  return text;
}

}  // namespace

nb::object decoded(const std::string& text) {
  nb::object out = nb::steal(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!out.is_valid()) throw nb::python_error();
  return out;
}

nb::object report_of(const Failure& failure, const std::string& endpoint) {
  nb::object message =
      failure.kind == Failure::Kind::kSystem
          ? nb::object(nb::str(std::strerror(failure.os_errno)))
          : decoded(failure.message);
  return external::support("outcome", "EngineFailure")(
      "kind"_a = kind_name(failure.kind), "endpoint"_a = endpoint,
      "bucket"_a = decoded(failure.bucket),
      "object_name"_a = decoded(failure.object_name),
      "resource"_a = decoded(failure.resource),
      "path"_a = fs_text(failure.path), "status"_a = failure.status,
      "content_type"_a = decoded(failure.content_type),
      "request_id"_a = decoded(failure.request_id),
      "host_id"_a = decoded(failure.host_id),
      "body"_a = nb::bytes(failure.body.data(), failure.body.size()),
      "errno"_a = failure.os_errno, "message"_a = message,
      "connect"_a = failure.curl_code == CURLE_COULDNT_CONNECT,
      "timed_out"_a = failure.curl_code == CURLE_OPERATION_TIMEDOUT);
}

}  // namespace zarnel::transfer
