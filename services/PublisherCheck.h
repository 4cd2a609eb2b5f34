#pragma once
// The installer's root of trust is its own Authenticode signature. A signed installer runs only
// a program whose own signature is valid and was made with the installer's signing key; an
// unsigned (development) build runs it unchecked.
#include "framework/Handles.h"

#include <string>

class PublisherCheck {
public:
    // Opens the program for reading, shared for reading only, so that from the check on nobody
    // can change, replace or delete it until Release (or this object going). Then true when this
    // installer's file carries no signature, or when the program's signature is valid and its
    // signing certificate holds the same public key as the one that signed this installer.
    // False when the program cannot be opened, and whenever this installer is signed but its
    // own signature does not check out: a signed build never runs anything unchecked.
    // Needs no network: certificates are not checked for revocation.
    bool Check(const std::wstring& programPath);
    void Release() { program.reset(); }

private:
    UniqueHandle program;
};
