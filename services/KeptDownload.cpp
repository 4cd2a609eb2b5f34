#include "services/KeptDownload.h"

#include "services/HeldFile.h"

#include <cstring>

namespace {
// A record is a few hundred bytes; a larger file at its path is not one.
constexpr DWORD kMaxRecordSize = 16384;

uint64_t Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

// The URL's files are named after it: 16 hex digits of its 64-bit FNV-1a hash. Two URLs that
// share a name share a place, and the record, which holds the whole URL, tells them apart.
std::wstring KeyOf(const std::string& url) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : url) hash = (hash ^ c) * 1099511628211ull;
    std::wstring key;
    for (int shift = 60; shift >= 0; shift -= 4) key += L"0123456789abcdef"[(hash >> shift) & 15];
    return key;
}

// A plain file with this one name, or a plain folder.
bool IsPlain(const BY_HANDLE_FILE_INFORMATION& info, bool folder) {
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (folder) return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks == 1;
}

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
}

// Deletes the file at `path` itself: a link, not what it points to; never a folder.
void DeleteAsItIs(const std::wstring& path) {
    UniqueHandle found = OpenAsItIs(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION info;
    if (found && GetFileInformationByHandle(found.get(), &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        SetDeleteOnClose(found.get(), true);
}

// The lock of one URL's place: the file exists while an installer holds it, and nobody else can
// open it meanwhile.
UniqueHandle Lock(const std::wstring& path) {
    UniqueHandle lock = OpenAsItIs(path, GENERIC_WRITE | DELETE, 0, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE);
    BY_HANDLE_FILE_INFORMATION info;
    if (lock && (!GetFileInformationByHandle(lock.get(), &info) || !IsPlain(info, false))) lock.reset();
    return lock;
}

// Writes `text` to a new file at `path` (whatever was there is deleted first) and flushes it.
UniqueHandle WriteNewFile(const std::wstring& path, const std::string& text) {
    DeleteAsItIs(path);
    UniqueHandle file = OpenAsItIs(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
    DWORD written = 0;
    if (file && !(WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                  written == text.size() && FlushFileBuffers(file.get()))) {
        SetDeleteOnClose(file.get(), true);
        file.reset();
    }
    return file;
}
}  // namespace

void KeptDownload::Prepare(std::wstring newRoot, std::vector<std::wstring> newNames, std::string newUrl) {
    Release();
    root = std::move(newRoot);
    names = std::move(newNames);
    url = std::move(newUrl);
}

bool KeptDownload::Claim() {
    if (IsClaimed()) return true;
    Release();
    if (root.empty() || names.empty()) return false;
    std::wstring path = root;
    for (const std::wstring& name : names) {
        if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) return false;
        if (path.back() != L'\\') path += L'\\';
        path += name;
        if (CreateDirectoryW(path.c_str(), nullptr)) made.push_back(path);
        else if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
        // Each level as it is: a link put in the way is not followed to somewhere else.
        UniqueHandle level = AdoptFileHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        if (!level || !GetFileInformationByHandle(level.get(), &info) || !IsPlain(info, true)) {
            Release();
            return false;
        }
        heldFolder = std::move(level);
    }
    folder = path + L'\\';
    base = folder + KeyOf(url);
    lock = Lock(Path(L".lock"));
    if (!lock) {
        Release();
        return false;
    }
    DiscardStale(Now());
    return true;
}

bool KeptDownload::ReadRecord(const std::wstring& path, KeptRecord* record) const {
    UniqueHandle file = OpenAsItIs(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info) || !IsPlain(info, false) || SizeOf(info) > kMaxRecordSize)
        return false;
    std::string text(static_cast<size_t>(SizeOf(info)), '\0');
    DWORD read = 0;
    return (text.empty() || (ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) &&
                             read == text.size())) &&
           ParseKeptRecord(text, record);
}

KeptFile KeptDownload::Take() {
    KeptFile taken;
    if (!Claim()) return taken;
    if (ReadRecord(Path(L".record"), &taken.record) && IsResumable(taken.record, url, Now())) {
        UniqueHandle file = OpenAsItIs(Path(L".part"), GENERIC_READ | GENERIC_WRITE | DELETE, 0, OPEN_EXISTING);
        BY_HANDLE_FILE_INFORMATION info;
        if (file && GetFileInformationByHandle(file.get(), &info) && IsPlain(info, false) &&
            info.dwVolumeSerialNumber == taken.record.volume && IndexOf(info) == taken.record.fileIndex &&
            SizeOf(info) == taken.record.kept) {
            taken.file = std::move(file);
            return taken;
        }
    }
    Discard();
    return KeptFile();
}

bool KeptDownload::Keep(HANDLE file, KeptRecord record) {
    if (!IsClaimed()) return false;
    DeleteAsItIs(Path(L".record"));
    BY_HANDLE_FILE_INFORMATION info;
    if (!MoveByHandle(file, Path(L".part"), true)) return false;
    if (!GetFileInformationByHandle(file, &info) || !SetDeleteOnClose(file, false)) {
        SetDeleteOnClose(file, true);
        return false;
    }
    record.url = url;
    record.savedAt = Now();
    record.volume = info.dwVolumeSerialNumber;
    record.fileIndex = IndexOf(info);
    // Written beside and then put in place in one step: a record is whole or missing.
    UniqueHandle written = WriteNewFile(Path(L".record.new"), FormatKeptRecord(record));
    if (!written || !MoveByHandle(written.get(), Path(L".record"), true)) {
        if (written) SetDeleteOnClose(written.get(), true);
        SetDeleteOnClose(file, true);
        return false;
    }
    return true;
}

void KeptDownload::Discard() {
    if (!IsClaimed()) return;
    for (const wchar_t* suffix : {L".record", L".record.new", L".part"}) DeleteAsItIs(Path(suffix));
}

void KeptDownload::DiscardStale(uint64_t now) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.record").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    const std::wstring own = base.substr(folder.size()) + L".record";
    do {
        const std::wstring name = found.cFileName;
        if (name == own || name.size() != 16 + 7) continue;
        const std::wstring other = folder + name.substr(0, 16);
        // Only a place nobody holds: another installer may be resuming from it right now.
        UniqueHandle otherLock = Lock(other + L".lock");
        if (!otherLock) continue;
        KeptRecord record;
        const bool fresh = ReadRecord(other + L".record", &record) && IsResumable(record, record.url, now);
        if (!fresh)
            for (const wchar_t* suffix : {L".record", L".record.new", L".part"}) DeleteAsItIs(other + suffix);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void KeptDownload::Release() {
    lock.reset();
    heldFolder.reset();
    // Only an empty folder goes; the product's own folder only when this run made it.
    if (!folder.empty()) RemoveDirectoryW(folder.substr(0, folder.size() - 1).c_str());
    for (auto level = made.rbegin(); level != made.rend(); ++level) RemoveDirectoryW(level->c_str());
    made.clear();
    folder.clear();
    base.clear();
}
