// HMD library initialisation and shutdown.
#include "hmd/devices/system.h"

#include "hmd/devices/timer.h"

namespace Visor {

void System::Init(std::uint32_t logMask) {
    Log* staticLog = Log::GetStaticLog();
    staticLog->SetLoggingMask(logMask);
    if (Allocator::GetInstance())
        return;
    Log::SetDefaultLog(staticLog);
    // The tick clock's lock is created here so the first tick read needs no set-up.
    Timer::InitializeTimerSystem();
    Allocator::SetInstance(DefaultAllocator::InitSystemSingleton());
}

void System::Destroy() {
    Allocator* a = Allocator::GetInstance();
    if (!a)
        return;
    Allocator::SetInstance(nullptr);
    a->ReleaseSingleton();
    if (Log::GetDefaultLog() == Log::GetStaticLog())
        Log::SetDefaultLog(nullptr);
}

bool System::IsInitialized() {
    return Allocator::GetInstance() != nullptr;
}

} // namespace Visor
