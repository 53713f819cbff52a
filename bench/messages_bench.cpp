// Encoding and decoding of an upload batch (100 bundles of 20 events) with the measurement
// message codec, against protoc-generated libprotobuf code for the same .proto in this process.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_ratios.h"
#include "measurement/messages/message_codec.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_types.h"
#include "measurement_messages.pb.h"

namespace {

namespace field = apmpb_field;

void setString(MessageInfo* record, int32_t index, const std::string& text) {
  nano_set_string(&record->slot(index), text.data(), text.size());
}

std::unique_ptr<MessageInfo> param(const std::string& name, int kind, int i) {
  auto p = apmpb_new(apmpb_type::EventParam);
  setString(p.get(), field::EventParam::kName, name);
  if (kind == 0) setString(p.get(), field::EventParam::kStringValue, "value_" + std::to_string(i));
  if (kind == 1) nano_set_uint64(&p->slot(field::EventParam::kIntValue), 1000 + i);
  if (kind == 2) nano_set_double(&p->slot(field::EventParam::kDoubleValue), 3.25 * i);
  return p;
}

std::unique_ptr<MessageInfo> makeBatch() {
  auto batch = apmpb_new(apmpb_type::MeasurementBatch);
  const int64_t t0 = 1765000000000;
  for (int b = 0; b < 100; ++b) {
    auto bundle = apmpb_new(apmpb_type::MeasurementBundle);
    namespace B = field::MeasurementBundle;
    nano_set_uint32(&bundle->slot(B::kProtocolVersion), 1);
    for (int e = 0; e < 20; ++e) {
      auto event = apmpb_new(apmpb_type::Event);
      setString(event.get(), field::Event::kName, e % 2 ? "screen_view" : "user_engagement");
      nano_set_uint64(&event->slot(field::Event::kTimestampMillis), t0 + b * 1000 + e);
      nano_set_uint64(&event->slot(field::Event::kPreviousTimestampMillis), t0 + b * 1000);
      auto* params = event->array(field::Event::kParams);
      params->messages.push_back(param("_o", 0, e));
      params->messages.push_back(param("engagement_time_msec", 1, e));
      params->messages.push_back(param("value", 2, e));
      params->messages.push_back(param("_sc", 0, e));
      bundle->array(B::kEvents)->messages.push_back(std::move(event));
    }
    for (int u = 0; u < 3; ++u) {
      auto attribute = apmpb_new(apmpb_type::UserAttribute);
      nano_set_uint64(&attribute->slot(field::UserAttribute::kSetTimestampMillis), t0);
      setString(attribute.get(), field::UserAttribute::kName, "_fot" + std::to_string(u));
      nano_set_uint64(&attribute->slot(field::UserAttribute::kIntValue), t0 + u);
      bundle->array(B::kUserAttributes)->messages.push_back(std::move(attribute));
    }
    nano_set_uint64(&bundle->slot(B::kUploadTimestampMillis), t0 + 500000);
    nano_set_uint64(&bundle->slot(B::kStartTimestampMillis), t0 + b * 1000);
    nano_set_uint64(&bundle->slot(B::kEndTimestampMillis), t0 + b * 1000 + 19);
    setString(bundle.get(), B::kPlatform, "macos");
    setString(bundle.get(), B::kOsVersion, "14.0");
    setString(bundle.get(), B::kDeviceModel, "Desktop1,1");
    setString(bundle.get(), B::kUserDefaultLanguage, "en-us");
    nano_set_uint32(&bundle->slot(B::kTimeZoneOffsetMinutes), 60);
    setString(bundle.get(), B::kAppId, "com.example.lumora");
    setString(bundle.get(), B::kAppVersion, "1.0.0");
    nano_set_uint64(&bundle->slot(B::kLibraryVersion), 111500);
    nano_set_uint64(&bundle->slot(B::kUploadingLibraryVersion), 111500);
    setString(bundle.get(), B::kAppInstanceId, "0123456789abcdef0123456789abcdef");
    nano_set_uint32(&bundle->slot(B::kBundleIndex), b);
    setString(bundle.get(), B::kDuzAppId, "1:1234567890:macos:0123456789abcdef");
    setString(bundle.get(), B::kZevevidiInstallationId, "fIdExAmPlE0123456789ab");
    nano_set_uint64(&bundle->slot(B::kConfigVersion), 1765000000);
    bundle->array(B::kExperimentIds)->scalars = {101, 202, 303};
    setString(bundle.get(), B::kConsentSignals, "G111");
    nano_set_uint32(&bundle->slot(B::kDeliveryIndex), b);
    batch->array(field::MeasurementBatch::kBundles)->messages.push_back(std::move(bundle));
  }
  return batch;
}

struct Fixture {
  std::unique_ptr<MessageInfo> batch = makeBatch();
  std::vector<uint8_t> bytes;
  devazerirerize::MeasurementBatch proto;
  Fixture() {
    if (apmpb_encode(batch.get(), &bytes) <= 0) std::abort();
    if (!proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) std::abort();
    if (proto.SerializeAsString() != std::string(bytes.begin(), bytes.end())) std::abort();
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_EncodeBatch_Codec(benchmark::State& state) {
  Fixture& f = fixture();
  std::vector<uint8_t> out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(apmpb_encode(f.batch.get(), &out));
  }
  state.SetBytesProcessed(state.iterations() * f.bytes.size());
}
BENCHMARK(BM_EncodeBatch_Codec);

// The wrappers' protoBuffer() path: a new buffer for every encoding.
void BM_EncodeBatch_CodecNewBuffer(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::vector<uint8_t> out;
    benchmark::DoNotOptimize(apmpb_encode(f.batch.get(), &out));
  }
  state.SetBytesProcessed(state.iterations() * f.bytes.size());
}
BENCHMARK(BM_EncodeBatch_CodecNewBuffer);

void BM_EncodeBatch_Libprotobuf(benchmark::State& state) {
  Fixture& f = fixture();
  std::string out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.proto.SerializeToString(&out));
  }
  state.SetBytesProcessed(state.iterations() * f.bytes.size());
}
BENCHMARK(BM_EncodeBatch_Libprotobuf);

void BM_DecodeBatch_Codec(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    auto record = apmpb_new(apmpb_type::MeasurementBatch);
    benchmark::DoNotOptimize(
        apmpb_decode(apmpb_type::MeasurementBatch, f.bytes.data(), f.bytes.size(), record.get()));
  }
  state.SetBytesProcessed(state.iterations() * f.bytes.size());
}
BENCHMARK(BM_DecodeBatch_Codec);

void BM_DecodeBatch_Libprotobuf(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    devazerirerize::MeasurementBatch batch;
    benchmark::DoNotOptimize(
        batch.ParseFromArray(f.bytes.data(), static_cast<int>(f.bytes.size())));
  }
  state.SetBytesProcessed(state.iterations() * f.bytes.size());
}
BENCHMARK(BM_DecodeBatch_Libprotobuf);

}  // namespace

// The goal's ratio is printed after the runs.
int main(int argc, char** argv) {
  return bench::runWithRatios(
      argc, argv,
      {{"encode: codec / libprotobuf", "BM_EncodeBatch_Codec", "BM_EncodeBatch_Libprotobuf", 1.5},
       {"decode: codec / libprotobuf", "BM_DecodeBatch_Codec", "BM_DecodeBatch_Libprotobuf", 2.0}});
}
