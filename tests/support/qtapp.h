#pragma once
// The one application object of a test program with windows: made by the first suite that
// needs it and kept for the program's life (Qt's devices do not survive being made twice,
// nor the end of the program's static objects).
#include <QApplication>

namespace px::test {

inline void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance())
        new QApplication(argc, argv);
}

}  // namespace px::test
