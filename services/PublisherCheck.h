#pragma once
// The installer's root of trust is its own Authenticode signature. A signed installer runs only
// a program whose own signature is valid and was made with the installer's signing key; an
// unsigned (development) build runs it unchecked. Either way a program runs only if its bytes
// are those that were downloaded.
#include "services/DownloadTypes.h"
#include "services/HeldFile.h"
#include "services/SystemDlls.h"

#include <cstdint>
#include <string>

#include <softpub.h>

// One verdict of WinVerifyTrust on a file (read through `file` when not null), kept open while the
// signer's certificate is read. No window, no revocation check, nothing fetched from the network.
// Needs Trust().
class TrustVerdict {
public:
    TrustVerdict(const std::wstring& path, HANDLE file) {
        fileInfo.cbStruct = sizeof(fileInfo);
        fileInfo.pcwszFilePath = path.c_str();
        fileInfo.hFile = file;
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
        result = Trust()->WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
        valid = result == ERROR_SUCCESS;
    }
    ~TrustVerdict() {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        Trust()->WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    TrustVerdict(const TrustVerdict&) = delete;
    TrustVerdict& operator=(const TrustVerdict&) = delete;

    LONG Result() const { return result; }
    // The public key of the certificate that made a valid signature; null for any other file.
    CERT_PUBLIC_KEY_INFO* SignerKey() const {
        if (!valid) return nullptr;
        CRYPT_PROVIDER_DATA* provider = Trust()->WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? Trust()->WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* certificate = signer ? Trust()->WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        if (!certificate || !certificate->pCert || !certificate->pCert->pCertInfo) return nullptr;
        return &certificate->pCert->pCertInfo->SubjectPublicKeyInfo;
    }

private:
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO fileInfo{};
    WINTRUST_DATA data{};
    LONG result = 0;
    bool valid = false;
};

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
