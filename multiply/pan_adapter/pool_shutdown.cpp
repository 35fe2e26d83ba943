// The pool's shutdown also frees the Pan workspaces, so it lives with the
// engine: the pool library itself knows nothing of the engine.
#include <mutex>

#include "multiply/pan_adapter/pool.h"

namespace pan_adapter {

void shutdown() {
    std::lock_guard<std::mutex> guard(implementation::adapter_mutex);
    implementation::stop_pool();
    release_workspaces();
}

}  // namespace pan_adapter
