// The embedded certificate set: each text is the exact certificate of its row
// (read with OpenSSL), the chain holds, and every GOST R 34.10-2012 signature
// verifies with GnuTLS, which checks them on Debian 12 and 13 alike (OpenSSL 3
// only through an engine that Debian 13 does not have).
#include "embedded_certificates.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Row {
  const char16_t* store;
  const char* subject;
  int issuer;  // row number; 0 for self-signed
  const char* serial;
  const char* validFrom;
  const char* validTo;
  const char* sha1;
  size_t base64Length;
  size_t derLength;
};

const Row kRows[EmbeddedCertificateCount] = {
    {u"ROOT", "Минкомсвязь России", 0, "4E6D478B26F27D657F768E025CE3D393", "2018-07-06 12:18:06",
     "2036-07-01 12:18:06", "4BC6DC14D97010C41A26E058AD851F81C842415A", 1740, 1304},
    {u"ROOT", "Минкомсвязь России", 0, "EACA32CEF5F979D68D3C4E4F2CC687A4", "2021-07-02 12:41:47",
     "2039-07-02 12:41:47", "AFF05C9E2464941E7EC2AB15C91539360B79AA9D", 1740, 1305},
    {u"ROOT", "Минцифры России", 0, "951FA3477C61043AADFA858627823442", "2022-01-08 13:32:39",
     "2040-01-08 13:32:39", "2F0CB09BE3550EF17EC4F29C90ABD18BFCAAD63A", 1820, 1365},
    {u"CA", "Федеральная налоговая служба", 1, "67E752CF00000000038C", "2019-12-26 11:00:38",
     "2034-12-26 11:00:38", "A495D499551DE7F995C27A60426D38688EC75E89", 2660, 1994},
    {u"CA", "Федеральная налоговая служба", 3, "ABBB15E6000000000648", "2022-04-19 08:55:47",
     "2037-04-19 08:55:47", "E5AA1938ED28E003B7FEFEF4EAAE4CE7A979A479", 2700, 2023},
    {u"CA", "Федеральная налоговая служба", 3, "6ED5B64E000000000649", "2022-04-21 12:33:13",
     "2037-04-21 12:33:13", "021B60DA90EDB6DCE479528359057BE69D4D4884", 2712, 2032},
    {u"CA", "Федеральная налоговая служба", 3, "67A077B10000000006E8", "2022-11-15 07:58:08",
     "2037-11-15 07:58:08", "08A4C134FFE120D8572DF0CB8465E6C3A77E7727", 2712, 2032},
    {u"CA", "АО \"Аналитический Центр\"", 1, "3382BD430000000004B0", "2020-10-21 14:08:27",
     "2035-10-21 14:08:27", "C155071D855DF6744015C7C4C50E523933C1ABFF", 2684, 2011},
    {u"CA", "АО \"Аналитический Центр\"", 1, "31B80F6D0000000005A0", "2021-06-30 13:26:43",
     "2036-06-30 13:26:43", "7BDF0E0FD69F5E1436CDE262914774BB581D838B", 2676, 2007},
    {u"CA", "АО \"Аналитический Центр\"", 3, "5DBAF94500000000060A", "2022-01-19 14:30:36",
     "2037-01-19 14:30:36", "A301BFF6C4C7C0FFA60976A7E2E72A8EB3FD58FB", 2748, 2059},
    {u"CA", "АО \"Аналитический Центр\"", 1, "A94CF4CA0000000005A1", "2021-06-30 13:28:27",
     "2036-06-30 13:28:27", "7EB42A5F048DE8D4C9AA77B8B86C39CA3B4847A7", 2680, 2008},
    {u"CA", "АО \"Аналитический Центр\"", 3, "3099CBAD0000000007AE", "2023-03-27 15:39:32",
     "2038-03-27 15:39:32", "D016C9A639C1305DEB5527BDB285127EE39D8811", 2748, 2059},
};

// 2025-01-01 00:00:00 UTC lies inside every row's validity, so the check never expires.
constexpr time_t kCheckTime = 1735689600;

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using Der = std::vector<unsigned char>;

Der Decode(const std::string& text) {
  Der der(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t padding = 0;
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++padding;
  der.resize(static_cast<size_t>(n) - padding);
  return der;
}

std::string Encode(const Der& der) {
  std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), der.data(),
                                static_cast<int>(der.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string Hex(const unsigned char* data, size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    hex += digits[data[i] >> 4];
    hex += digits[data[i] & 15];
  }
  return hex;
}

X509Ptr Parse(const Der& der) {
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())), &X509_free);
}

std::string CommonName(const X509_NAME* name) {
  char text[256] = {};
  X509_NAME_get_text_by_NID(const_cast<X509_NAME*>(name), NID_commonName, text, sizeof text);
  return text;
}

std::string Serial(const X509* cert) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
  char* hex = BN_bn2hex(bn);
  std::string serial = hex;
  OPENSSL_free(hex);
  BN_free(bn);
  return serial;
}

std::string Time(const ASN1_TIME* time) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return "unreadable";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string OctetsHex(const ASN1_OCTET_STRING* octets) {
  if (octets == nullptr) return "absent";
  return Hex(ASN1_STRING_get0_data(octets), static_cast<size_t>(ASN1_STRING_length(octets)));
}

// GnuTLS's verification status of `cert` as issued by `issuer`, its one trusted
// certificate, at the fixed time: 0 if the signature verifies by the issuer's key
// and both are valid then, else the reasons' bits (GNUTLS_CERT_INVALID alone if
// either cannot be read). A root given as its own issuer is checked by its own
// key rather than trusted as itself (DO_NOT_ALLOW_SAME).
unsigned VerifyStatus(const Der& cert, const Der& issuer) {
  gnutls_x509_crt_t crts[2] = {};
  bool read = true;
  for (int i = 0; i < 2; ++i) {
    const Der& der = i == 0 ? cert : issuer;
    const gnutls_datum_t datum{const_cast<unsigned char*>(der.data()),
                               static_cast<unsigned>(der.size())};
    read = read && gnutls_x509_crt_init(&crts[i]) == 0 &&
           gnutls_x509_crt_import(crts[i], &datum, GNUTLS_X509_FMT_DER) == 0;
  }
  unsigned status = GNUTLS_CERT_INVALID;
  if (read && gnutls_x509_crt_verify(crts[0], &crts[1], 1, GNUTLS_VERIFY_DO_NOT_ALLOW_SAME,
                                     &status) != 0) {
    status = GNUTLS_CERT_INVALID;
  }
  for (gnutls_x509_crt_t crt : crts) {
    if (crt != nullptr) gnutls_x509_crt_deinit(crt);
  }
  return status;
}

class CertificateSetTest : public ::testing::Test {
 protected:
  // GnuTLS takes the time from here: every check at the fixed time.
  static void SetUpTestSuite() {
    gnutls_global_set_time_function([](time_t* now) { return now ? *now = kCheckTime : kCheckTime; });
  }

  static Der DerOf(int row) { return Decode(EmbeddedCertificates[row - 1].Base64Text); }
  static X509Ptr CertOf(int row) { return Parse(DerOf(row)); }
};

TEST_F(CertificateSetTest, TwelveRowsThreeRootThenNineCaSharingTwoStoreNames) {
  ASSERT_EQ(std::size(EmbeddedCertificates), 12U);
  for (int i = 0; i < EmbeddedCertificateCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    EXPECT_EQ(std::u16string(EmbeddedCertificates[i].StoreName), kRows[i].store);
    // Each store name is one literal shared by its rows.
    EXPECT_EQ(EmbeddedCertificates[i].StoreName, EmbeddedCertificates[i < 3 ? 0 : 3].StoreName);
  }
  EXPECT_NE(EmbeddedCertificates[0].StoreName, EmbeddedCertificates[3].StoreName);
}

TEST_F(CertificateSetTest, EachTextIsTheRowsCertificateInOneLineBase64) {
  for (int i = 0; i < EmbeddedCertificateCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    const std::string text = EmbeddedCertificates[i].Base64Text;
    EXPECT_EQ(text.size(), kRows[i].base64Length);
    EXPECT_EQ(text.size() % 4, 0U);
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789+/="),
              std::string::npos)
        << "only the base64 alphabet: no armour, line breaks or blanks";
    const Der der = Decode(text);
    ASSERT_EQ(der.size(), kRows[i].derLength);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    EXPECT_EQ(Hex(digest, sizeof digest), kRows[i].sha1);
    EXPECT_EQ(Encode(der), text) << "re-encoding must give the text back";
  }
}

TEST_F(CertificateSetTest, SubjectSerialAndValidityAreTheRows) {
  for (int i = 0; i < EmbeddedCertificateCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    const X509Ptr cert = CertOf(i + 1);
    ASSERT_NE(cert, nullptr) << "d2i_X509 failed";
    EXPECT_EQ(X509_get_version(cert.get()), 2) << "X.509 version 3";
    EXPECT_EQ(CommonName(X509_get_subject_name(cert.get())), kRows[i].subject);
    EXPECT_EQ(Serial(cert.get()), kRows[i].serial);
    EXPECT_EQ(Time(X509_get0_notBefore(cert.get())), kRows[i].validFrom);
    EXPECT_EQ(Time(X509_get0_notAfter(cert.get())), kRows[i].validTo);
  }
}

TEST_F(CertificateSetTest, ChainFactsHold) {
  std::vector<int> issuedByRow1, issuedByRow3, issuedByRow2;
  for (int row = 1; row <= EmbeddedCertificateCount; ++row) {
    SCOPED_TRACE("row " + std::to_string(row));
    const X509Ptr cert = CertOf(row);
    ASSERT_NE(cert, nullptr);
    const int issuerRow = kRows[row - 1].issuer == 0 ? row : kRows[row - 1].issuer;
    ASSERT_LE(issuerRow, row) << "every issuer stands earlier in the list";
    const X509Ptr issuer = CertOf(issuerRow);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert.get()), X509_get_subject_name(issuer.get())),
              0)
        << "issuer name must be the issuer row's subject";
    EXPECT_TRUE(X509_get_extension_flags(cert.get()) & EXFLAG_CA) << "basic constraints CA";
    if (kRows[row - 1].issuer != 0) {
      EXPECT_EQ(OctetsHex(X509_get0_authority_key_id(cert.get())),
                OctetsHex(X509_get0_subject_key_id(issuer.get())))
          << "authority key identifier must be the issuer row's subject key identifier";
      EXPECT_EQ(X509_get_pathlen(cert.get()), 0) << "intermediates: path length 0";
    }
    // Which root actually signed it, by its signature: a mislabelled row shows here.
    for (int root = 1; root <= 3; ++root) {
      if (row > 3 && VerifyStatus(DerOf(row), DerOf(root)) == 0) {
        (root == 1 ? issuedByRow1 : root == 2 ? issuedByRow2 : issuedByRow3).push_back(row);
      }
    }
  }
  EXPECT_EQ(issuedByRow1, (std::vector<int>{4, 8, 9, 11}));
  EXPECT_EQ(issuedByRow3, (std::vector<int>{5, 6, 7, 10, 12}));
  EXPECT_TRUE(issuedByRow2.empty());
  // Rows 1 and 2 share a subject name but not a key.
  EXPECT_EQ(CommonName(X509_get_subject_name(CertOf(1).get())),
            CommonName(X509_get_subject_name(CertOf(2).get())));
  EXPECT_NE(OctetsHex(X509_get0_subject_key_id(CertOf(1).get())),
            OctetsHex(X509_get0_subject_key_id(CertOf(2).get())));
}

TEST_F(CertificateSetTest, EverySignatureVerifiesWithGost) {
  for (int row = 1; row <= EmbeddedCertificateCount; ++row) {
    SCOPED_TRACE("row " + std::to_string(row));
    const int issuerRow = kRows[row - 1].issuer == 0 ? row : kRows[row - 1].issuer;
    EXPECT_EQ(VerifyStatus(DerOf(row), DerOf(issuerRow)), 0U) << "GnuTLS status bits";
  }
}

TEST_F(CertificateSetTest, ATamperedByteFailsVerification) {
  ASSERT_EQ(VerifyStatus(DerOf(5), DerOf(3)), 0U) << "the untampered certificate";
  // One byte of the signed part (a digit of the subject's INN) and the signature's last byte.
  for (const size_t offset : {size_t{410}, DerOf(5).size() - 1}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    Der der = DerOf(5);
    der[offset] ^= 0x01;
    ASSERT_NE(Parse(der), nullptr);
    EXPECT_TRUE(VerifyStatus(der, DerOf(3)) & GNUTLS_CERT_SIGNATURE_FAILURE);
  }
}

}  // namespace
