#include "multiply/pan_adapter/pool.h"

namespace pan_adapter {

// The Pan engine has no workspaces yet.
void release_workspaces() {}

}  // namespace pan_adapter
