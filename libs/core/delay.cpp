// Delay: a plain sleep of the calling thread.
#include "libs/core/core_library.h"
#include "platform/platform.h"

namespace core {

void Delay(ArgInfo*, std::int32_t, ArgInfo* args) {
    std::int32_t ms = rt::ArgInt(args[0]);
    plat::Sleep(ms < 0 ? 0u : static_cast<std::uint32_t>(ms));
}

}  // namespace core
