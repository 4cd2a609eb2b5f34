#include "services/RegistryKey.h"

namespace {
constexpr DWORD kMaxValueBytes = 1024;

HKEY OpenExisting(const char* subKey, HKEY parent, REGSAM access) {
    HKEY opened = nullptr;
    return RegOpenKeyExA(parent, subKey, 0, access, &opened) == ERROR_SUCCESS ? opened : nullptr;
}

bool CreateWithoutAccess(const char* subKey, HKEY parent, HKEY* created) {
    return RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, 0, nullptr, created,
                           nullptr) == ERROR_SUCCESS;
}
}  // namespace

LONG RegistryKey::Close() { return key ? RegCloseKey(key.release()) : 0; }

bool RegistryKey::OpenWith(const char* subKey, HKEY parent, REGSAM access) {
    if (parent != key.get()) Close();
    HKEY opened = OpenExisting(subKey, parent, access);
    if (!opened) return false;
    key.reset(opened);  // closes the parent if it was the held key
    return true;
}

bool RegistryKey::Open(const char* subKey, HKEY parent) { return OpenWith(subKey, parent, KEY_ALL_ACCESS); }

bool RegistryKey::OpenForReading(const char* subKey, HKEY parent, RegistryView view) {
    return OpenWith(subKey, parent, KEY_QUERY_VALUE | static_cast<REGSAM>(view));
}

bool RegistryKey::OpenOrCreate(const char* subKey, HKEY parent) {
    if (Open(subKey, parent)) return true;
    HKEY created = nullptr;
    if (!CreateWithoutAccess(subKey, parent, &created)) return false;
    RegCloseKey(created);
    return Open(subKey, parent);
}

bool RegistryKey::OpenProduct(const std::string& product, bool create) {
    return Open("Software", HKEY_CURRENT_USER) &&
           (create ? OpenOrCreate(product.c_str(), Handle()) : Open(product.c_str(), Handle()));
}

bool RegistryKey::Create(const char* subKey, HKEY parent) {
    // A parent that is the held key must stay open until the new key exists.
    if (parent != key.get()) Close();
    HKEY created = nullptr;
    if (!CreateWithoutAccess(subKey, parent, &created)) return false;
    key.reset(created);
    return true;
}

bool RegistryKey::ReadString(const char* valueName, std::string& out) const {
    BYTE data[kMaxValueBytes + 1];
    DWORD size = kMaxValueBytes;
    if (RegQueryValueExA(key.get(), valueName, nullptr, nullptr, data, &size) != ERROR_SUCCESS)
        return false;
    data[size] = 0;
    out = reinterpret_cast<const char*>(data);
    return true;
}

bool RegistryKey::ReadString(const wchar_t* valueName, std::wstring& out, DWORD* type) const {
    wchar_t data[kMaxValueBytes + 1];
    DWORD size = kMaxValueBytes * sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), valueName, nullptr, type, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS)
        return false;
    data[size / sizeof(wchar_t)] = L'\0';
    out = data;
    return true;
}

bool RegistryKey::WriteString(const char* valueName, const std::string& text) const {
    return RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool RegistryKey::WriteString(const wchar_t* valueName, const std::wstring& text) const {
    return RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegistryKey::WriteDword(const char* valueName, DWORD value) const {
    return RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

bool RegistryKey::DeleteValue(const char* valueName) const {
    return RegDeleteValueA(key.get(), valueName) == ERROR_SUCCESS;
}
