#pragma once
// One open registry key, walked down from a predefined root one level at a time.
#include "framework/Handles.h"

#include <string>

// Which of the registry's views a key is opened in. On 64-bit Windows a 32-bit program sees the
// 32-bit view of HKEY_LOCAL_MACHINE\Software as its own; what the system records for its 64-bit
// programs is in the 64-bit view. On 32-bit Windows there is one view, and both name it.
enum class RegistryView : REGSAM { Own = 0, Native64 = KEY_WOW64_64KEY };

class RegistryKey {
public:
    RegistryKey() = default;
    virtual ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // RegCloseKey's result, or 0 when nothing was held.
    LONG Close();
    // `parent` is a predefined root or Handle(). Below the held key, the held key is closed
    // only once the new one is open, so walking down leaves exactly one key held.
    bool Open(const char* subKey, HKEY parent);
    bool OpenOrCreate(const char* subKey, HKEY parent);
    // As Open, for reading values only, in `view`: a key of the machine's, which the user may
    // read but not write, opens so.
    bool OpenForReading(const char* subKey, HKEY parent, RegistryView view = RegistryView::Own);
    // The key this creates has no access rights: use OpenOrCreate to read or write values.
    bool Create(const char* subKey, HKEY parent);
    // A product's key of the user's, HKEY_CURRENT_USER\Software\<product>; made when it is
    // missing with `create`.
    bool OpenProduct(const std::string& product, bool create);

    // Up to 1024 bytes of data, taken as text up to the first NUL; `out` is kept on failure.
    bool ReadString(const char* valueName, std::string& out) const;
    // For values that hold a path: the text as UTF-16, up to 1024 characters (so every value the
    // 8-bit read takes fits), taken up to the first NUL; `out` is kept on failure. With `type`,
    // the value's type (REG_SZ, REG_EXPAND_SZ, ...) goes there.
    bool ReadString(const wchar_t* valueName, std::wstring& out, DWORD* type = nullptr) const;
    bool WriteString(const char* valueName, const std::string& text) const;
    // For values that hold a path: every character kept.
    bool WriteString(const wchar_t* valueName, const std::wstring& text) const;
    bool WriteDword(const char* valueName, DWORD value) const;
    bool DeleteValue(const char* valueName) const;

    HKEY Handle() const { return key.get(); }

private:
    bool OpenWith(const char* subKey, HKEY parent, REGSAM access);

    UniqueHkey key;
};
