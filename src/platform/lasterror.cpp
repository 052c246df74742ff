#include "platform/lasterror.h"

#include <cstring>
#include <string_view>

namespace px {

namespace {
thread_local int t_lastError = 0;
}

void SetLastError(int code) { t_lastError = code; }

int GetLastError() { return t_lastError; }

std::string SystemErrorText(int code)
{
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not live in the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    if (!text)
        return {};
    std::string_view view(text);
    if (view.starts_with("Unknown error"))
        return {};
    return std::string(view);
}

}  // namespace px
