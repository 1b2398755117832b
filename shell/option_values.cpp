// The options' values, apart from their commands: every Part that logs reads DisplayMode.
#include "shell/options.h"

namespace shell {

std::atomic<std::int32_t> BridgePeer{3};
std::atomic<std::int32_t> DisplayMode{3};

}  // namespace shell
