// What the upload operations share.
#pragma once

#include <nanobind/nanobind.h>

namespace zarnel::upload {

namespace nb = nanobind;

// `name` with every backslash turned into "/" by the value's own replace(),
// so a value that is not text fails as the host's replace() fails.
inline nb::object forward_slashes(nb::handle name) {
  return name.attr("replace")("\\", "/");
}

}  // namespace zarnel::upload
