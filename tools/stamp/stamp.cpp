// The publisher's stamping tool: writes a copy of the installer that names an affiliate, and
// shows the stamp a copy carries. Signed copies need OpenSSL (see Signature.h); the rest is the
// standard library only, so it builds for the host and for Windows. On Windows it takes its
// arguments as UTF-16 (wmain), so that file names with any characters work, and converts the
// text arguments with the system's one call for that.
#include "services/StampedBlock.h"
#include "tools/stamp/PeImage.h"
#include "tools/stamp/Signature.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
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
    "usage: stamp IN OUT --affiliate N --remarks TEXT [--require-timestamp]\n"
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
    "stamp there is replaced, and a timestamp there is kept. IN's signature must be intact\n"
    "(see --show), and the copy's is checked before it is kept. Only the Linux build (made\n"
    "with OpenSSL) stamps signed programs.\n"
    "A signature without a timestamp, or by a certificate with the lifetime-signing usage,\n"
    "stops working on Windows the day its certificate expires: stamping one warns, with that\n"
    "date, on standard error; --require-timestamp refuses it instead.\n"
    "OUT is first written under a new temporary name beside it and renamed to OUT only once\n"
    "complete and read back; on any failure OUT is left as it was.\n"
    "\n"
    "--show FILE prints the affiliate and remarks the installer would read from FILE, and\n"
    "whether FILE is signed: \"signature: none\", \"signature: intact\" or \"signature: broken:\n"
    "WHY\". Intact means what Windows checks of the file itself: the certificate table ends the\n"
    "file, the program is the one signed, the signer's certificate carried in the signature\n"
    "signed it, each certificate carried is signed by its issuer where that is carried too,\n"
    "and a timestamp verifies and is of this signature. Whether the certificates are trusted\n"
    "is not judged. An intact signature is followed by \"timestamp: DATE\" (when it was\n"
    "timestamped, UTC) or \"timestamp: none\".\n"
    "\n"
    "Exit status: 0 done; 1 refused or failed, nothing written (with --show: FILE carries\n"
    "no stamp, cannot be read, or its signature is broken); 2 bad command line.\n";

namespace fs = std::filesystem;

// One command-line argument in both of the forms the tool uses.
struct Argument {
    // As 8-bit text in the system's code page, as a program with a narrow main would see it:
    // options, the affiliate number and the remarks, which go into the stamp as they are.
    std::string text;
    // Exactly as given: a file name.
    fs::path path;
};

#ifndef O_BINARY
#define O_BINARY 0
#endif

#ifdef _WIN32
std::string Narrow(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &text[0], length, nullptr, nullptr);
    return text;
}
// A file name in messages; characters the code page lacks show as '?'.
std::string Shown(const fs::path& path) { return Narrow(path.native()); }
std::FILE* OpenForReading(const fs::path& path) { return _wfopen(path.c_str(), L"rb"); }
int OpenNew(const fs::path& path) { return _wopen(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666); }
#else
std::string Shown(const fs::path& path) { return path.native(); }
std::FILE* OpenForReading(const fs::path& path) { return std::fopen(path.c_str(), "rb"); }
int OpenNew(const fs::path& path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666); }
#endif

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

bool ReadWholeFile(const fs::path& path, std::vector<unsigned char>* contents) {
    UniqueFile file(OpenForReading(path));
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
        std::error_code ignored;
        if (!path_.empty()) fs::remove(path_, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates a new file beside target, under a name no file had; null on failure.
    std::FILE* Create(const fs::path& target);
    const fs::path& path() const { return path_; }
    void Kept() { path_.clear(); }

private:
    fs::path path_;
};

std::FILE* TemporaryFile::Create(const fs::path& target) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".stamp-%08lx.tmp", static_cast<unsigned long>(random()));
        fs::path path = target;
        path += suffix;
        // O_EXCL: whatever already has this name, even IN itself, is never opened, let alone emptied.
        const int descriptor = OpenNew(path);
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

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

int Stamp(const fs::path& inPath, const fs::path& outPath, const std::string& affiliate,
          const std::string& remarks, bool requireTimestamp) {
    // The names as messages show them.
    const std::string in = Shown(inPath), out = Shown(outPath);
    uint32_t id = 0;
    if (!ParseAffiliate(affiliate.c_str(), &id))
        return Refuse("affiliate \"" + affiliate + "\" is not a decimal number from 0 to 4294967295");
    if (remarks.size() >= kStampRemarksSize)
        return Refuse("remarks are " + std::to_string(remarks.size()) + " bytes long; at most " +
                      std::to_string(kStampRemarksSize - 1) + " fit");
    if (remarks.find('\0') != std::string::npos) return Refuse("remarks must not contain a NUL");
    if (SameFile(inPath, outPath)) return Refuse("IN and OUT are the same file; IN is never changed");
    std::error_code error;
    if (fs::is_directory(outPath, error))
        return Refuse(out + " is a folder; OUT names the file to write");

    std::vector<unsigned char> program;
    if (!ReadWholeFile(inPath, &program)) return Refuse("cannot read " + in);
    const PeImage image = PeImage::Parse(program.data(), program.size());
    if (!image.error.empty()) return Refuse(in + ": " + image.error);

    const std::vector<unsigned char> stamp = ComposeStamp(id, remarks);
    std::vector<unsigned char> copy;
    size_t kept = image.imageEnd;
    if (image.hasCertificateTable) {
        const SignatureCheck signature = CheckSignature(program, image);
        if (signature.state == SignatureCheck::Broken)
            return Refuse(in + " is signed, but its signature is broken: " + signature.detail);
        if (signature.state == SignatureCheck::Intact && (signature.timestamp.empty() || signature.lifetimeSigning)) {
            const std::string why =
                signature.lifetimeSigning
                    ? in + "'s signing certificate has the lifetime-signing usage: Windows refuses its signature, "
                           "and every copy stamped from it, from the day the certificate expires (" +
                          signature.signerExpires + "), timestamp or not. Sign with a certificate without that usage"
                    : in + "'s signature carries no timestamp: Windows refuses it, and every copy stamped from it, "
                           "from the day its signing certificate expires (" +
                          signature.signerExpires +
                          "). Sign with a timestamp (osslsigncode sign -ts URL, signtool sign /tr URL)";
            if (requireTimestamp) return Refuse(why + "; nothing written");
            std::fprintf(stderr, "stamp: warning: %s.\n", why.c_str());
        }
        const std::string why = StampSignature(program, image, stamp, &copy);
        if (!why.empty()) return Refuse(in + " is signed: " + why);
        const SignatureCheck stamped = CheckSignature(copy, PeImage::Parse(copy.data(), copy.size()));
        if (stamped.state != SignatureCheck::Intact || stamped.timestamp != signature.timestamp)
            return Refuse("the stamped copy's signature does not hold (" + stamped.detail + ", timestamp \"" +
                          stamped.timestamp + "\"); " + out + " left as it was");
        // A signed program ends with its certificate table (the check refuses anything after it).
        kept = program.size();
    } else {
        copy.assign(program.begin(), program.begin() + static_cast<std::ptrdiff_t>(image.imageEnd));
        copy.insert(copy.end(), stamp.begin(), stamp.end());
    }

    TemporaryFile temporary;
    if (!WriteCopy(temporary.Create(outPath), copy))
        return Refuse("cannot write a temporary copy beside " + out + "; " + out + " left as it was");

    // The installer takes the first valid block in its file; make sure that is this one.
    unsigned readId = 0;
    char readRemarks[kStampRemarksSize];
    if (!StampedBlock().ReadStamp(temporary.path().c_str(), &readId, readRemarks) || readId != id ||
        remarks != readRemarks)
        return Refuse("the stamped copy does not read back as written (does " + in +
                      " hold another stamp inside its image or its signed part?); " + out + " left as it was");

    fs::rename(temporary.path(), outPath, error);
    if (error) return Refuse("cannot replace " + out + ": " + error.message());
    temporary.Kept();

    if (program.size() > kept)
        std::printf("left out %s bytes that followed the program image (an earlier stamp?)\n",
                    std::to_string(program.size() - kept).c_str());
    std::printf("stamped %s: affiliate %lu, remarks \"%s\"\n", out.c_str(), static_cast<unsigned long>(id),
                remarks.c_str());
    return kExitDone;
}

int Show(const fs::path& filePath) {
    const std::string path = Shown(filePath);
    std::vector<unsigned char> file;
    if (!ReadWholeFile(filePath, &file)) return Refuse("cannot read " + path);
    unsigned id = 0;
    char remarks[kStampRemarksSize];
    const bool stamped = StampedBlock().ReadStamp(filePath.c_str(), &id, remarks);
    if (stamped) std::printf("affiliate: %u\nremarks: %s\n", id, remarks);

    const PeImage image = PeImage::Parse(file.data(), file.size());
    SignatureCheck signature;
    if (image.error.empty() && image.hasCertificateTable) {
        signature = CheckSignature(file, image);
        std::printf("signature: %s%s\n", signature.state == SignatureCheck::Broken ? "broken: " : "",
                    signature.detail.c_str());
        if (signature.state == SignatureCheck::Intact)
            std::printf("timestamp: %s\n", signature.timestamp.empty() ? "none" : signature.timestamp.c_str());
    } else {
        std::printf("signature: none\n");
    }
    std::fflush(stdout);
    if (!stamped) return Refuse(path + " carries no stamp (or could not be read whole)");
    if (signature.state == SignatureCheck::Broken) return Refuse(path + "'s signature is broken");
    return kExitDone;
}

int Run(const std::vector<Argument>& args) {
    const size_t argc = args.size();
    if (argc == 1 && (args[0].text == "--help" || args[0].text == "-h")) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    if (argc >= 1 && args[0].text == "--show") {
        if (argc != 2) return BadCommandLine("--show takes exactly one FILE");
        return Show(args[1].path);
    }

    std::vector<fs::path> files;
    const std::string* affiliate = nullptr;
    const std::string* remarks = nullptr;
    bool requireTimestamp = false;
    for (size_t i = 0; i < argc; ++i) {
        if (args[i].text == "--require-timestamp") {
            if (requireTimestamp) return BadCommandLine("each option may be given only once");
            requireTimestamp = true;
            continue;
        }
        const bool isAffiliate = args[i].text == "--affiliate";
        const bool isRemarks = args[i].text == "--remarks";
        if (isAffiliate || isRemarks) {
            const std::string*& value = isAffiliate ? affiliate : remarks;
            if (value) return BadCommandLine("each option may be given only once");
            if (i + 1 == argc) return BadCommandLine("an option is missing its value");
            value = &args[++i].text;
        } else if (args[i].text.compare(0, 2, "--") == 0) {
            return BadCommandLine("unknown option");
        } else {
            files.push_back(args[i].path);
        }
    }
    if (files.size() != 2 || !affiliate || !remarks)
        return BadCommandLine("need IN, OUT, --affiliate and --remarks");
    return Stamp(files[0], files[1], *affiliate, *remarks, requireTimestamp);
}

int RunCatching(const std::vector<Argument>& args) {
    try {
        return Run(args);
    } catch (const std::exception& error) {
        // Out of memory, mostly; the temporary copy has been removed on the way out.
        return Refuse(std::string("failed: ") + error.what() + "; nothing written");
    }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<Argument> args;
    for (int i = 1; i < argc; ++i) args.push_back({Narrow(argv[i]), fs::path(argv[i])});
    return RunCatching(args);
}
#else
int main(int argc, char** argv) {
    std::vector<Argument> args;
    for (int i = 1; i < argc; ++i) args.push_back({argv[i], fs::path(argv[i])});
    return RunCatching(args);
}
#endif
