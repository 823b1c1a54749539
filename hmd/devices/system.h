// HMD library initialisation: installs the library's log and allocator once per process.
#pragma once

#include <cstdint>

#include "hmd/devices/allocator.h"
#include "hmd/devices/log.h"

namespace Visor {

class System {
public:
    // Sets the static log's mask; the first call (or the first after Destroy) also installs
    // the static log as default log and the default allocator. The device manager refuses
    // to be created before this. Call from the application thread before any device work.
    static void Init(std::uint32_t logMask = LogMask_All);
    // Uninstalls the allocator and the default log (library shutdown, and between tests).
    static void Destroy();
    static bool IsInitialized();
};

} // namespace Visor
