// Arbitrary bytes as the certificate a server sends, read the way the client finds the key it
// pins: nothing is read past the end, and what is found lies within the bytes.

#include "net/CertificateKey.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t offset = 0;
    std::size_t length = 0;
    if (oNet::FindPublicKeyInfo(data, size, offset, length) &&
        (offset > size || length < 2 || length > size - offset || data[offset] != 0x30))
        __builtin_trap();
    return 0;
}
