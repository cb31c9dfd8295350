#pragma once

#include <functional>

// Long operations run on the user-interface thread. Whoever owns that thread installs a
// hook here (the window installs its event processing); the link calls it while it waits
// for the line so the front end stays alive. Without a hook, nothing happens.
using TMessageHook = std::function<void()>;

void SetMessageHook(TMessageHook hook);
void ProcessMessages();
