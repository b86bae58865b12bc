// Checks a signed module against a key entry without any of the signer's code: the public key
// is rebuilt from the entry's X and Y, r and s are read from the image.
#pragma once

#include "files.h"

namespace kvr_test {

// True when the image's r and s are a valid P-384 signature, under the entry's X and Y, of the
// SHA-384 digest of the image's block 0.
bool signature_verifies(const bytes& key_entry, const bytes& image);

// PEM text of the entry's public key, for the openssl command-line tool.
std::string public_key_pem(const bytes& key_entry);

// DER form of the image's (r, s) signature.
bytes signature_der(const bytes& image);

}  // namespace kvr_test
