// Compile-time check (expected to fail to compile): a command larger than the pop buffer.
#include "hmd/devices/thread_commands.h"

struct HugeCommand : Visor::ThreadCommandImpl<HugeCommand> {
    HugeCommand() : Visor::ThreadCommandImpl<HugeCommand>(false) {}
    void Execute() const override {}
    unsigned char Payload[300];
};

bool PushHuge(Visor::ThreadCommandQueue& queue) {
    return queue.PushCommand(HugeCommand());
}
