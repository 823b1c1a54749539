// Portable parts of the threading layer: the Event built on Mutex and Condition.
#include "hmd/devices/threads.h"

namespace Visor {

Event::Event(bool setInitially) : State(setInitially) {}

void Event::UpdateState(bool state, bool autoClear) {
    Mutex::Locker lock(&StateMutex);
    State = state;
    AutoClear = autoClear;
    if (state)
        StateWaitCondition.NotifyAll();
}

void Event::Set() {
    UpdateState(true, false);
}
void Event::Reset() {
    UpdateState(false, false);
}
void Event::Pulse() {
    UpdateState(true, true);
}

bool Event::IsSet() {
    Mutex::Locker lock(&StateMutex);
    return State;
}

bool Event::Wait() {
    Mutex::Locker lock(&StateMutex);
    while (!State) {
        if (!StateWaitCondition.Wait(&StateMutex))
            return false;
    }
    bool result = State;
    if (AutoClear) {
        // This waiter consumes the pulse; other woken waiters go back to sleep.
        AutoClear = false;
        State = false;
    }
    return result;
}

} // namespace Visor
