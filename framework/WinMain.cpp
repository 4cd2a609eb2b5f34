#include "framework/WinApp.h"

#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return AfxWinMain(); }

// What the runtime calls for an exception that nothing catches. The library's own handler first
// prints the exception's type to the standard error stream, which a windowed program does not
// have, and brings along a symbol demangler and a printf engine for it: a third of this program's
// size. Ending the same way without the message keeps the behaviour and drops the weight.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
