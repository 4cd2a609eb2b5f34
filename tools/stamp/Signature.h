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
    // For Intact: the time of the signature's timestamp ("" when it has none), and when the
    // signer's certificate expires, both as "YYYY-MM-DD HH:MM:SS UTC". Without a timestamp,
    // Windows refuses the signature from that moment on; with one, it checks the certificate
    // as of the timestamp's time.
    std::string timestamp;
    std::string signerExpires;
    // The signer's certificate has the lifetime-signing usage: Windows then refuses the
    // signature once the certificate expires, timestamp or not.
    bool lifetimeSigning = false;
};

// Checks a file that has a certificate table the way Windows checks the file itself, leaving
// out only whether its certificates are trusted (or revoked, or were valid at the time): the
// table must end the file and hold one PKCS#7 Authenticode signature whose program digest
// matches the file and whose signer's signature verifies with the signer certificate it
// carries; each certificate it carries must be signed by its issuer wherever the issuer is
// carried too; and a timestamp, if there is one, must verify and be of this signature.
SignatureCheck CheckSignature(const std::vector<unsigned char>& file, const PeImage& image);

// Makes *stamped: file with stamp (marker and block) as an unauthenticated attribute of the
// signature's signer, replacing one written there before, every length and the checksum made
// to agree, nothing after the certificate table. Returns what prevents it, or "" when done.
std::string StampSignature(const std::vector<unsigned char>& file, const PeImage& image,
                           const std::vector<unsigned char>& stamp, std::vector<unsigned char>* stamped);
