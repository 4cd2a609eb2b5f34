#pragma once
// The bytes of a download that failed for a reason that may pass (a lost connection, a server
// gone for a while), kept in a folder of the user's so that the next run of the installer goes on
// from them instead of starting again. One place per URL, used by one installer at a time: a
// second one finds it taken and downloads on its own. What lies there is taken only when it is
// the very file the record beside it names (its identity, its length, its digest, checked as it
// is read back), a plain file with no other name; anything else is deleted, never followed.
#include "framework/Handles.h"
#include "services/KeptRecord.h"

#include <string>
#include <vector>

// Kept bytes handed to a download: the file, open for reading, writing and deleting and shared
// with nobody, and its record. No file when nothing could be resumed.
struct KeptFile {
    UniqueHandle file;
    KeptRecord record;
};

class KeptDownload {
public:
    KeptDownload() = default;
    ~KeptDownload() { Release(); }
    KeptDownload(const KeptDownload&) = delete;
    KeptDownload& operator=(const KeptDownload&) = delete;

    // Names the place: the folder `root`\`names`..., for the download of `url`. Touches nothing:
    // the place is claimed by the first Take.
    void Prepare(std::wstring root, std::vector<std::wstring> names, std::string url);
    // Takes this run's place (the folders made if missing): false when another installer holds it
    // or the folder cannot be had, and then nothing is taken nor kept. Deletes what other
    // downloads kept there too long ago.
    bool Claim();
    bool IsClaimed() const { return static_cast<bool>(lock); }
    // Claims the place if need be, and hands over the kept bytes when their record says they may
    // be resumed now (see IsResumable) and the file is the one it names; else none, and whatever
    // was kept is deleted. Their digest is for the taker to check as it reads them.
    KeptFile Take();
    // Moves `file` (open with delete access and marked to be deleted when closed; its first
    // `record.kept` bytes are what is kept) into the place, keeps it from being deleted and
    // writes its record (its identity and the time are filled in here). False when it could not
    // be kept whole: then it is still marked for deletion, and nothing of it is recorded.
    bool Keep(HANDLE file, KeptRecord record);
    // Deletes what is kept for the claimed URL.
    void Discard();
    // Lets go of the place, and removes the folder when it is empty (its parents too, when this
    // run made them).
    void Release();

private:
    std::wstring Path(const wchar_t* suffix) const { return base + suffix; }
    bool ReadRecord(const std::wstring& path, KeptRecord* record) const;
    void DiscardStale(uint64_t now);

    std::wstring root;
    std::vector<std::wstring> names;
    std::string url;
    // The folder's path, and the path of the URL's files without their suffix.
    std::wstring folder;
    std::wstring base;
    // Held open while claimed, so that nobody renames or deletes the folder meanwhile.
    UniqueHandle heldFolder;
    // The URL's lock file: held without sharing, and gone when closed.
    UniqueHandle lock;
    // The folders this run made, outermost first.
    std::vector<std::wstring> made;
};
