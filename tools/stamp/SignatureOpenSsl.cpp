// Authenticode with OpenSSL's PKCS#7 and ASN.1 code. The stamp becomes an attribute of the
// signer outside its signed attributes, the place where timestamps and nested signatures live:
// the program digest skips the certificate table, and the signer's signature covers only the
// content and the signed attributes, so neither changes when the attribute is added.
#include "tools/stamp/Signature.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using UniquePkcs7 = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using UniqueDigestInfo = std::unique_ptr<X509_SIG, Deleter<X509_SIG, X509_SIG_free>>;
using UniqueBio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using UniqueStore = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using UniqueObject = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using UniqueAttribute = std::unique_ptr<X509_ATTRIBUTE, Deleter<X509_ATTRIBUTE, X509_ATTRIBUTE_free>>;
using UniqueDigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using UniqueCms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using UniqueTstInfo = std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO, TS_TST_INFO_free>>;
using UniqueSignerInfo = std::unique_ptr<PKCS7_SIGNER_INFO, Deleter<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>>;
struct FreeCertificates {
    void operator()(STACK_OF(X509)* certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using UniqueCertificates = std::unique_ptr<STACK_OF(X509), FreeCertificates>;

// WIN_CERTIFICATE: dwLength (header and signature), wRevision, wCertificateType, then the data.
constexpr size_t kEntryHeaderSize = 8;
constexpr uint32_t kRevision2 = 0x0200;
constexpr uint32_t kPkcsSignedData = 0x0002;
// Entries, and so the table's end, are aligned to 8 bytes.
constexpr size_t kEntryAlignment = 8;

// The stamp attribute's type: a UUID-based OID (ITU-T X.667), needing no registration.
constexpr char kStampAttributeOid[] = "2.25.160180188726583953443106987822980704715";
constexpr char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";  // SPC_INDIRECT_DATA_OBJID
// An RFC 3161 timestamp token as an unauthenticated attribute of the signer (SPC_RFC3161_OBJID);
// the older Authenticode timestamp is a PKCS#9 countersignature there.
constexpr char kTimestampTokenOid[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kLifetimeSigningOid[] = "1.3.6.1.4.1.311.10.3.13";  // szOID_KP_LIFETIME_SIGNING

uint32_t Read16(const unsigned char* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t Read32(const unsigned char* p) { return Read16(p) | Read16(p + 2) << 16; }
void Write32(unsigned char* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}
size_t AlignUp(size_t size) { return (size + kEntryAlignment - 1) / kEntryAlignment * kEntryAlignment; }

// A parsed signature and the parts of it that the checks need.
struct Parsed {
    std::string error;
    UniquePkcs7 pkcs7;
    const unsigned char* der = nullptr;  // the PKCS#7 encoding inside the file
    size_t derSize = 0;
    // SpcIndirectDataContent: the bytes inside its SEQUENCE (what the signer's messageDigest
    // covers) and the program digest it carries.
    const unsigned char* content = nullptr;
    long contentSize = 0;
    UniqueDigestInfo digestInfo;
};

Parsed Fail(std::string why) {
    ERR_clear_error();
    Parsed parsed;
    parsed.error = std::move(why);
    return parsed;
}

// Reads one definite-length DER header at *p (within end), leaving *p at its contents.
bool ReadHeader(const unsigned char** p, const unsigned char* end, long* length, int* tag) {
    int objectClass = 0;
    const int result = ASN1_get_object(p, length, tag, &objectClass, end - *p);
    return !(result & 0x80) && !(result & 0x01) && objectClass == V_ASN1_UNIVERSAL;
}

Parsed Parse(const std::vector<unsigned char>& file, const PeImage& image) {
    const size_t at = image.certificateTableAt;
    const size_t size = image.certificateTableSize;
    if (at > file.size() || size > file.size() - at)
        return Fail("damaged signature: the certificate table runs past the end of the file (truncated?)");
    if (at < image.imageEnd) return Fail("damaged signature: the certificate table overlaps the program image");
    // The program digest stops at the table, so nothing after it is covered; Windows refuses
    // a file that does not end with its certificate table.
    if (file.size() - at > size)
        return Fail("damaged signature: " + std::to_string(file.size() - at - size) +
                    " bytes follow the certificate table, outside the signature");
    if (size < kEntryHeaderSize) return Fail("damaged signature: the certificate table is too short for an entry");
    const unsigned char* entry = file.data() + at;
    const size_t length = Read32(entry);
    if (length <= kEntryHeaderSize || length > size)
        return Fail("damaged signature: the certificate entry's length does not fit its table");
    if (Read16(entry + 4) != kRevision2 || Read16(entry + 6) != kPkcsSignedData)
        return Fail("the certificate entry is not a PKCS#7 signature (revision " + std::to_string(Read16(entry + 4)) +
                    ", type " + std::to_string(Read16(entry + 6)) + ")");
    if (AlignUp(length) < size) return Fail("the certificate table holds more than one entry; only one is supported");

    Parsed parsed;
    parsed.der = entry + kEntryHeaderSize;
    const unsigned char* end = parsed.der + (length - kEntryHeaderSize);
    const unsigned char* p = parsed.der;
    parsed.pkcs7.reset(d2i_PKCS7(nullptr, &p, end - parsed.der));
    if (!parsed.pkcs7) return Fail("damaged signature: the certificate entry holds no readable PKCS#7 structure");
    parsed.derSize = static_cast<size_t>(p - parsed.der);
    if (std::any_of(p, end, [](unsigned char c) { return c != 0; }))
        return Fail("damaged signature: data follows the PKCS#7 structure in its entry");

    PKCS7* pkcs7 = parsed.pkcs7.get();
    if (!PKCS7_type_is_signed(pkcs7) || !pkcs7->d.sign || sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(pkcs7)) < 1)
        return Fail("the signature is not PKCS#7 signed data with a signer");
    const PKCS7* contents = pkcs7->d.sign->contents;
    char type[80] = {};
    if (!contents || OBJ_obj2txt(type, sizeof type, contents->type, 1) <= 0 ||
        std::strcmp(type, kIndirectDataOid) != 0 || !contents->d.other ||
        contents->d.other->type != V_ASN1_SEQUENCE)
        return Fail("the signature is not an Authenticode signature (no SpcIndirectDataContent)");

    // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
    const ASN1_STRING* sequence = contents->d.other->value.sequence;
    const unsigned char* q = sequence->data;
    const unsigned char* sequenceEnd = q + sequence->length;
    long itemLength = 0;
    int tag = 0;
    if (!ReadHeader(&q, sequenceEnd, &parsed.contentSize, &tag) || tag != V_ASN1_SEQUENCE)
        return Fail("damaged signature: its SpcIndirectDataContent is not a sequence");
    parsed.content = q;
    const unsigned char* contentEnd = q + parsed.contentSize;
    if (!ReadHeader(&q, contentEnd, &itemLength, &tag))
        return Fail("damaged signature: its SpcIndirectDataContent cannot be read");
    q += itemLength;
    parsed.digestInfo.reset(d2i_X509_SIG(nullptr, &q, contentEnd - q));
    if (!parsed.digestInfo) return Fail("damaged signature: its program digest cannot be read");
    ERR_clear_error();
    return parsed;
}

// The Authenticode digest of the program: the whole file before the certificate table, less
// the CheckSum field and the certificate table's directory entry.
bool ProgramDigest(const std::vector<unsigned char>& file, const PeImage& image, const EVP_MD* md,
                   std::vector<unsigned char>* digest) {
    const size_t pieces[][2] = {
        {0, image.checksumAt},
        {image.checksumAt + 4, image.securityDirectoryAt},
        {image.securityDirectoryAt + 8, image.certificateTableAt},
    };
    UniqueDigestContext context(EVP_MD_CTX_new());
    if (!context || !EVP_DigestInit_ex(context.get(), md, nullptr)) return false;
    for (const auto& piece : pieces) {
        if (piece[0] > piece[1] || piece[1] > file.size()) return false;
        if (!EVP_DigestUpdate(context.get(), file.data() + piece[0], piece[1] - piece[0])) return false;
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int valueSize = 0;
    if (!EVP_DigestFinal_ex(context.get(), value, &valueSize)) return false;
    digest->assign(value, value + valueSize);
    return true;
}

SignatureCheck Broken(std::string why) {
    ERR_clear_error();
    SignatureCheck check;
    check.state = SignatureCheck::Broken;
    check.detail = std::move(why);
    return check;
}

// The Windows loader's checksum: 16-bit words added with end-around carry, the CheckSum field
// taken as zero, plus the file's length.
uint32_t PeChecksum(const std::vector<unsigned char>& file, size_t checksumAt) {
    const auto byteAt = [&](size_t i) -> uint32_t {
        return i >= checksumAt && i < checksumAt + 4 ? 0 : file[i];
    };
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += byteAt(i) | (i + 1 < file.size() ? byteAt(i + 1) << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>((sum & 0xFFFF) + file.size());
}

// "YYYY-MM-DD HH:MM:SS UTC", or "" when the time cannot be read.
std::string UtcText(const ASN1_TIME* time) {
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return "";
    char text[32];
    return std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) ? text : "";
}

std::string SubjectOf(X509* certificate) {
    char name[256] = {};
    X509_NAME_oneline(X509_get_subject_name(certificate), name, sizeof name);
    return name;
}

// Each of the certificates whose issuer is among them too (a self-signed one is its own
// issuer) must carry that issuer's signature, as a chain built from them would need. Returns
// which one does not, or "".
std::string CheckIssuers(STACK_OF(X509)* certificates, const char* where) {
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        X509* certificate = sk_X509_value(certificates, i);
        bool issuerCarried = false, signedByIssuer = false;
        for (int j = 0; j < sk_X509_num(certificates) && !signedByIssuer; ++j) {
            X509* issuer = sk_X509_value(certificates, j);
            // The issuer by name and key identifier; one whose key usage does not allow
            // signing certificates is still the one whose signature would be checked.
            const int fit = X509_check_issued(issuer, certificate);
            if (fit != X509_V_OK && fit != X509_V_ERR_KEYUSAGE_NO_CERTSIGN) continue;
            issuerCarried = true;
            EVP_PKEY* key = X509_get0_pubkey(issuer);
            signedByIssuer = key && X509_verify(certificate, key) == 1;
        }
        if (issuerCarried && !signedByIssuer)
            return std::string("the certificate ") + SubjectOf(certificate) + " in the " + where +
                   " does not carry its issuer's valid signature";
    }
    return "";
}

bool HasExtendedUsage(X509* certificate, const char* oid) {
    UniqueObject wanted(OBJ_txt2obj(oid, 1));
    auto* usages = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(certificate, NID_ext_key_usage, nullptr, nullptr));
    bool found = false;
    for (int i = 0; wanted && i < sk_ASN1_OBJECT_num(usages); ++i)
        found = found || OBJ_cmp(sk_ASN1_OBJECT_value(usages, i), wanted.get()) == 0;
    EXTENDED_KEY_USAGE_free(usages);
    return found;
}

struct Timestamp {
    std::string error;
    std::string time;  // "" when there is none
};

Timestamp TimestampFail(std::string why) {
    ERR_clear_error();
    return {std::move(why), ""};
}

// Whether `digest`, made with `algorithm`, is the digest of the signer's signature value: what
// a timestamp vouches for, so that it belongs to this very signature.
bool IsDigestOfSignature(const ASN1_OBJECT* algorithm, const ASN1_OCTET_STRING* digest,
                         const PKCS7_SIGNER_INFO* signer) {
    const EVP_MD* md = EVP_get_digestbyobj(algorithm);
    unsigned char own[EVP_MAX_MD_SIZE];
    unsigned int ownSize = 0;
    return md && digest &&
           EVP_Digest(signer->enc_digest->data, static_cast<size_t>(signer->enc_digest->length), own, &ownSize, md,
                      nullptr) &&
           ownSize == static_cast<unsigned int>(ASN1_STRING_length(digest)) &&
           std::memcmp(own, ASN1_STRING_get0_data(digest), ownSize) == 0;
}

constexpr char kNotOfThisSignature[] = "the timestamp is not of this signature (another signature's digest)";

// An RFC 3161 timestamp token: signed by the timestamp authority (whose certificates it
// carries, checked as the signature's are) over a time and a digest of the signer's signature.
Timestamp CheckTimestampToken(const PKCS7_SIGNER_INFO* signer, const ASN1_STRING* value) {
    const unsigned char* p = value->data;
    UniqueCms token(d2i_CMS_ContentInfo(nullptr, &p, value->length));
    if (!token || OBJ_obj2nid(CMS_get0_type(token.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(token.get())) != NID_id_smime_ct_TSTInfo)
        return TimestampFail("damaged timestamp: its token cannot be read");

    // Whether the authority's certificate is trusted is not judged, as for the signer.
    UniqueBio content(BIO_new(BIO_s_mem()));
    UniqueStore store(X509_STORE_new());
    if (!content || !store ||
        CMS_verify(token.get(), nullptr, store.get(), nullptr, content.get(), CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) !=
            1)
        return TimestampFail("the timestamp's signature does not verify");
    UniqueCertificates certificates(CMS_get1_certs(token.get()));
    const std::string issuers = CheckIssuers(certificates.get(), "timestamp");
    if (!issuers.empty()) return TimestampFail(issuers);

    char* info = nullptr;
    const long infoSize = BIO_get_mem_data(content.get(), &info);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(info);
    UniqueTstInfo tstInfo(d2i_TS_TST_INFO(nullptr, &q, infoSize));
    if (!tstInfo) return TimestampFail("damaged timestamp: its time-stamp information cannot be read");
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(tstInfo.get());
    if (!IsDigestOfSignature(TS_MSG_IMPRINT_get_algo(imprint)->algorithm, TS_MSG_IMPRINT_get_msg(imprint), signer))
        return TimestampFail(kNotOfThisSignature);
    return {"", UtcText(TS_TST_INFO_get_time(tstInfo.get()))};
}

// A timestamp in Authenticode's older form: a countersignature, the timestamp authority's
// signer info over a signing time and a digest of the signer's signature, its certificates
// among the signature's own (checked with them).
Timestamp CheckCountersignature(PKCS7* pkcs7, const PKCS7_SIGNER_INFO* signer, const ASN1_STRING* value) {
    const unsigned char* p = value->data;
    UniqueSignerInfo counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, value->length));
    if (!counter) return TimestampFail("damaged timestamp: its countersignature cannot be read");
    X509* certificate = X509_find_by_issuer_and_serial(pkcs7->d.sign->cert, counter->issuer_and_serial->issuer,
                                                       counter->issuer_and_serial->serial);
    if (!certificate) return TimestampFail("damaged timestamp: the signature does not carry its authority's certificate");
    if (!IsDigestOfSignature(counter->digest_alg->algorithm, PKCS7_digest_from_attributes(counter->auth_attr), signer))
        return TimestampFail(kNotOfThisSignature);

    // OpenSSL checks a signer info against a digest that it finds in a digest filter.
    const EVP_MD* md = EVP_get_digestbyobj(counter->digest_alg->algorithm);
    UniqueBio digest(BIO_new(BIO_f_md()));
    BIO* sink = BIO_new(BIO_s_null());
    if (sink && digest) BIO_push(digest.get(), sink);
    else BIO_free(sink);
    if (!md || !digest || !sink || BIO_set_md(digest.get(), md) != 1 ||
        BIO_write(digest.get(), signer->enc_digest->data, signer->enc_digest->length) != signer->enc_digest->length ||
        PKCS7_signatureVerify(digest.get(), pkcs7, counter.get(), certificate) != 1)
        return TimestampFail("the timestamp's signature does not verify");
    const ASN1_TYPE* time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
    const bool isTime = time && (time->type == V_ASN1_UTCTIME || time->type == V_ASN1_GENERALIZEDTIME);
    return {"", isTime ? UtcText(time->value.utctime) : ""};
}

// The signer's timestamps, in either form; the time is the first one's.
Timestamp CheckTimestamps(PKCS7* pkcs7, const PKCS7_SIGNER_INFO* signer) {
    UniqueObject tokenType(OBJ_txt2obj(kTimestampTokenOid, 1));
    if (!tokenType) return TimestampFail("out of memory");
    Timestamp found;
    for (int i = 0; i < X509at_get_attr_count(signer->unauth_attr); ++i) {
        X509_ATTRIBUTE* attribute = X509at_get_attr(signer->unauth_attr, i);
        const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(attribute);
        const bool isToken = OBJ_cmp(type, tokenType.get()) == 0;
        if (!isToken && OBJ_obj2nid(type) != NID_pkcs9_countersignature) continue;
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
        if (X509_ATTRIBUTE_count(attribute) != 1 || !value || value->type != V_ASN1_SEQUENCE)
            return TimestampFail("damaged timestamp: its attribute does not hold one value");
        const Timestamp timestamp = isToken ? CheckTimestampToken(signer, value->value.sequence)
                                            : CheckCountersignature(pkcs7, signer, value->value.sequence);
        if (!timestamp.error.empty()) return timestamp;
        if (timestamp.time.empty()) return TimestampFail("damaged timestamp: its time cannot be read");
        if (found.time.empty()) found.time = timestamp.time;
    }
    ERR_clear_error();
    return found;
}

}  // namespace

SignatureCheck CheckSignature(const std::vector<unsigned char>& file, const PeImage& image) {
    const Parsed parsed = Parse(file, image);
    if (!parsed.error.empty()) return Broken(parsed.error);

    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* signedDigest = nullptr;
    X509_SIG_get0(parsed.digestInfo.get(), &algorithm, &signedDigest);
    const EVP_MD* md = EVP_get_digestbyobj(algorithm->algorithm);
    if (!md) return Broken("the signature uses a digest algorithm this tool does not know");
    std::vector<unsigned char> digest;
    if (!ProgramDigest(file, image, md, &digest)) return Broken("the program's digest cannot be computed");
    if (digest.size() != static_cast<size_t>(ASN1_STRING_length(signedDigest)) ||
        std::memcmp(digest.data(), ASN1_STRING_get0_data(signedDigest), digest.size()) != 0)
        return Broken("the program differs from the one that was signed");

    // The chain is not followed (PKCS7_NOVERIFY): only whether the signer's certificate, as
    // carried in the signature, signed this content.
    UniqueBio content(BIO_new_mem_buf(parsed.content, static_cast<int>(parsed.contentSize)));
    UniqueStore store(X509_STORE_new());
    if (!content || !store ||
        PKCS7_verify(parsed.pkcs7.get(), nullptr, store.get(), content.get(), nullptr, PKCS7_NOVERIFY) != 1)
        return Broken("the signer's signature does not verify");
    PKCS7* pkcs7 = parsed.pkcs7.get();
    const std::string issuers = CheckIssuers(pkcs7->d.sign->cert, "signature");
    if (!issuers.empty()) return Broken(issuers);
    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7), 0);
    const Timestamp timestamp = CheckTimestamps(pkcs7, signer);
    if (!timestamp.error.empty()) return Broken(timestamp.error);

    SignatureCheck check;
    check.state = SignatureCheck::Intact;
    check.detail = "intact";
    check.timestamp = timestamp.time;
    if (X509* certificate = PKCS7_cert_from_signer_info(pkcs7, signer)) {
        check.signerExpires = UtcText(X509_get0_notAfter(certificate));
        check.lifetimeSigning = HasExtendedUsage(certificate, kLifetimeSigningOid);
    }
    ERR_clear_error();
    return check;
}

std::string StampSignature(const std::vector<unsigned char>& file, const PeImage& image,
                           const std::vector<unsigned char>& stamp, std::vector<unsigned char>* stamped) {
    const Parsed parsed = Parse(file, image);
    if (!parsed.error.empty()) return parsed.error;
    PKCS7* pkcs7 = parsed.pkcs7.get();

    // OpenSSL writes back what it read byte for byte when the signature is plain DER, as signing
    // tools write it; then only the attribute changed below can differ. Anything else might
    // move bytes that the signer's signature covers.
    unsigned char* reencoded = nullptr;
    const int reencodedSize = i2d_PKCS7(pkcs7, &reencoded);
    const bool sameEncoding = reencodedSize > 0 && static_cast<size_t>(reencodedSize) == parsed.derSize &&
                              std::memcmp(reencoded, parsed.der, parsed.derSize) == 0;
    OPENSSL_free(reencoded);
    if (!sameEncoding)
        return "its signature is not encoded in plain DER, so it cannot be rewritten without risk to the signature";

    PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7), 0);
    UniqueObject type(OBJ_txt2obj(kStampAttributeOid, 1));
    if (!type) return "out of memory";
    for (int i = X509at_get_attr_count(signer->unauth_attr) - 1; i >= 0; --i) {
        if (OBJ_cmp(X509_ATTRIBUTE_get0_object(X509at_get_attr(signer->unauth_attr, i)), type.get()) == 0)
            X509_ATTRIBUTE_free(X509at_delete_attr(signer->unauth_attr, i));
    }
    UniqueAttribute attribute(X509_ATTRIBUTE_create_by_OBJ(nullptr, type.get(), V_ASN1_OCTET_STRING, stamp.data(),
                                                           static_cast<int>(stamp.size())));
    if (!attribute || !X509at_add1_attr(&signer->unauth_attr, attribute.get())) {
        ERR_clear_error();
        return "cannot add the stamp to the signature";
    }

    unsigned char* der = nullptr;
    const int derSize = i2d_PKCS7(pkcs7, &der);
    if (derSize <= 0) {
        ERR_clear_error();
        return "cannot encode the stamped signature";
    }
    const size_t entrySize = AlignUp(kEntryHeaderSize + static_cast<size_t>(derSize));
    if (entrySize > UINT32_MAX - image.certificateTableAt) {
        OPENSSL_free(der);
        return "the stamped signature is too large";
    }

    const size_t at = image.certificateTableAt;
    stamped->assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
    stamped->resize(at + entrySize, 0);  // the alignment padding is zeros
    unsigned char* entry = stamped->data() + at;
    Write32(entry, static_cast<uint32_t>(entrySize));
    entry[4] = kRevision2 & 0xFF;
    entry[5] = kRevision2 >> 8;
    entry[6] = kPkcsSignedData & 0xFF;
    entry[7] = kPkcsSignedData >> 8;
    std::memcpy(entry + kEntryHeaderSize, der, static_cast<size_t>(derSize));
    OPENSSL_free(der);

    Write32(stamped->data() + image.securityDirectoryAt + 4, static_cast<uint32_t>(entrySize));
    // A checksum of zero means the file carries none; one that is set must stay right.
    if (image.checksum != 0) Write32(stamped->data() + image.checksumAt, PeChecksum(*stamped, image.checksumAt));
    return "";
}
