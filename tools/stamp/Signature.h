#pragma once
// A signed program's Authenticode signature: whether it still holds, and carrying the stamp in
// its unauthenticated part, the one place of a signed file that the signature does not cover.
// Needs OpenSSL; a build without it (the Windows one) answers that it cannot.
#include "tools/stamp/PeImage.h"

#include <string>
#include <vector>

struct SignatureCheck {
    enum State { Intact, Broken, Unchecked };
    State state = Unchecked;
    // What was found: for Broken, what is wrong; for Unchecked, why it was not checked.
    std::string detail;
};

// Checks a file that has a certificate table: its first entry must be a PKCS#7 Authenticode
// signature whose program digest matches the file, and whose signer's signature verifies with
// the signer certificate it carries. Whether that certificate is trusted is not judged.
SignatureCheck CheckSignature(const std::vector<unsigned char>& file, const PeImage& image);

// Makes *stamped: file with stamp (marker and block) as an unauthenticated attribute of the
// signature's signer, replacing one written there before, every length and the checksum made
// to agree, nothing after the certificate table. Returns what prevents it, or "" when done.
std::string StampSignature(const std::vector<unsigned char>& file, const PeImage& image,
                           const std::vector<unsigned char>& stamp, std::vector<unsigned char>* stamped);
