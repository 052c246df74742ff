#pragma once
// The calling thread's last error, as the device layer reports it: an errno value (or
// the value an emulated reader chose), with its system text.
#include <string>

namespace px {

void SetLastError(int code);
int GetLastError();
// The system's message for an error code (strerror); empty when the system has none.
std::string SystemErrorText(int code);

}  // namespace px
