#include "transfer/names.hpp"

namespace zarnel::transfer {

Listed listed_name(std::string_view prefix, std::string_view key) {
  if (key.substr(0, prefix.size()) != prefix) return Listed::kPass;
  std::string_view rest = key.substr(prefix.size());
  // The folder marker, and a deeper level (which a delimiter folds).
  if (rest.empty() || rest.find('/') != std::string_view::npos) {
    return Listed::kPass;
  }
  // The folder itself, its parent, or a name no file system takes.
  if (rest == "." || rest == ".." ||
      rest.find('\0') != std::string_view::npos) {
    return Listed::kRefuse;
  }
  return Listed::kTake;
}

}  // namespace zarnel::transfer
