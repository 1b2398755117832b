// Implemented in update/set_signature.cpp.
// Signed payload sets: a set read at run time may carry SHA256SUMS.asc (armored) or
// SHA256SUMS.sig (binary), a detached OpenPGP signature over its SHA256SUMS. The trusted keys
// come from --trusted-keys PATH, else $FIRMWARE_UTILITY_TRUSTED_KEYS, else the user's
// $XDG_CONFIG_HOME/firmware-utility/trusted-keys/ (~/.config/... when unset), else
// /etc/firmware-utility/trusted-keys/: a file of public keys, or a directory of such files.
// When trusted keys are found, a set is taken only when exactly one good signature of a
// trusted key, neither expired nor revoked, covers its SHA256SUMS, and that list names all four
// payloads and `version`; gpgv does the checking (platform/base/openpgp.h).
//
// Index: SetSignaturePolicy LoadTrustedKeys HaveTrustedKeys SignatureRequired CheckSetSignature
// CheckSignedList TrustedKeyPlaces
#pragma once

#include <string>
#include <vector>

namespace update {

// --trusted-keys PATH (empty: not given) and --require-signature; before LoadTrustedKeys.
void SetSignaturePolicy(const std::string& trusted_keys, bool require);
// Finds the trusted keys in the order above and reads them whole: a file holding a secret key
// or no public key, a key file that cannot be read, or a named PATH that holds no key file is
// refused; so is finding none under --require-signature. False with a one-line *error.
bool LoadTrustedKeys(std::string* error);
bool HaveTrustedKeys();
bool SignatureRequired();
// Where keys are looked for when none is named, for messages.
std::string TrustedKeyPlaces();
// A directory set's signature, given the bytes of its SHA256SUMS as read (nullptr: it has
// none). Without trusted keys: true, unsigned. With them: true with the signer's fingerprint
// and user id when one trusted key made a good signature; else false with *error
// "PATH: reason".
bool CheckSetSignature(const std::string& directory, const std::string* sums, std::string* fingerprint,
                       std::string* user_id, std::string* error);
// A signed list names every file of the set: false with *error when one of `needed` is not
// among `listed`.
bool CheckSignedList(const std::string& sums_path, const std::vector<std::string>& listed,
                     const std::vector<std::string>& needed, std::string* error);

}  // namespace update
