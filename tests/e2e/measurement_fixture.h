// What the measurement end-to-end tests share: an application bundle with its options file, the
// real host on a fresh state root, a fake measurement service on 127.0.0.1, the analytics
// channels driven by lumora-peer, and the measurement database and uploads read from outside
// (the sqlite3 shell, protoc and the measurement .proto).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/core/value.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/fakes/fake_measurement_service.h"

namespace lumora::e2e {

inline constexpr const char* kMeasurementAppID = "1:1234567890:ios:0123456789abcdef";

// A lumora-peer command sending `args` to `method` of the analytics plugin's host API.
nlohmann::json analyticsCall(const std::string& method, nlohmann::json args);
nlohmann::json logEventCall(const std::string& name,
                            nlohmann::json parameters = nlohmann::json::object());

// `text` as one single-quoted shell word.
std::string shellQuoted(const std::string& text);
// Standard output of a shell command; fails the test when it does not exit with 0.
std::string shellOutput(const std::string& command);
// Standard output of `command` fed `input` on its standard input (through a file in `scratch`);
// none when it did not exit with 0.
std::optional<std::string> runWithInput(const std::string& command, const std::string& input,
                                        const std::filesystem::path& scratch);
// The protoc command line that encodes or decodes (`mode`) a measurement message `type`.
std::string protocCommand(const std::string& mode, const std::string& type);

std::vector<std::string> splitLines(const std::string& text);
bool contains(const std::string& text, const std::string& part);
// `text` without its blanks (spaces, tabs, line ends).
std::string withoutBlanks(const std::string& text);
// The protoc text of one batch with every blank removed, cut into its bundles.
std::vector<std::string> batchBundles(const std::string& protocText);
// A parameter of an event as protoc prints it.
std::string intParam(const std::string& name, std::int64_t value);
std::string stringParam(const std::string& name, const std::string& value);
// True when `event` (protoc text of one event) has a parameter named `name`.
bool hasParam(const std::string& event, const std::string& name);

// One stored event: its row, and its message and metadata as protoc prints them.
struct StoredEvent {
  std::string name;
  std::string fingerprint;
  std::string event;     // devazerirerize.Event
  std::string metadata;  // devazerirerize.MeasurementBundle
  bool hasParam(const std::string& param) const;
};

class MeasurementHostTest : public ::testing::Test {
 protected:
  // A bundle "Lumora.bundle" in the scratch folder whose Info.plist names `bundleID` (plus
  // `info`), with the options file for the measurement app. The state root is `home_`.
  explicit MeasurementHostTest(std::string bundleID, platform::ValueMap info = {});
  ~MeasurementHostTest() override;

  struct Launch {
    std::string executable = hostExecutable();
    bool debug = false;  // the debug-mode launch argument
    std::vector<std::string> arguments;
    // Where measurement requests go; the fake service when empty.
    std::string measurementURL;
    std::map<std::string, std::string> environment;
  };
  // Starts the real host on `home_` (stopping one still running).
  void startHost(Launch launch);
  void startHost() { startHost(Launch{}); }
  // Stops the host with SIGTERM: it finishes its queued measurement work (and, with a reachable
  // service, uploads what is stored) before it exits with 0 and no sanitizer report.
  void stopHost();
  // Kills the host at once: nothing more is done or uploaded.
  void killHost();
  // The running host's log, or the last stopped one's.
  std::string hostLog() const;
  bool logged(const std::string& text) const { return contains(hostLog(), text); }

  // Runs lumora-peer with `commands` (starting the host if none runs); it must exit with 0.
  PeerRun drive(const std::vector<nlohmann::json>& commands);
  // The replies to `commands` ("send" commands only), one per command.
  std::vector<nlohmann::json> replies(const std::vector<nlohmann::json>& commands);
  // `key` of the measurement's persisted configuration (a property list under the state root);
  // null when absent.
  platform::Value measurementPreference(const std::string& key) const;
  std::filesystem::path database() const;
  // The sqlite3 shell's answer to `query` on the measurement database. The file is read without
  // taking a lock: the engine's store has no busy time-out, so a reader's lock would make a
  // running host fail its writes and lose events.
  std::string sql(const std::string& query);
  // Waits (up to 30 s) until the running host has stored an event named `name`.
  void waitForEvent(const std::string& name);
  // The BLOB `blobQuery` selects, decoded by protoc as `type`.
  std::string decode(const std::string& type, const std::string& blobQuery);
  // Every stored event, in the order stored; or those named `name`.
  std::vector<StoredEvent> stored();
  std::vector<StoredEvent> storedNamed(const std::string& name);

  // The decoded bundles of every upload from request `from` on.
  std::vector<std::string> uploadedBundles(std::size_t from = 0);
  // Waits (up to 20 s) until an upload from request `from` on holds `part` in its bytes.
  bool uploadHolds(const std::string& part, std::size_t from = 0);
  std::size_t posts() const;

  std::string bundleID_;
  platform::ScratchDirForTesting scratch_;
  std::filesystem::path bundle_;
  std::filesystem::path home_;
  fakes::FakeMeasurementService service_;
  std::unique_ptr<Host> host_;
  std::string lastLog_;
};

}  // namespace lumora::e2e
