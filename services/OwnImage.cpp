#include "services/OwnImage.h"

#include "services/PeHeaders.h"

#include <algorithm>

const IMAGE_NT_HEADERS* OwnImageHeaders() { return LoadedImageHeaders(GetModuleHandleW(nullptr)); }

uint32_t OwnImageFileSize() {
    const IMAGE_NT_HEADERS* nt = OwnImageHeaders();
    if (!nt) return 0;
    uint32_t end = nt->OptionalHeader.SizeOfHeaders;
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
        if (section->SizeOfRawData != 0) end = std::max<uint32_t>(end, section->PointerToRawData + section->SizeOfRawData);
    return end;
}

bool OwnImageIsSigned() {
    const IMAGE_NT_HEADERS* nt = OwnImageHeaders();
    if (!nt) return false;
    const IMAGE_OPTIONAL_HEADER& optional = nt->OptionalHeader;
    return optional.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_SECURITY &&
           optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}
