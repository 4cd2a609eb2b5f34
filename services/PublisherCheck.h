#pragma once
// The installer's root of trust is its own Authenticode signature. A signed installer runs only
// a program whose own signature is valid and was made with the installer's signing key; an
// unsigned (development) build runs it unchecked.
#include "services/HeldFile.h"

#include <cstdint>
#include <string>

class PublisherCheck {
public:
    // Takes over the program's `file`, held so that nobody can change, replace or delete it
    // until Delete (or this object going): what runs is what was checked. True at
    // once when this installer's file carries no signature, provided the file is held. Otherwise
    // true only when the program's signature is valid and its signing certificate holds the
    // same public key as the one that signed this installer. The key, not the whole certificate:
    // only its private key's holder can make a valid signature with it, and a certificate renewed
    // for the same key keeps working with installers already handed out. False when the file is
    // not held, and whenever this installer's own signature does not check out: a signed build
    // never runs anything unchecked. Needs no network: certificates are not checked for
    // revocation. `ownPath` is this installer's own file, whose signer is the publisher.
    bool Check(const std::wstring& ownPath, const std::wstring& programPath, HeldFile file);
    // Lets go of the program and deletes it (`programPath`, as checked).
    void Delete(const std::wstring& programPath) { program.Delete(programPath.c_str()); }
    // Why the last Check was false: the system's error when the program could not be opened,
    // else the trust verdict (of this installer's own signature when that failed, of the
    // program's otherwise), TRUST_E_SUBJECT_NOT_TRUSTED for a valid signature by another key.
    // 0 after a true Check.
    uint32_t Verdict() const { return verdict; }

private:
    HeldFile program;
    uint32_t verdict = 0;
};
