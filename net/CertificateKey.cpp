#include "net/CertificateKey.h"

#include "net/Endpoint.h"

#include <algorithm>
#include <cctype>

namespace oNet
{

namespace
{

// One DER element: where it starts, where its content starts, and where it ends.
struct Element
{
    std::size_t start = 0;
    std::size_t content = 0;
    std::size_t end = 0;
    std::uint8_t tag = 0;
};

// Reads the element at `at`, which must end by `limit`. Lengths come in the short form or in
// the long form of one to three bytes: a certificate is never larger.
bool ReadElement(const std::uint8_t* der, std::size_t at, std::size_t limit, Element& element)
{
    if (at + 2 > limit)
        return false;
    element.start = at;
    element.tag = der[at];
    std::size_t length = der[at + 1];
    std::size_t content = at + 2;
    if (length & 0x80)
    {
        const std::size_t bytes = length & 0x7F;
        if (bytes < 1 || bytes > 3 || content + bytes > limit)
            return false;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            length = (length << 8) | der[content + i];
        content += bytes;
    }
    if (length > limit - content)
        return false;
    element.content = content;
    element.end = content + length;
    return true;
}

constexpr std::uint8_t Sequence = 0x30;
constexpr std::uint8_t VersionTag = 0xA0; // [0] EXPLICIT, before the serial number

} // namespace

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }
// TBSCertificate ::= SEQUENCE { [0] version OPTIONAL, serialNumber, signature, issuer,
//                               validity, subject, subjectPublicKeyInfo, ... }
bool FindPublicKeyInfo(const std::uint8_t* der, std::size_t size, std::size_t& offset,
                       std::size_t& length)
{
    Element certificate, tbs, item;
    if (!der || !ReadElement(der, 0, size, certificate) || certificate.tag != Sequence ||
        !ReadElement(der, certificate.content, certificate.end, tbs) || tbs.tag != Sequence)
        return false;
    std::size_t at = tbs.content;
    if (!ReadElement(der, at, tbs.end, item))
        return false;
    if (item.tag == VersionTag)
        at = item.end;
    // serialNumber, signature, issuer, validity, subject
    for (int skipped = 0; skipped < 5; ++skipped)
    {
        if (!ReadElement(der, at, tbs.end, item))
            return false;
        at = item.end;
    }
    if (!ReadElement(der, at, tbs.end, item) || item.tag != Sequence)
        return false;
    offset = item.start;
    length = item.end - item.start;
    return true;
}

std::string HexOf(const std::uint8_t* bytes, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i)
    {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0F];
    }
    return hex;
}

bool SamePin(const std::string& a, const std::string& b)
{
    const std::string x = Trim(a);
    const std::string y = Trim(b);
    return !x.empty() && x.size() == y.size() &&
           std::equal(x.begin(), x.end(), y.begin(), [](char p, char q) {
               return std::tolower(static_cast<unsigned char>(p)) ==
                      std::tolower(static_cast<unsigned char>(q));
           });
}

} // namespace oNet
