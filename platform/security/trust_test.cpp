#include "platform/security/trust.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string_view>
#include <thread>

#include "platform/dispatch/test_environment.h"
#include "platform/security/testing/certificate_fixtures_for_testing.h"

namespace platform {
namespace {

class TrustTest : public ::testing::Test {
 protected:
  // Made once for the suite: the openssl runs are the slow part.
  static void SetUpTestSuite() { shared_ = new CertificateFixturesForTesting(); }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(fixtures_.ok()) << fixtures_.failure(); }

  SecCertificatePtr certificate(const std::string& name) const {
    auto certificate = SecCertificate::createWithData(fixtures_.bytes(name + ".der"));
    EXPECT_TRUE(certificate) << name;
    return certificate;
  }
  std::vector<SecCertificatePtr> certificates(std::initializer_list<const char*> names) const {
    std::vector<SecCertificatePtr> out;
    for (const char* name : names)
      out.push_back(certificate(name));
    return out;
  }
  SecTrustResultType resultOf(const SecTrust& trust) const {
    SecTrustResultType result = 99;
    EXPECT_EQ(trust.getTrustResult(&result), kSecSuccess);
    return result;
  }

  static CertificateFixturesForTesting* shared_;
  const CertificateFixturesForTesting& fixtures_ = *shared_;
};

CertificateFixturesForTesting* TrustTest::shared_ = nullptr;

TEST_F(TrustTest, CertificatesReadFromDERAndPEMKeepTheirBytesAndSubjects) {
  auto leaf = certificate("leaf");
  ASSERT_TRUE(leaf);
  EXPECT_EQ(leaf->data(), fixtures_.bytes("leaf.der"));
  EXPECT_EQ(leaf->subjectSummary(), "localhost");
  EXPECT_EQ(certificate("ca")->subjectSummary(), "Lumora Test CA");

  Bytes twoPEM = fixtures_.bytes("leaf.pem");
  const Bytes ca = fixtures_.bytes("ca.pem");
  twoPEM.insert(twoPEM.end(), ca.begin(), ca.end());
  auto both = certificatesFromData(twoPEM);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0]->data(), fixtures_.bytes("leaf.der"));
  EXPECT_EQ(both[1]->data(), fixtures_.bytes("ca.der"));
  EXPECT_EQ(certificatesFromData(fixtures_.bytes("self.der")).size(), 1u);

  // Not one certificate: nothing, never a part of one.
  Bytes trailing = fixtures_.bytes("leaf.der");
  trailing.push_back(0);
  Bytes truncated = fixtures_.bytes("leaf.der");
  truncated.resize(truncated.size() / 2);
  Bytes brokenPEM = twoPEM;
  // A character no base64 text holds, inside the second block's body. (A flipped bit could give
  // another valid character, and a certificate whose key or signature bits changed still parses;
  // a damaged BEGIN line would only make the block text around the certificates.)
  const std::string_view pemText(reinterpret_cast<const char*>(twoPEM.data()), twoPEM.size());
  const std::size_t secondBody = pemText.find("-----BEGIN CERTIFICATE-----\n", 1) + 28;
  ASSERT_LT(secondBody + 40, brokenPEM.size());
  brokenPEM[secondBody + 40] = '*';
  for (const Bytes& bad : {Bytes{}, Bytes{'x', 'y'}, trailing, truncated}) {
    EXPECT_FALSE(SecCertificate::createWithData(bad));
    EXPECT_TRUE(certificatesFromData(bad).empty());
  }
  EXPECT_TRUE(certificatesFromData(brokenPEM).empty());
}

TEST_F(TrustTest, EvaluationVerifiesTheChainForTheHostAgainstTheAnchors) {
  struct Case {
    const char* name;
    std::vector<SecCertificatePtr> chain;
    std::optional<std::string> host;
    std::vector<SecCertificatePtr> anchors;
    bool trusted;
    SecTrustResultType result;
    OSStatus code;  // of the error when not trusted
  };
  const Case cases[] = {
      {"anchored chain", certificates({"leaf", "ca"}), "localhost", certificates({"ca"}), true,
       kSecTrustResultUnspecified, 0},
      {"leaf alone, issuer anchored", certificates({"leaf"}), "localhost", certificates({"ca"}),
       true, kSecTrustResultUnspecified, 0},
      {"no name checked", certificates({"leaf", "ca"}), std::nullopt, certificates({"ca"}), true,
       kSecTrustResultUnspecified, 0},
      {"self-signed, not anchored", certificates({"self"}), "localhost", certificates({"ca"}),
       false, kSecTrustResultRecoverableTrustFailure, kSecTrustNotTrusted},
      {"self-signed, anchored", certificates({"self"}), "localhost", certificates({"self"}), true,
       kSecTrustResultUnspecified, 0},
      {"another host", certificates({"leaf", "ca"}), "a.invalid", certificates({"ca"}), false,
       kSecTrustResultRecoverableTrustFailure, kSecTrustHostNameMismatch},
      {"an IP address", certificates({"leaf", "ca"}), "127.0.0.1", certificates({"ca"}), false,
       kSecTrustResultRecoverableTrustFailure, kSecTrustHostNameMismatch},
      {"another anchor", certificates({"leaf", "ca"}), "localhost", certificates({"self"}), false,
       kSecTrustResultRecoverableTrustFailure, kSecTrustNotTrusted},
      {"a CA as server", certificates({"ca"}), std::nullopt, certificates({"self"}), false,
       kSecTrustResultRecoverableTrustFailure, kSecTrustNotTrusted},
      {"empty chain",
       {},
       "localhost",
       certificates({"ca"}),
       false,
       kSecTrustResultOtherError,
       kSecParam},
  };
  for (const auto& c : cases) {
    SecTrust trust(c.chain, c.host, c.anchors);
    EXPECT_EQ(resultOf(trust), kSecTrustResultInvalid) << c.name;
    ErrorPtr error;
    EXPECT_EQ(trust.evaluateWithError(&error), c.trusted) << c.name;
    EXPECT_EQ(resultOf(trust), c.result) << c.name;
    if (c.trusted) {
      EXPECT_FALSE(error) << c.name << ": " << error->localizedDescription();
    } else {
      ASSERT_TRUE(error) << c.name;
      EXPECT_EQ(error->domain, kOSStatusErrorDomain) << c.name;
      EXPECT_EQ(error->code, c.code) << c.name;
      EXPECT_NE(error->localizedDescription().find("is not trusted"), std::string::npos)
          << error->localizedDescription();
    }
  }
}

TEST_F(TrustTest, ValidityFollowsTheClock) {
  TestEnvironment env;
  SecTrust trust(certificates({"leaf", "ca"}), "localhost", certificates({"ca"}));
  env.setWallClock(fixtures_.madeAt() + 60);
  EXPECT_TRUE(trust.evaluateWithError(nullptr));

  env.advance(31 * 86400.0);
  ErrorPtr error;
  EXPECT_FALSE(trust.evaluateWithError(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kSecTrustCertificateExpired);
  EXPECT_EQ(resultOf(trust), kSecTrustResultRecoverableTrustFailure);

  env.setWallClock(fixtures_.madeAt() - 86400);
  EXPECT_FALSE(trust.evaluateWithError(&error));
  EXPECT_EQ(error->code, kSecTrustCertificateNotYetValid);
}

TEST_F(TrustTest, ExceptionsLetTheirOwnLeafPassARecoverableFailure) {
  SecTrust selfSigned(certificates({"self"}), "localhost", certificates({"ca"}));
  SecTrust anchored(certificates({"leaf", "ca"}), "localhost", certificates({"ca"}));
  SecTrust empty({}, "localhost", {});
  EXPECT_FALSE(empty.copyExceptions());

  EXPECT_FALSE(selfSigned.evaluateWithError(nullptr));
  auto exceptions = selfSigned.copyExceptions();
  ASSERT_TRUE(exceptions);
  EXPECT_EQ(selfSigned.copyExceptions(), exceptions);  // the same bytes for the same leaf

  // Another leaf's exceptions, bytes of another kind, and any for an empty trust are refused.
  Bytes altered = *exceptions;
  altered.back() ^= 1;
  for (const auto& refused : {*anchored.copyExceptions(), altered, Bytes{1, 2, 3}}) {
    EXPECT_FALSE(selfSigned.setExceptions(refused));
    EXPECT_EQ(resultOf(selfSigned), kSecTrustResultRecoverableTrustFailure);
  }
  EXPECT_FALSE(empty.setExceptions(exceptions));

  ASSERT_TRUE(selfSigned.setExceptions(exceptions));
  EXPECT_EQ(resultOf(selfSigned), kSecTrustResultInvalid);  // to be evaluated again
  ErrorPtr error;
  EXPECT_TRUE(selfSigned.evaluateWithError(&error));
  EXPECT_FALSE(error);
  EXPECT_EQ(resultOf(selfSigned), kSecTrustResultProceed);

  // A trust of the same leaf for another host takes them too; clearing them ends the pass.
  SecTrust otherHost(certificates({"self"}), "a.invalid", {});
  ASSERT_TRUE(otherHost.setExceptions(exceptions));
  EXPECT_TRUE(otherHost.evaluateWithError(nullptr));
  EXPECT_TRUE(selfSigned.setExceptions(std::nullopt));
  EXPECT_FALSE(selfSigned.evaluateWithError(nullptr));
  EXPECT_EQ(resultOf(selfSigned), kSecTrustResultRecoverableTrustFailure);
}

TEST_F(TrustTest, EvaluationsInFlightWhileAnotherThreadReadsAndChangesExceptions) {
  auto trust =
      std::make_shared<SecTrust>(certificates({"self"}), "localhost", certificates({"ca"}));
  const auto exceptions = trust->copyExceptions();
  ASSERT_TRUE(exceptions);
  std::atomic<int> inconsistent{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        ErrorPtr error;
        const bool trusted = trust->evaluateWithError(&error);
        // Either passed through the exceptions or refused with the untrusted-root error.
        if (trusted == (error != nullptr) || (error && error->code != kSecTrustNotTrusted))
          ++inconsistent;
      }
    });
  }
  std::thread reader([&] {
    for (int i = 0; !done.load(); ++i) {
      trust->setExceptions(i % 2 ? exceptions : std::nullopt);
      SecTrustResultType result = 0;
      trust->getTrustResult(&result);
      if (result != kSecTrustResultInvalid && result != kSecTrustResultProceed &&
          result != kSecTrustResultRecoverableTrustFailure)
        ++inconsistent;
      if (trust->copyExceptions() != exceptions) ++inconsistent;
      if (trust->copyCertificateChain().size() != 1u) ++inconsistent;
    }
  });
  for (auto& worker : workers)
    worker.join();
  done = true;
  reader.join();
  EXPECT_EQ(inconsistent.load(), 0);
}

}  // namespace
}  // namespace platform
