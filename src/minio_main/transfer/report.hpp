// A failure that the native code reports as plain data, as the
// zarnel.outcome.EngineFailure record that error_from turns into the Python
// error.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "transfer/engine.hpp"

namespace zarnel::transfer {

namespace nb = nanobind;

// `endpoint` is the store's host:port.
nb::object report_of(const Failure& failure, const std::string& endpoint);

// UTF-8 text as a str, bytes that are not UTF-8 as U+FFFD.
nb::object decoded(const std::string& text);

}  // namespace zarnel::transfer
