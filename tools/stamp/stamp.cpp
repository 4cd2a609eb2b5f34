// The publisher's stamping tool: writes a copy of the installer that names an affiliate, and
// shows the stamp a copy carries. Signed copies need OpenSSL (see Signature.h); the rest is the
// standard library only, so it builds for the host and for Windows.
#include "services/StampedBlock.h"
#include "tools/stamp/PeImage.h"
#include "tools/stamp/Signature.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: stamp IN OUT --affiliate N --remarks TEXT\n"
    "       stamp --show FILE\n"
    "       stamp --help\n"
    "\n"
    "Writes OUT, a copy of the Windows program IN stamped with affiliate N (a decimal number,\n"
    "0 to 4294967295) and TEXT (at most 127 bytes). IN itself is never changed and must not\n"
    "be OUT.\n"
    "Unsigned IN: the stamp goes right after the program image (after the last byte of\n"
    "section data, headers or COFF symbol tables). Anything IN carries past that point, such\n"
    "as an earlier stamp, is left out, so stamping a stamped copy replaces its stamp.\n"
    "Signed IN (Authenticode): the stamp goes into the signature, as an attribute of the\n"
    "signer that the signature does not cover, so the copy stays validly signed; an earlier\n"
    "stamp there is replaced, anything after the certificate table is left out. IN's\n"
    "signature must be intact, and the copy's is checked before it is kept. Only the Linux\n"
    "build (made with OpenSSL) stamps signed programs.\n"
    "OUT is first written under a new temporary name beside it and renamed to OUT only once\n"
    "complete and read back; on any failure OUT is left as it was.\n"
    "\n"
    "--show FILE prints the affiliate and remarks the installer would read from FILE, and\n"
    "whether FILE is signed: \"signature: none\", \"signature: intact\" (the program is the\n"
    "one signed, and the signer's certificate carried in the signature signed it; whether\n"
    "that certificate is trusted is not judged) or \"signature: broken: WHY\".\n"
    "\n"
    "Exit status: 0 done; 1 refused or failed, nothing written (with --show: FILE carries\n"
    "no stamp, cannot be read, or its signature is broken); 2 bad command line.\n";

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, CloseFile>;

int Refuse(const std::string& why) {
    std::fprintf(stderr, "stamp: %s\n", why.c_str());
    return kExitFailed;
}

int BadCommandLine(const char* why) {
    std::fprintf(stderr, "stamp: %s\n\n%s", why, kUsage);
    return kExitUsage;
}

// Digits only: no sign, no blanks, no suffix, nothing above 32 bits.
bool ParseAffiliate(const char* text, uint32_t* id) {
    if (*text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    *id = static_cast<uint32_t>(value);
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<unsigned char>* contents) {
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    unsigned char piece[65536];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, file.get())) > 0)
        contents->insert(contents->end(), piece, piece + got);
    return !std::ferror(file.get());
}

void AppendLittleEndian32(std::vector<unsigned char>* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<unsigned char>(value >> shift));
}

// Marker and block; the remarks field is zero after the text's NUL.
std::vector<unsigned char> ComposeStamp(uint32_t id, const std::string& remarks) {
    std::vector<unsigned char> stamp(kStampMarker, kStampMarker + kStampMarkerLength);
    AppendLittleEndian32(&stamp, id);
    std::vector<unsigned char> field(kStampRemarksSize, 0);
    std::memcpy(field.data(), remarks.data(), remarks.size());
    stamp.insert(stamp.end(), field.begin(), field.end());
    AppendLittleEndian32(&stamp, StampCheckValue(id, remarks.c_str()));
    return stamp;
}

// Removes the temporary copy unless it has been renamed into place. Only ever holds a name it
// created itself, so it can never remove a file that was there before.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates a new file beside target, under a name no file had; null on failure.
    std::FILE* Create(const std::string& target);
    const std::string& path() const { return path_; }
    void Kept() { path_.clear(); }

private:
    std::string path_;
};

#ifndef O_BINARY
#define O_BINARY 0
#endif

std::FILE* TemporaryFile::Create(const std::string& target) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".stamp-%08lx.tmp", static_cast<unsigned long>(random()));
        const std::string path = target + suffix;
        // O_EXCL: whatever already has this name, even IN itself, is never opened, let alone emptied.
        const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
        if (descriptor < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        path_ = path;
        std::FILE* file = fdopen(descriptor, "wb");
        if (!file) close(descriptor);
        return file;
    }
    return nullptr;
}

bool WriteCopy(std::FILE* raw, const std::vector<unsigned char>& copy) {
    if (!raw) return false;
    UniqueFile file(raw);
    bool ok = std::fwrite(copy.data(), 1, copy.size(), raw) == copy.size() && std::fflush(raw) == 0;
    // A full disk may only show when the file is closed.
    ok = std::fclose(file.release()) == 0 && ok;
    return ok;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

int Stamp(const std::string& in, const std::string& out, const char* affiliate, const std::string& remarks) {
    uint32_t id = 0;
    if (!ParseAffiliate(affiliate, &id))
        return Refuse("affiliate \"" + std::string(affiliate) + "\" is not a decimal number from 0 to 4294967295");
    if (remarks.size() >= kStampRemarksSize)
        return Refuse("remarks are " + std::to_string(remarks.size()) + " bytes long; at most " +
                      std::to_string(kStampRemarksSize - 1) + " fit");
    if (remarks.find('\0') != std::string::npos) return Refuse("remarks must not contain a NUL");
    if (SameFile(in, out)) return Refuse("IN and OUT are the same file; IN is never changed");
    std::error_code error;
    if (std::filesystem::is_directory(out, error))
        return Refuse(out + " is a folder; OUT names the file to write");

    std::vector<unsigned char> program;
    if (!ReadWholeFile(in, &program)) return Refuse("cannot read " + in);
    const PeImage image = PeImage::Parse(program.data(), program.size());
    if (!image.error.empty()) return Refuse(in + ": " + image.error);

    const std::vector<unsigned char> stamp = ComposeStamp(id, remarks);
    std::vector<unsigned char> copy;
    size_t kept = image.imageEnd;
    if (image.hasCertificateTable) {
        const SignatureCheck signature = CheckSignature(program, image);
        if (signature.state == SignatureCheck::Broken)
            return Refuse(in + " is signed, but its signature is broken: " + signature.detail);
        const std::string why = StampSignature(program, image, stamp, &copy);
        if (!why.empty()) return Refuse(in + " is signed: " + why);
        const SignatureCheck stamped = CheckSignature(copy, PeImage::Parse(copy.data(), copy.size()));
        if (stamped.state != SignatureCheck::Intact)
            return Refuse("the stamped copy's signature does not hold (" + stamped.detail + "); " + out +
                          " left as it was");
        kept = image.certificateTableAt + image.certificateTableSize;
    } else {
        copy.assign(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(image.imageEnd));
        copy.insert(copy.end(), stamp.begin(), stamp.end());
    }

    TemporaryFile temporary;
    if (!WriteCopy(temporary.Create(out), copy))
        return Refuse("cannot write a temporary copy beside " + out + "; " + out + " left as it was");

    // The installer takes the first valid block in its file; make sure that is this one.
    unsigned readId = 0;
    char readRemarks[kStampRemarksSize];
    if (!StampedBlock().ReadStamp(temporary.path().c_str(), &readId, readRemarks) || readId != id ||
        remarks != readRemarks)
        return Refuse("the stamped copy does not read back as written (does " + in +
                      " hold another stamp inside its image or its signed part?); " + out + " left as it was");

    std::filesystem::rename(temporary.path(), out, error);
    if (error) return Refuse("cannot replace " + out + ": " + error.message());
    temporary.Kept();

    if (program.size() > kept)
        std::printf("left out %s bytes that followed the %s (an earlier stamp?)\n",
                    std::to_string(program.size() - kept).c_str(),
                    image.hasCertificateTable ? "certificate table" : "program image");
    std::printf("stamped %s: affiliate %lu, remarks \"%s\"\n", out.c_str(), static_cast<unsigned long>(id),
                remarks.c_str());
    return kExitDone;
}

int Show(const char* path) {
    std::vector<unsigned char> file;
    if (!ReadWholeFile(path, &file)) return Refuse(std::string("cannot read ") + path);
    unsigned id = 0;
    char remarks[kStampRemarksSize];
    const bool stamped = StampedBlock().ReadStamp(path, &id, remarks);
    if (stamped) std::printf("affiliate: %u\nremarks: %s\n", id, remarks);

    const PeImage image = PeImage::Parse(file.data(), file.size());
    SignatureCheck signature;
    if (image.error.empty() && image.hasCertificateTable) {
        signature = CheckSignature(file, image);
        std::printf("signature: %s%s\n", signature.state == SignatureCheck::Broken ? "broken: " : "",
                    signature.detail.c_str());
    } else {
        std::printf("signature: none\n");
    }
    std::fflush(stdout);
    if (!stamped) return Refuse(std::string(path) + " carries no stamp (or could not be read whole)");
    if (signature.state == SignatureCheck::Broken) return Refuse(std::string(path) + "'s signature is broken");
    return kExitDone;
}

int Run(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--show") == 0) {
        if (argc != 3) return BadCommandLine("--show takes exactly one FILE");
        return Show(argv[2]);
    }

    std::vector<std::string> files;
    const char* affiliate = nullptr;
    const char* remarks = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool isAffiliate = std::strcmp(argv[i], "--affiliate") == 0;
        const bool isRemarks = std::strcmp(argv[i], "--remarks") == 0;
        if (isAffiliate || isRemarks) {
            const char*& value = isAffiliate ? affiliate : remarks;
            if (value) return BadCommandLine("each option may be given only once");
            if (i + 1 == argc) return BadCommandLine("an option is missing its value");
            value = argv[++i];
        } else if (std::strncmp(argv[i], "--", 2) == 0) {
            return BadCommandLine("unknown option");
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.size() != 2 || !affiliate || !remarks)
        return BadCommandLine("need IN, OUT, --affiliate and --remarks");
    return Stamp(files[0], files[1], affiliate, remarks);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        // Out of memory, mostly; the temporary copy has been removed on the way out.
        return Refuse(std::string("failed: ") + error.what() + "; nothing written");
    }
}
