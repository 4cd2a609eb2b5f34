// Arbitrary bytes as the record of kept download bytes: the reader stays inside the text
// (AddressSanitizer, UBSan), and whatever it accepts is exactly what the writer makes of what it
// read, so a record the installer did not write is never taken for one.
#include "services/KeptRecord.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    KeptRecord record;
    if (ParseKeptRecord(text, &record) && FormatKeptRecord(record) != text) std::abort();
    return 0;
}
