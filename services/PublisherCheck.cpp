#include "services/PublisherCheck.h"

#include "services/OwnImage.h"
#include "services/SystemDlls.h"

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The verdict of a signature that checks out but says nothing: no signer could be read from it.
uint32_t Refusal(const TrustVerdict& verdict) {
    return static_cast<uint32_t>(verdict.Result() != ERROR_SUCCESS ? verdict.Result() : TRUST_E_NOSIGNATURE);
}

// The content's pass, on a thread of its own.
struct ContentPass {
    const HeldFile* file;
    const wchar_t* path;
    HeldFile::Content content;
};

DWORD WINAPI CompareContent(void* parameter) {
    auto* pass = static_cast<ContentPass*>(parameter);
    pass->content = pass->file->Compare(pass->path);
    return 0;
}
}  // namespace

Failure PublisherCheck::Check(const std::wstring& ownPath, const std::wstring& programPath, HeldFile file) {
    program = std::move(file);
    if (!program.IsHeld()) return Failure{FailureReason::File, static_cast<uint32_t>(ERROR_INVALID_HANDLE)};
    ContentPass pass{&program, programPath.c_str(), HeldFile::Content::Unread};
    HANDLE thread = CreateThread(nullptr, 0, CompareContent, &pass, 0, nullptr);
    // Without a second thread, one pass after the other.
    if (!thread) CompareContent(&pass);
    const uint32_t verdict = Signature(ownPath, programPath);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    if (pass.content == HeldFile::Content::Changed) return Failure{FailureReason::Changed, 0};
    if (pass.content != HeldFile::Content::Same) return Failure{FailureReason::File, 0};
    if (verdict != 0) return Failure{FailureReason::Signature, verdict};
    return Failure{};
}

uint32_t PublisherCheck::Signature(const std::wstring& ownPath, const std::wstring& programPath) {
    if (!OwnImageIsSigned()) return 0;

    // Without the system's signature functions nothing checks out.
    if (ownPath.empty() || !Trust()) return static_cast<uint32_t>(ownPath.empty() ? ERROR_FILE_NOT_FOUND : ERROR_MOD_NOT_FOUND);
    TrustVerdict installer(ownPath, nullptr);
    CERT_PUBLIC_KEY_INFO* publisher = installer.SignerKey();
    if (!publisher) return Refusal(installer);
    TrustVerdict setup(programPath, program.Get());
    CERT_PUBLIC_KEY_INFO* signer = setup.SignerKey();
    if (!signer) return Refusal(setup);
    if (!Trust()->CertComparePublicKeyInfo(kEncoding, publisher, signer)) return static_cast<uint32_t>(TRUST_E_SUBJECT_NOT_TRUSTED);
    return 0;
}
