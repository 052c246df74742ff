#pragma once
// The operating system description of the log's "=OS=" line: the distribution's pretty
// name from os-release and the kernel from uname, for example
// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64 x86_64".
#include <string>

// The description of this machine. Read once per process and kept.
std::string OsDescription();

// The PRETTY_NAME value of an os-release text (quotes and backslash escapes removed);
// NAME followed by VERSION when PRETTY_NAME is missing; empty when neither is there.
std::string OsReleasePrettyName(const std::string& osReleaseText);
