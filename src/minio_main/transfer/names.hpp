// The one rule for the objects that a tree download takes, shared by the
// engine's own listing and the caller's (the thread path, the per-file path
// and the cluster helper's plan). Plain C++: the engine's thread holds no GIL.
#pragma once

#include <string_view>

namespace zarnel::transfer {

enum class Listed {
  kTake,    // directly under the prefix: a file of the target folder
  kPass,    // outside the prefix, the folder marker itself, or deeper
  kRefuse,  // directly under it, but no name for a file inside the folder
            // (".", "..", a NUL byte): skipped with a warning
};

// What a download of the objects directly under `prefix` (which ends in
// "/") does with the listed object `key`; both UTF-8.
Listed listed_name(std::string_view prefix, std::string_view key);

}  // namespace zarnel::transfer
