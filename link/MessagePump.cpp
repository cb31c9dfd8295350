#include "link/MessagePump.h"

#include <utility>

namespace {
TMessageHook& Hook() {
    static TMessageHook hook;
    return hook;
}
} // namespace

void SetMessageHook(TMessageHook hook) {
    Hook() = std::move(hook);
}

void ProcessMessages() {
    if (Hook()) {
        Hook()();
    }
}
