#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace oNet
{

// Where a certificate (X.509, DER) holds its public key: the SubjectPublicKeyInfo element, tag
// and length included. Its SHA-256 is the key's pin, which stays the same when a certificate is
// renewed with the same key. Read from the certificate's own bytes, so that it is exactly what
// the server sent, whatever the key's kind. False when the bytes are not such a certificate.
bool FindPublicKeyInfo(const std::uint8_t* der, std::size_t size, std::size_t& offset,
                       std::size_t& length);

// Bytes as lower-case hex, two digits each.
std::string HexOf(const std::uint8_t* bytes, std::size_t size);

// Whether two pins are the same, whatever the case of their hex digits and spaces around them.
bool SamePin(const std::string& a, const std::string& b);

} // namespace oNet
