#include "plugins/webview_flutter_wkwebview/proxy_api_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "plugins/pigeon/pigeon_codec.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {
namespace {

using platform::Bytes;
using platform::Value;
using platform::webkit::NativeObject;

// Registers announced objects as the registrar does and records what was announced.
class FakeHost : public ProxyApiCodecHost {
 public:
  InstanceManager& instanceManager() override { return manager; }
  bool ignoreCallsToDart() const override { return ignoring; }
  std::optional<std::int64_t> announce(const InstanceManager::ObjectPtr& object) override {
    if (ignoring || manager.containsInstance(object)) return std::nullopt;
    announced.push_back(object);
    return manager.addHostCreatedInstance(object);
  }

  InstanceManager manager{[](std::int64_t) {}};
  bool ignoring = false;
  std::vector<InstanceManager::ObjectPtr> announced;
};

Value object(std::shared_ptr<NativeObject> o) {
  return Value(platform::ObjectPtr(std::move(o)));
}

class ProxyApiCodecTest : public ::testing::Test {
 protected:
  FakeHost host_;
  std::shared_ptr<const flutter::StandardMessageCodec> codec_ = makeProxyApiCodec(host_);
};

TEST_F(ProxyApiCodecTest, EnumerationsUseTheirTypeBytesAndOutOfRangeReadsAsNoValue) {
  EXPECT_EQ(codec_->encode(pigeon::enumValue(WebsiteDataType::indexedDBDatabases)),
            (Bytes{134, 3, 7, 0, 0, 0}));
  EXPECT_EQ(WebKitLibraryPigeonCodec::shared()->encode(
                pigeon::enumValue(DartSecTrustResultType::unknown)),
            (Bytes{143, 3, 8, 0, 0, 0}));
  struct Case {
    Bytes wire;
    bool hasValue;
  } cases[] = {
      {{134, 3, 7, 0, 0, 0}, true},
      {{134, 3, 8, 0, 0, 0}, false},
      {{137, 3, 14, 0, 0, 0}, true},
      {{137, 3, 15, 0, 0, 0}, false},
      {{129, 3, 0xff, 0xff, 0xff, 0xff}, false},
      {{140, 0}, false},
  };
  for (const auto& c : cases) {
    auto decoded = codec_->decode(c.wire);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(!decoded->isNull(), c.hasValue) << int(c.wire[0]) << " " << int(c.wire[2]);
  }
}

TEST_F(ProxyApiCodecTest, ANativeObjectIsAnnouncedOnceAndReferencedByItsIdentifier) {
  auto webView = std::make_shared<NativeObject>();
  auto bytes = codec_->encode(Value::list({object(webView), object(webView)}));
  EXPECT_EQ(bytes, (Bytes{12, 2, 128, 3, 0, 0, 1, 0, 128, 3, 0, 0, 1, 0}));
  ASSERT_EQ(host_.announced.size(), 1u);
  EXPECT_EQ(host_.announced[0], webView);
  // Sending re-stores the strong reference the application released.
  host_.manager.removeInstance(65536);
  codec_->encode(object(webView));
  EXPECT_TRUE(host_.manager.isHeldStrongly(65536));
  EXPECT_EQ(host_.announced.size(), 1u);
  // Reading the reference gives the very object back.
  auto decoded = codec_->decode(Bytes{128, 3, 0, 0, 1, 0});
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->asObjectOf<NativeObject>(), webView);
}

TEST_F(ProxyApiCodecTest, AnUnknownIdentifierReadsAsNoValueAndTheRestOfTheMessageGoesOn) {
  testing::internal::CaptureStdout();
  auto decoded = codec_->decode(Bytes{12, 2, 128, 3, 42, 0, 0, 0, 7, 1, 'x'});
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to find instance with identifier: 42\n");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, Value::list({Value(), "x"}));
}

TEST_F(ProxyApiCodecTest, ErrorsDatesAndForeignObjectsTravelAsInstances) {
  auto error = platform::Error::withDescription("Domain", 3, "failed");
  codec_->encode(Value::list(
      {Value(error), Value(platform::Date{5}), pigeon::enumValue(KeyValueChange::removal)}));
  ASSERT_EQ(host_.announced.size(), 2u);
  auto wrapped = std::dynamic_pointer_cast<ErrorObject>(host_.announced[0]);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->className(), "NSError");
  EXPECT_EQ(*wrapped->error, *error);
  auto date = std::dynamic_pointer_cast<ValueObject>(host_.announced[1]);
  ASSERT_TRUE(date);
  EXPECT_EQ(date->className(), "NSObject");
  EXPECT_EQ(date->value, Value(platform::Date{5}));
}

TEST_F(ProxyApiCodecTest, ANewObjectWhileCallsAreIgnoredRefusesTheMessage) {
  host_.ignoring = true;
  auto known = std::make_shared<NativeObject>();
  host_.manager.addDartCreatedInstance(known, 3);
  // Objects already registered are still written.
  EXPECT_EQ(codec_->encode(object(known)), (Bytes{128, 3, 3, 0, 0, 0}));
  try {
    codec_->encode(Value::list({object(std::make_shared<NativeObject>())}));
    FAIL() << "encoded";
  } catch (const pigeon::EncodingRefusal& e) {
    EXPECT_EQ(e.error, pigeon::PigeonError("ignore-calls-error", "Calls to Dart are being ignored.",
                                           Value("")));
  }
  EXPECT_TRUE(host_.announced.empty());
}

}  // namespace
}  // namespace webview
