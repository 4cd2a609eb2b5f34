#include "framework/WinApp.h"

#include <cstdlib>
#include <new>

// The program's load configuration. Its one setting: Windows 10 (version 1607) and later take the
// DLLs in the import table, and the DLLs those import, from the system folder only. The import
// table holds Windows' own KnownDLLs alone, which come from there anyway; this covers what they
// import in turn. The linker does not point the image's directory entry at it: a step after the
// link does (cmake/set_load_config.py). The structure's size is the classic one whose last
// fields are the safe exception handler table, left empty: this program registers no handlers.
namespace {
constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadConfiguration() {
    IMAGE_LOAD_CONFIG_DIRECTORY config{};
    config.Size = sizeof(config);
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;  // DependentLoadFlags
    return config;
}
}  // namespace
// A constant: the loader reads it before any of the program's code runs.
extern "C" __attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadConfiguration();

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return AfxWinMain(); }

// What the runtime calls for an exception that nothing catches. The library's own handler first
// prints the exception's type to the standard error stream, which a windowed program does not
// have, and brings along a symbol demangler and a printf engine for it: a third of this program's
// size. Ending the same way without the message keeps the behaviour and drops the weight.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// What the C++ library calls to throw its own errors: a string past its largest size, an index
// past its end. The library's versions build exceptions of the logic_error and runtime_error
// families with formatted messages, which brings along all of those classes and a second string
// implementation for their messages. This program throws nothing itself, and where it catches,
// it catches running out of memory (or anything): each of these throws std::bad_alloc, which
// every such place handles as the failure it is.
namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_alloc(); }
void __throw_bad_cast() { throw bad_alloc(); }
void __throw_bad_typeid() { throw bad_alloc(); }
void __throw_bad_exception() { throw bad_alloc(); }
void __throw_logic_error(const char*) { throw bad_alloc(); }
void __throw_domain_error(const char*) { throw bad_alloc(); }
void __throw_invalid_argument(const char*) { throw bad_alloc(); }
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_out_of_range(const char*) { throw bad_alloc(); }
void __throw_out_of_range_fmt(const char*, ...) { throw bad_alloc(); }
void __throw_runtime_error(const char*) { throw bad_alloc(); }
void __throw_range_error(const char*) { throw bad_alloc(); }
void __throw_overflow_error(const char*) { throw bad_alloc(); }
void __throw_underflow_error(const char*) { throw bad_alloc(); }
}  // namespace std
