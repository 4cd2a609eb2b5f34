#pragma once
// What the stamping tool needs to know about a Windows program file before it stamps it.
#include <cstddef>
#include <cstdint>
#include <string>

struct PeImage {
    // Empty when the file is a PE program (PE32 or PE32+) whose headers, section table and
    // section data all lie inside the file; otherwise what is wrong with it.
    std::string error;
    // Where the program image ends in the file: the furthest end of any section's raw data,
    // of the headers (at least SizeOfHeaders and the section table), and of the COFF symbol
    // and string tables if the file carries them whole. Anything after it is data appended
    // to the program, such as a stamp.
    size_t imageEnd = 0;
    // The security data directory is set: the file is signed. Where its certificate table
    // lies (file offset and size, as the directory says; not checked against the file) and
    // where that directory entry itself lies.
    bool hasCertificateTable = false;
    size_t certificateTableAt = 0;
    size_t certificateTableSize = 0;
    size_t securityDirectoryAt = 0;
    // Where the optional header's CheckSum field lies, and the value it holds (0: none).
    size_t checksumAt = 0;
    uint32_t checksum = 0;

    static PeImage Parse(const unsigned char* data, size_t size);
};
