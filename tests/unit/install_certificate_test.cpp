// One certificate against the fake platform: the exact CRYPT32 arguments, the
// order of the calls, and what each failing step releases.
#include "install_certificate.h"

#include "fake_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char kText[] = "MIIBvTCCAWOgAwIBAgIUbase64text==";
constexpr WCHAR kStore[] = u"ROOT";

class InstallCertificateTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    const fake::Platform& p = fake::State();
    EXPECT_EQ(p.contextsAcquired, p.contextsReleased) << "decoded certificate not freed once";
    EXPECT_EQ(p.storesOpened, p.storesClosed) << "store not closed once";
  }
};

TEST_F(InstallCertificateTest, NullTextMakesNoCall) {
  EXPECT_FALSE(InstallCertificate(nullptr, kStore));
  EXPECT_TRUE(fake::State().calls.empty());
}

TEST_F(InstallCertificateTest, SuccessPassesThePlatformsArgumentsAndReleasesStoreFirst) {
  EXPECT_TRUE(InstallCertificate(kText, kStore));

  const std::vector<std::string> order = {"CryptQueryObject", "CertOpenStore",
                                          "CertAddCertificateContextToStore", "CertCloseStore",
                                          "CertFreeCertificateContext"};
  ASSERT_EQ(fake::CallNames(), order);
  const std::vector<fake::Call>& calls = fake::State().calls;

  const fake::Call& query = calls[0];
  EXPECT_EQ(query.args[0], 2U) << "CryptQueryObject: object type CERT_QUERY_OBJECT_BLOB";
  EXPECT_EQ(query.bytes, kText) << "CryptQueryObject: the blob is the text without its NUL";
  EXPECT_EQ(query.args[2], 2U) << "CryptQueryObject: expected content CERT_QUERY_CONTENT_FLAG_CERT";
  EXPECT_EQ(query.args[3], 0xEU) << "CryptQueryObject: expected format CERT_QUERY_FORMAT_FLAG_ALL";
  EXPECT_EQ(query.args[4], 0U) << "CryptQueryObject: flags";
  for (size_t i = 5; i <= 9; ++i)
    EXPECT_EQ(query.args[i], 0U) << "CryptQueryObject: output " << i << " must be null";
  EXPECT_NE(query.args[10], 0U) << "CryptQueryObject: the context output is required";

  const fake::Call& open = calls[1];
  EXPECT_EQ(open.args[0], 10U) << "CertOpenStore: provider CERT_STORE_PROV_SYSTEM_W";
  EXPECT_EQ(open.args[1], 0U) << "CertOpenStore: encoding type";
  EXPECT_EQ(open.args[2], 0U) << "CertOpenStore: provider handle";
  EXPECT_EQ(open.args[3], 0x24000U)
      << "CertOpenStore: CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG";
  EXPECT_EQ(open.args[4], reinterpret_cast<std::uintptr_t>(kStore))
      << "CertOpenStore: the store name is passed as it was given";

  const fake::Call& add = calls[2];
  const fake::Call& close = calls[3];
  const fake::Call& free = calls[4];
  EXPECT_EQ(add.args[0], close.args[0]) << "the store that was added to is the one closed";
  EXPECT_EQ(add.args[1], free.args[0]) << "the certificate that was added is the one freed";
  EXPECT_EQ(add.args[2], 4U) << "CertAddCertificateContextToStore: CERT_STORE_ADD_ALWAYS";
  EXPECT_EQ(add.args[3], 0U) << "CertAddCertificateContextToStore: no output context";
  EXPECT_EQ(close.args[1], 0U) << "CertCloseStore: flags";
}

constexpr DWORD kFailed = 0x80092004;  // CRYPT_E_NOT_FOUND, from the failing step
constexpr DWORD kClosed = 0x000005AA;  // ERROR_NO_SYSTEM_RESOURCES, left by CertCloseStore
constexpr DWORD kFreed = 0x0000000E;   // ERROR_OUTOFMEMORY, left by CertFreeCertificateContext

struct FailingStep {
  const char* name;
  std::deque<fake::Step> fake::Platform::*script;
  std::vector<std::string> calls;
  DWORD lastError;  // as the failing step and the release steps after it leave it
};

void PrintTo(const FailingStep& step, std::ostream* out) { *out << step.name; }

class FailingStepTest : public InstallCertificateTest,
                        public ::testing::WithParamInterface<FailingStep> {};

// The function sets no error of its own: whatever the last platform call left
// is what the run reads. Here the release steps change it, as a platform may.
TEST_P(FailingStepTest, ReturnsFalseReleasesWhatItAcquiredAndLeavesThePlatformsError) {
  (fake::State().*GetParam().script).push_back(fake::Fails(kFailed));
  fake::State().lastErrorAfterClose = kClosed;
  fake::State().lastErrorAfterFree = kFreed;

  EXPECT_FALSE(InstallCertificate(kText, kStore));

  EXPECT_EQ(fake::CallNames(), GetParam().calls);
  EXPECT_EQ(fake::State().lastError, GetParam().lastError)
      << "the last error must be the one the last platform call left, not one of our own";
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailingStepTest,
    ::testing::Values(
        FailingStep{"Decode", &fake::Platform::queryObject, {"CryptQueryObject"}, kFailed},
        FailingStep{"Open",
                    &fake::Platform::openStore,
                    {"CryptQueryObject", "CertOpenStore", "CertFreeCertificateContext"},
                    kFreed},
        FailingStep{"Add",
                    &fake::Platform::addCertificate,
                    {"CryptQueryObject", "CertOpenStore", "CertAddCertificateContextToStore",
                     "CertCloseStore", "CertFreeCertificateContext"},
                    kFreed}),
    [](const ::testing::TestParamInfo<FailingStep>& step) { return std::string(step.param.name); });

}  // namespace
