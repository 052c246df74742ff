#pragma once
// The hook through which a long job lets its front end run between two chunks: the
// wizard processes its pending events, the command line turns Ctrl-C into a Cancel.
#include <functional>

namespace px {

// Sets the hook (an empty function removes it). Called on the job's thread.
void SetMessagePump(std::function<void()> pump);
// Runs the hook once, when one is set.
void PumpMessages();

}  // namespace px
