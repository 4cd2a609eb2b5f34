#pragma once
// The installer's root of trust is its own Authenticode signature. A signed installer runs only
// a program whose own signature is valid and was made with the installer's signing key; an
// unsigned (development) build runs it unchecked. Either way a program runs only if its bytes
// are those that were downloaded.
#include "services/DownloadTypes.h"
#include "services/HeldFile.h"

#include <cstdint>
#include <string>

class PublisherCheck {
public:
    PublisherCheck() = default;
    virtual ~PublisherCheck() = default;
    PublisherCheck(const PublisherCheck&) = delete;
    PublisherCheck& operator=(const PublisherCheck&) = delete;

    // Takes over the program's `file`, held so that nobody can change, replace or delete it
    // until Delete (or this object going): what runs is what was checked. No failure (reason
    // None) when the program may run: the held bytes are those that were written (see
    // HeldFile::Compare), and its signature passes (see Signature). The content is read on a
    // thread of its own while the signature is checked on this one, as both read the whole
    // file. A file that is not what was written is `Changed` whatever its signature says (the
    // verdict was on someone else's bytes); one that could not be read whole, or is not held, a
    // `File` failure; then a refused signature is `Signature`, with the verdict as its detail.
    // `ownPath` is this installer's own file, whose signer is the publisher.
    Failure Check(const std::wstring& ownPath, const std::wstring& programPath, HeldFile file);
    // Lets go of the program and deletes it (`programPath`, as checked).
    void Delete(const std::wstring& programPath) { program.Delete(programPath.c_str()); }

protected:
    // The signature's verdict on the held program (Held()): 0 when it may run. At once 0 when
    // this installer's file carries no signature. Otherwise 0 only when the program's signature
    // is valid and its signing certificate holds the same public key as the one that signed this
    // installer. The key, not the whole certificate: only its private key's holder can make a
    // valid signature with it, and a certificate renewed for the same key keeps working with
    // installers already handed out. Refused whenever this installer's own signature does not
    // check out: a signed build never runs anything unchecked. Needs no network: certificates are
    // not checked for revocation. The refusal is the trust verdict (of this installer's own
    // signature when that failed, of the program's otherwise), TRUST_E_SUBJECT_NOT_TRUSTED for a
    // valid signature by another key, or the system's error when no check could be made.
    virtual uint32_t Signature(const std::wstring& ownPath, const std::wstring& programPath);
    const HeldFile& Held() const { return program; }

private:
    HeldFile program;
};
