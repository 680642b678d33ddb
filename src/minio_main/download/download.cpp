// Operations of this subsystem are bound here, in the order of the operation table.
#include "minio_main.hpp"

namespace zarnel {

void bind_download(Class& cls) { (void)cls; }

}  // namespace zarnel
