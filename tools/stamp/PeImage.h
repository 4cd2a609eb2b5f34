#pragma once
// What the stamping tool needs to know about a Windows program file before it stamps it.
#include <cstddef>
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
    // The security data directory is set: the file is signed, and anything written after
    // its image would be appended to, or break, the signature.
    bool hasCertificateTable = false;

    static PeImage Parse(const unsigned char* data, size_t size);
};
