#include "platform/messagepump.h"

namespace px {

namespace {
std::function<void()>& Pump()
{
    static std::function<void()> pump;
    return pump;
}
}  // namespace

void SetMessagePump(std::function<void()> pump) { Pump() = std::move(pump); }

void PumpMessages()
{
    if (Pump())
        Pump()();
}

}  // namespace px
