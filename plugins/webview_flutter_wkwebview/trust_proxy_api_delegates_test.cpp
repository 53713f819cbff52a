// Server trusts and certificates over the bridge's channels: the trust handed out by a
// challenge's protection space, evaluation off the main thread, exceptions, the trust result and
// the certificate chain on both sides of system version 12.0.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/security/testing/certificate_fixtures_for_testing.h"
#include "platform/webkit/authentication.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_delegate.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"
#include "plugins/webview_flutter_wkwebview/testing/application_codec_for_testing.h"
#include "plugins/webview_flutter_wkwebview/trust_proxy_api_delegates.h"

namespace webview {
namespace {

using for_testing::applicationCodec;
using for_testing::Ref;
using for_testing::ref;
using platform::Value;
namespace wk = platform::webkit;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";

// The real trust functions unless a test scripts what the platform answers.
class ScriptedTrustDelegate : public SecTrustProxyAPIDelegate {
 public:
  struct Evaluation {
    bool result;
    platform::ErrorPtr error;
  };
  std::optional<Evaluation> evaluation;
  std::optional<std::pair<platform::SecTrustResultType, platform::OSStatus>> trustResult;
  bool scriptChain = false;
  std::optional<std::vector<platform::SecCertificatePtr>> chain;  // what the 12.0 call gives
  std::optional<std::int64_t> count;                              // what the count call gives
  std::optional<bool> setExceptionsAnswer;

  std::atomic<int> evaluationsOnMain{0};
  std::vector<std::string> calls;  // main-thread calls, in order
  std::optional<std::optional<platform::Bytes>> exceptionsGiven;

  bool secTrustEvaluateWithError(const platform::SecTrustPtr& trust,
                                 platform::ErrorPtr* error) override {
    if (platform::MainLoop::isMainThread()) ++evaluationsOnMain;
    if (!evaluation) return SecTrustProxyAPIDelegate::secTrustEvaluateWithError(trust, error);
    *error = evaluation->error;
    return evaluation->result;
  }
  bool secTrustSetExceptions(const platform::SecTrustPtr& trust,
                             const std::optional<platform::Bytes>& exceptions) override {
    exceptionsGiven = exceptions;
    if (setExceptionsAnswer) return *setExceptionsAnswer;
    return SecTrustProxyAPIDelegate::secTrustSetExceptions(trust, exceptions);
  }
  platform::OSStatus secTrustGetTrustResult(const platform::SecTrustPtr& trust,
                                            platform::SecTrustResultType* result) override {
    if (!trustResult) return SecTrustProxyAPIDelegate::secTrustGetTrustResult(trust, result);
    *result = trustResult->first;
    return trustResult->second;
  }
  std::optional<std::vector<platform::SecCertificatePtr>>
  secTrustCopyCertificateChain(const platform::SecTrustPtr& trust) override {
    calls.push_back("copyCertificateChain");
    if (!scriptChain) return SecTrustProxyAPIDelegate::secTrustCopyCertificateChain(trust);
    return chain;
  }
  std::int64_t secTrustGetCertificateCount(const platform::SecTrustPtr& trust) override {
    calls.push_back("getCertificateCount");
    return count ? *count : SecTrustProxyAPIDelegate::secTrustGetCertificateCount(trust);
  }
  platform::SecCertificatePtr secTrustGetCertificateAtIndex(const platform::SecTrustPtr& trust,
                                                            std::int64_t index) override {
    calls.push_back("getCertificateAtIndex " + std::to_string(index));
    return SecTrustProxyAPIDelegate::secTrustGetCertificateAtIndex(trust, index);
  }
};

class TrustDelegatesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixtures_ = new platform::CertificateFixturesForTesting(); }
  static void TearDownTestSuite() {
    delete fixtures_;
    fixtures_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(fixtures_->ok()) << fixtures_->failure();
    engine_ = flutter::Engine::create();
    registrar_ = ProxyApiRegistrar::create(engine_->registrarForPlugin("TrustTest")->messenger());
    auto delegates = makeProxyApiDelegates();
    delegates.SecTrust = trustDelegate_;
    registrar_->setUp(delegates);
    driver_ = flutter::InProcessDriver::attach(engine_);
    for (const char* api : {"SecTrust", "SecCertificate", "GetTrustResultResponse", "URLCredential",
                            "URLProtectionSpace"}) {
      driver_->setAnswer(kPrefix + api + ".pigeon_newInstance", [](const platform::Bytes&) {
        return applicationCodec()->encode(Value::list({Value()}));
      });
    }
  }
  void TearDown() override {
    driver_->detach();
    platform::MainLoop::instance().drain();
  }

  platform::SecCertificatePtr certificate(const std::string& name) const {
    return platform::SecCertificate::createWithData(fixtures_->bytes(name + ".der"));
  }
  // A trust for "localhost" in the CA-anchored chain, or in the self-signed leaf.
  platform::SecTrustPtr trust(bool anchored) const {
    auto chain = anchored ? std::vector{certificate("leaf"), certificate("ca")}
                          : std::vector{certificate("self")};
    return std::make_shared<platform::SecTrust>(chain, "localhost", std::vector{certificate("ca")});
  }
  // Registers `trust` as the application would hold it after "getServerTrust".
  Value registered(const platform::SecTrustPtr& trust, std::int64_t id) {
    EXPECT_TRUE(registrar_->instanceManager().addDartCreatedInstance(
        std::make_shared<SecTrustWrapper>(trust), id));
    return ref(id);
  }

  Value call(const std::string& method, platform::ValueList arguments) {
    auto reply =
        driver_->sendMessage(kPrefix + method, Value(std::move(arguments)), applicationCodec());
    return reply ? *reply : Value("no reply");
  }
  std::vector<Value> sent(const std::string& method) {
    platform::MainLoop::instance().drain();
    std::vector<Value> out;
    for (const auto& incoming : driver_->received()) {
      if (incoming.channel == kPrefix + method)
        out.push_back(*applicationCodec()->decode(incoming.message));
    }
    return out;
  }
  static std::int64_t idOf(const Value& reference) { return reference.asObjectOf<Ref>()->id; }

  static platform::CertificateFixturesForTesting* fixtures_;
  const std::shared_ptr<ScriptedTrustDelegate> trustDelegate_ =
      std::make_shared<ScriptedTrustDelegate>();
  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
  std::shared_ptr<ProxyApiRegistrar> registrar_;
};

platform::CertificateFixturesForTesting* TrustDelegatesTest::fixtures_ = nullptr;

TEST(TrustResultMappingTest, EveryPlatformResultMapsByCase) {
  using D = DartSecTrustResultType;
  const std::vector<std::pair<platform::SecTrustResultType, D>> rows = {
      {0, D::invalid},           {1, D::proceed},
      {2, D::confirm},           {3, D::deny},
      {4, D::unspecified},       {5, D::recoverableTrustFailure},
      {6, D::fatalTrustFailure}, {7, D::otherError},
      {8, D::unknown},           {0xffffffff, D::unknown}};
  for (const auto& [platformValue, bridge] : rows)
    EXPECT_EQ(dartTrustResult(platformValue), bridge) << platformValue;
}

TEST_F(TrustDelegatesTest, AServerTrustSpaceHandsOutANewWrapperOnEveryCall) {
  auto serverTrust = trust(true);
  auto trustSpace = std::make_shared<wk::ProtectionSpace>(
      "localhost", 443, std::nullopt, wk::kAuthenticationMethodServerTrust, serverTrust);
  auto passwordSpace = std::make_shared<wk::ProtectionSpace>("localhost", 443, "r",
                                                             wk::kAuthenticationMethodHTTPBasic);
  auto& manager = registrar_->instanceManager();
  ASSERT_TRUE(manager.addDartCreatedInstance(trustSpace, 70));
  ASSERT_TRUE(manager.addDartCreatedInstance(passwordSpace, 71));

  const Value first = call("URLProtectionSpace.getServerTrust", {ref(70)});
  const Value second = call("URLProtectionSpace.getServerTrust", {ref(70)});
  ASSERT_TRUE(first.asList().at(0).asObjectOf<Ref>());
  ASSERT_TRUE(second.asList().at(0).asObjectOf<Ref>());
  EXPECT_NE(first, second);
  EXPECT_EQ(sent("SecTrust.pigeon_newInstance").size(), 2u);
  EXPECT_EQ(call("URLProtectionSpace.getServerTrust", {ref(71)}), Value::list({Value()}));

  // A credential for that trust carries the very trust of the space.
  const Value credential = call("URLCredential.serverTrustAsync", {second.asList().at(0)});
  auto made = manager.instanceOf<wk::URLCredential>(idOf(credential.asList().at(0)));
  ASSERT_TRUE(made);
  EXPECT_EQ(made->trust, serverTrust);
  EXPECT_FALSE(made->user);
}

TEST_F(TrustDelegatesTest, EvaluationRunsOffTheMainThreadAndFailsWithTheErrorsDomain) {
  EXPECT_EQ(call("SecTrust.evaluateWithError", {registered(trust(true), 60)}), Value::list({true}));
  const Value refused = call("SecTrust.evaluateWithError", {registered(trust(false), 61)});
  ASSERT_EQ(refused.asList().size(), 3u);
  EXPECT_EQ(refused.asList()[0], Value(platform::kOSStatusErrorDomain));
  EXPECT_NE(refused.asList()[1].asString().find("\"localhost\" is not trusted"), std::string::npos)
      << refused.asList()[1].asString();
  EXPECT_EQ(refused.asList()[2], Value());
  EXPECT_EQ(trustDelegate_->evaluationsOnMain.load(), 0);

  // An error wins over the boolean; one without a description is described by domain and code.
  trustDelegate_->evaluation = {true, platform::Error::make("SomeDomain", -9)};
  EXPECT_EQ(call("SecTrust.evaluateWithError", {ref(60)}),
            Value::list({"SomeDomain",
                         "The operation couldn't be completed. (SomeDomain error -9.)", Value()}));
  trustDelegate_->evaluation = {false, nullptr};
  EXPECT_EQ(call("SecTrust.evaluateWithError", {ref(60)}), Value::list({false}));
}

TEST_F(TrustDelegatesTest, TheTrustResultIsAnnouncedWithItsMappedResultAndCode) {
  const Value trustRef = registered(trust(false), 60);
  struct Row {
    std::optional<std::pair<platform::SecTrustResultType, platform::OSStatus>> scripted;
    bool evaluateFirst;
    DartSecTrustResultType result;
    std::int64_t code;
  };
  const std::vector<Row> rows = {
      {std::nullopt, false, DartSecTrustResultType::invalid, 0},  // never evaluated
      {std::nullopt, true, DartSecTrustResultType::recoverableTrustFailure, 0},
      {std::make_pair(2u, -25300), false, DartSecTrustResultType::confirm, -25300},
      {std::make_pair(9u, 0), false, DartSecTrustResultType::unknown, 0}};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    trustDelegate_->trustResult = rows[i].scripted;
    if (rows[i].evaluateFirst) call("SecTrust.evaluateWithError", {trustRef});
    const Value reply = call("SecTrust.getTrustResult", {trustRef});
    auto announced = sent("GetTrustResultResponse.pigeon_newInstance");
    ASSERT_EQ(announced.size(), i + 1);
    EXPECT_EQ(announced.back(),
              Value::list({Value(idOf(reply.asList().at(0))), pigeon::enumValue(rows[i].result),
                           Value(rows[i].code)}))
        << i;
  }
}

TEST_F(TrustDelegatesTest, ExceptionsTravelAsBytesAndLetTheLeafPass) {
  const Value trustRef = registered(trust(false), 60);
  const Value exceptions = call("SecTrust.copyExceptions", {trustRef});
  ASSERT_TRUE(exceptions.asList().at(0).ifBytes());
  EXPECT_EQ(call("SecTrust.setExceptions", {trustRef, exceptions.asList()[0]}),
            Value::list({true}));
  EXPECT_EQ(call("SecTrust.evaluateWithError", {trustRef}), Value::list({true}));
  EXPECT_EQ(call("SecTrust.getTrustResult", {trustRef}).asList().size(), 1u);
  EXPECT_EQ(sent("GetTrustResultResponse.pigeon_newInstance").back().asList().at(1),
            pigeon::enumValue(DartSecTrustResultType::proceed));
  // Another leaf's exceptions are refused.
  const Value other = call("SecTrust.copyExceptions", {registered(trust(true), 61)});
  EXPECT_EQ(call("SecTrust.setExceptions", {trustRef, other.asList()[0]}), Value::list({false}));

  // No exceptions: no data reaches the platform, and its boolean is the reply.
  trustDelegate_->setExceptionsAnswer = false;
  EXPECT_EQ(call("SecTrust.setExceptions", {trustRef, Value()}), Value::list({false}));
  ASSERT_TRUE(trustDelegate_->exceptionsGiven);
  EXPECT_FALSE(*trustDelegate_->exceptionsGiven);
}

TEST_F(TrustDelegatesTest, TheChainIsReadByArrayFromTwelveAndByIndexBefore) {
  const Value trustRef = registered(trust(true), 60);
  struct Row {
    const char* version;
    bool scriptChain;
    std::optional<std::vector<platform::SecCertificatePtr>> chain;
    std::optional<std::int64_t> count;
    std::optional<std::size_t> expected;  // the list's length; none for a null reply
    std::vector<std::string> calls;
  };
  const std::vector<Row> rows = {
      {"14.0", false, std::nullopt, std::nullopt, 2, {"copyCertificateChain"}},
      {"12.0",
       true,
       std::vector<platform::SecCertificatePtr>{},
       std::nullopt,
       0,
       {"copyCertificateChain"}},
      {"12.0", true, std::nullopt, std::nullopt, std::nullopt, {"copyCertificateChain"}},
      {"11.0",
       false,
       std::nullopt,
       std::nullopt,
       2,
       {"getCertificateCount", "getCertificateAtIndex 0", "getCertificateAtIndex 1"}},
      {"11.0", false, std::nullopt, 0, std::nullopt, {"getCertificateCount"}},
      {"11.0", false, std::nullopt, -1, std::nullopt, {"getCertificateCount"}},
  };
  std::set<std::int64_t> identifiers;
  for (const auto& row : rows) {
    platform::ScopedEnvironmentForTesting os(platform::kOperatingSystemVersionVariable,
                                             row.version);
    trustDelegate_->scriptChain = row.scriptChain;
    trustDelegate_->chain = row.chain;
    trustDelegate_->count = row.count;
    trustDelegate_->calls.clear();
    const Value reply = call("SecTrust.copyCertificateChain", {trustRef});
    EXPECT_EQ(trustDelegate_->calls, row.calls) << row.version;
    ASSERT_EQ(reply.asList().size(), 1u);
    const Value& chain = reply.asList()[0];
    if (!row.expected) {
      EXPECT_TRUE(chain.isNull()) << row.version;
      continue;
    }
    ASSERT_TRUE(chain.ifList()) << row.version;
    ASSERT_EQ(chain.asList().size(), *row.expected) << row.version;
    // Leaf first; each read makes new wrappers.
    const std::vector<std::string> names = {"leaf", "ca"};
    for (std::size_t i = 0; i < chain.asList().size(); ++i) {
      EXPECT_TRUE(identifiers.insert(idOf(chain.asList()[i])).second);
      EXPECT_EQ(call("SecCertificate.copyData", {chain.asList()[i]}),
                Value::list({Value(fixtures_->bytes(names[i] + ".der"))}));
    }
  }
  EXPECT_EQ(sent("SecCertificate.pigeon_newInstance").size(), identifiers.size());
}

TEST_F(TrustDelegatesTest, EvaluationsInFlightWhileTheMainThreadUsesTheSameTrust) {
  auto selfSigned = trust(false);
  const Value trustRef = registered(selfSigned, 60);
  const Value exceptions = call("SecTrust.copyExceptions", {trustRef}).asList().at(0);
  constexpr int kEvaluations = 24;
  std::atomic<int> replies{0};
  for (int i = 0; i < kEvaluations; ++i) {
    driver_->send(kPrefix + "SecTrust.evaluateWithError",
                  applicationCodec()->encode(Value::list({trustRef})),
                  [&replies](const platform::Bytes& reply) {
                    auto decoded = applicationCodec()->decode(reply);
                    // [true] through the exceptions, or the error list.
                    if (decoded && (decoded->asList().size() == 1 || decoded->asList().size() == 3))
                      ++replies;
                  });
  }
  // Meanwhile the main thread sets and clears the exceptions and reads the result and chain.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(call("SecTrust.setExceptions", {trustRef, i % 2 ? Value() : exceptions}),
              Value::list({true}));
    EXPECT_EQ(call("SecTrust.getTrustResult", {trustRef}).asList().size(), 1u);
    EXPECT_EQ(call("SecTrust.copyCertificateChain", {trustRef}).asList().at(0).asList().size(), 1u);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (replies.load() < kEvaluations && std::chrono::steady_clock::now() < deadline) {
    if (platform::MainLoop::instance().drain() == 0) std::this_thread::yield();
  }
  EXPECT_EQ(replies.load(), kEvaluations);
  EXPECT_EQ(trustDelegate_->evaluationsOnMain.load(), 0);
}

}  // namespace
}  // namespace webview
