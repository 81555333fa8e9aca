// Finding a certificate's public key in its own bytes, checked against openssl with real
// certificates of every kind of key, and against bytes that are no certificate.

#include "net/CertificateKey.h"
#include "support/Files.h"
#include "support/TlsTesting.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{

const std::uint8_t* BytesOf(const std::string& text)
{
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

TEST(CertificateKey, FindsThePublicKeyOfEveryKindOfCertificateAsOpenSslDoes)
{
    TempDir dir;
    for (const std::string kind : {"ec", "rsa", "ed25519"})
    {
        const TestCertificate made = MakeCertificate(dir.Path(), kind, kind);
        const std::string der = OpenSslCertificateDer(made.certificate);
        const std::string key = OpenSslPublicKeyDer(made.certificate);
        ASSERT_FALSE(der.empty()) << kind;
        ASSERT_FALSE(key.empty()) << kind;
        std::size_t offset = 0, length = 0;
        ASSERT_TRUE(oNet::FindPublicKeyInfo(BytesOf(der), der.size(), offset, length)) << kind;
        EXPECT_EQ(der.substr(offset, length), key) << kind;

        // Cut short anywhere, it is no certificate, and nothing is read past the end.
        for (std::size_t cut = 0; cut < der.size(); ++cut)
        {
            const std::string part = der.substr(0, cut);
            EXPECT_FALSE(oNet::FindPublicKeyInfo(BytesOf(part), part.size(), offset, length))
                << kind << " cut at " << cut;
        }
    }
    std::size_t offset = 0, length = 0;
    const std::string notDer = "-----BEGIN CERTIFICATE-----";
    EXPECT_FALSE(oNet::FindPublicKeyInfo(BytesOf(notDer), notDer.size(), offset, length));
    const std::string huge("\x30\x84\xff\xff\xff\xff", 6);
    EXPECT_FALSE(oNet::FindPublicKeyInfo(BytesOf(huge), huge.size(), offset, length));
    EXPECT_FALSE(oNet::FindPublicKeyInfo(nullptr, 0, offset, length));
}

TEST(CertificateKey, PinsCompareWithoutRegardToCaseOrSurroundingSpaces)
{
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(oNet::HexOf(bytes, sizeof bytes), "000fa5ff");
    EXPECT_TRUE(oNet::SamePin("000fa5ff", " 000FA5FF\t"));
    EXPECT_FALSE(oNet::SamePin("000fa5ff", "000fa5fe"));
    EXPECT_FALSE(oNet::SamePin("000fa5ff", "000fa5ff00"));
    EXPECT_FALSE(oNet::SamePin("", ""));
}

} // namespace
