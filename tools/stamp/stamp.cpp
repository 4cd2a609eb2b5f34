// The publisher's stamping tool: writes a copy of the installer that names an affiliate, and
// shows the stamp a copy carries. Standard library only, so it builds for the host and for
// Windows.
#include "services/StampedBlock.h"
#include "tools/stamp/PeImage.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
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
    "0 to 4294967295) and TEXT (at most 127 bytes). The stamp goes right after the program\n"
    "image: after the last byte of section data, headers or COFF symbol tables. Anything IN\n"
    "carries past that point, such as an earlier stamp, is left out, so stamping a stamped\n"
    "copy replaces its stamp. IN itself is never changed and must not be OUT.\n"
    "OUT is first written as OUT.stamp-tmp and renamed to OUT only once complete and read\n"
    "back; on any failure OUT is left as it was.\n"
    "Signed programs are refused: stamp first, then sign.\n"
    "\n"
    "--show FILE prints the affiliate and remarks the installer would read from FILE.\n"
    "\n"
    "Exit status: 0 done; 1 refused or failed, nothing written (with --show: FILE carries\n"
    "no stamp or cannot be read); 2 bad command line.\n";

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

// Removes the temporary copy unless it has been renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }
    void Kept() { path_.clear(); }

private:
    std::string path_;
};

bool WriteParts(const std::string& path, const unsigned char* image, size_t imageSize,
                const std::vector<unsigned char>& stamp) {
    std::FILE* raw = std::fopen(path.c_str(), "wb");
    if (!raw) return false;
    UniqueFile file(raw);
    bool ok = std::fwrite(image, 1, imageSize, raw) == imageSize &&
              std::fwrite(stamp.data(), 1, stamp.size(), raw) == stamp.size() && std::fflush(raw) == 0;
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

    std::vector<unsigned char> program;
    if (!ReadWholeFile(in, &program)) return Refuse("cannot read " + in);
    const PeImage image = PeImage::Parse(program.data(), program.size());
    if (!image.error.empty()) return Refuse(in + ": " + image.error);
    if (image.hasCertificateTable)
        return Refuse(in + " is signed (it has a certificate table); stamp the unsigned program, then sign");

    TemporaryFile temporary(out + ".stamp-tmp");
    if (!WriteParts(temporary.path(), program.data(), image.imageEnd, ComposeStamp(id, remarks)))
        return Refuse("cannot write " + temporary.path() + "; " + out + " left as it was");

    // The installer takes the first valid block in its file; make sure that is this one.
    unsigned readId = 0;
    char readRemarks[kStampRemarksSize];
    if (!StampedBlock().ReadStamp(temporary.path().c_str(), &readId, readRemarks) || readId != id ||
        remarks != readRemarks)
        return Refuse("the stamped copy does not read back as written (does " + in +
                      " hold another stamp inside its image?); " + out + " left as it was");

    std::error_code error;
    std::filesystem::rename(temporary.path(), out, error);
    if (error) return Refuse("cannot replace " + out + ": " + error.message());
    temporary.Kept();

    if (program.size() > image.imageEnd)
        std::printf("left out %s bytes that followed the program image (an earlier stamp?)\n",
                    std::to_string(program.size() - image.imageEnd).c_str());
    std::printf("stamped %s: affiliate %lu, remarks \"%s\"\n", out.c_str(), static_cast<unsigned long>(id),
                remarks.c_str());
    return kExitDone;
}

int Show(const char* path) {
    if (!UniqueFile(std::fopen(path, "rb"))) return Refuse(std::string("cannot open ") + path);
    unsigned id = 0;
    char remarks[kStampRemarksSize];
    if (!StampedBlock().ReadStamp(path, &id, remarks))
        return Refuse(std::string(path) + " carries no stamp (or could not be read whole)");
    std::printf("affiliate: %u\nremarks: %s\n", id, remarks);
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
