// The standard strings this program uses, made here instead of taken from the C++ library's
// prebuilt copies: the library links a whole prebuilt object (about 35 KB each for the narrow
// and the wide string) for the first member a program calls, while members made here are
// dropped by the linker unless something calls them.
#include <string>

template class std::basic_string<char>;
template class std::basic_string<wchar_t>;
