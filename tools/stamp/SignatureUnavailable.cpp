// The build without OpenSSL (the Windows one): signed programs are stamped by the Linux build.
#include "tools/stamp/Signature.h"

SignatureCheck CheckSignature(const std::vector<unsigned char>&, const PeImage&) {
    SignatureCheck check;
    check.detail = "not checked: this build of stamp cannot read signatures";
    return check;
}

std::string StampSignature(const std::vector<unsigned char>&, const PeImage&, const std::vector<unsigned char>&,
                           std::vector<unsigned char>*) {
    return "this build of stamp cannot stamp signed programs; use the Linux build (made with OpenSSL), "
           "or stamp first, then sign";
}
