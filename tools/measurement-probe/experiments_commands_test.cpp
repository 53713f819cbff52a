// Experiment snapshots and the experiments database seen through the real probe: a fixture
// encoded by protoc goes in, the database file is read by a connection of the test's own (as the
// sqlite3 CLI would read it) and the stored bytes are read back by protoc.
#include <gmock/gmock.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;
using testing::HasSubstr;

class ExperimentsCommandsTest : public probe_testing::ProbeTest {
 protected:
  std::string databasePath() const {
    return home() + "/Application Support/Ziriza/Measurement/ziriza_experimentation_database.sql";
  }
  std::string protoDir() const {
    return std::filesystem::path(LUMORA_MESSAGES_PROTO).parent_path().string();
  }
  // protoc's encoding of a Snapshot given in protoc's text form, written to `file`.
  std::string encode(const std::string& text, const std::string& file) {
    std::ofstream(scratch_ / "fixture.txt") << text;
    const std::string path = scratch_ / file;
    const std::string line = "protoc --encode=devazerirerize.Snapshot -I '" + protoDir() + "' '" +
                             LUMORA_MESSAGES_PROTO + "' < '" + (scratch_ / "fixture.txt") +
                             "' > '" + path + "'";
    EXPECT_EQ(std::system(line.c_str()), 0);
    return path;
  }
  // One column of one row of the database file, as text.
  std::string cell(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(databasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    std::string out = "(error)";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
      out.clear();
      while (sqlite3_step(st) == SQLITE_ROW) {
        if (!out.empty()) out += "\n";
        const unsigned char* text = sqlite3_column_text(st, 0);
        if (text) out += reinterpret_cast<const char*>(text);
      }
    }
    sqlite3_finalize(st);
    sqlite3_close_v2(db);
    return out;
  }
  std::vector<json> replies(const std::vector<json>& commands) {
    std::vector<std::string> lines;
    for (const auto& command : commands)
      lines.push_back(command.dump());
    run_ = run("--mock-clock 1700000000", lines);
    auto out = run_.replies();
    EXPECT_EQ(out.size(), commands.size());
    return out;
  }

  probe_testing::ProbeRun run_;
};

TEST_F(ExperimentsCommandsTest, AProtocFixtureThroughTheSnapshotAndTheDatabase) {
  const std::string fixture =
      encode("sdk_name: \"app_measurement\"\n"
             "experiments { flags { name: \"launched\" int_value: 1 } }\n"
             "experiments { experiment_id: 12 flags { name: \"a\" int_value: 2 } flags { "
             "int_value: 3 } }\n"
             "experiments { experiment_id: 12 flags { name: \"b\" string_value: \"x\" } }\n",
             "snapshot.bin");
  const auto out = replies({
      {{"op", "exp-snapshot"}, {"file", fixture}},
      {{"op", "exp-db"}, {"action", "open"}},
      {{"op", "exp-db"}, {"action", "upsert-pending"}, {"snapshots", {{{"file", fixture}}}}},
      {{"op", "exp-db"}, {"action", "activate-automatically"}},
      {{"op", "exp-db"}, {"action", "fetch-all"}},
  });
  ASSERT_EQ(out.size(), 5u);
  const json& snapshot = out[0]["result"]["snapshot"];
  EXPECT_EQ(snapshot["experiments"], json::parse(R"([{"id":0,"flags":[{"name":"launched","int":1}]},
                            {"id":12,"flags":[{"name":"b","string":"x"}]}])"));
  EXPECT_EQ(snapshot["timestamp"], 1700000000.0);
  EXPECT_EQ(out[1]["result"]["opened"], true);
  EXPECT_EQ(out[3]["result"], json({{"ok", true}}));
  EXPECT_EQ(out[4]["result"]["pending"], json::array());
  EXPECT_EQ(out[4]["result"]["activated"][0]["experiments"],
            json::parse(R"([{"id":12,"flags":[{"name":"b","string":"x"}]}])"));
  EXPECT_EQ(out[4]["result"]["launched"][0]["experiments"],
            json::parse(R"([{"id":0,"flags":[{"name":"launched","int":1}]}])"));
  EXPECT_EQ(run_.reportedCodes(), (std::vector<std::int64_t>{870006, 870006}));

  EXPECT_EQ(cell("SELECT sql FROM sqlite_master WHERE name = 'launched_snapshot_table'"),
            "CREATE TABLE launched_snapshot_table ( sdk_name TEXT NOT NULL PRIMARY KEY, "
            "snapshotProto BLOB NOT NULL, timestamp REAL NOT NULL, manually_activated INTEGER)");
  EXPECT_EQ(cell("SELECT sdk_name || '|' || timestamp || '|' || (manually_activated IS NULL) "
                 "FROM activated_snapshot_table"),
            "app_measurement|1700000000.0|1");
  // The stored bytes are a Snapshot message protoc reads.
  const std::string decode = "sqlite3 '" + databasePath() + "' \"SELECT writefile('" +
                             (scratch_ / "stored.bin") +
                             "', snapshotProto) FROM activated_snapshot_table\" > /dev/null && "
                             "protoc --decode=devazerirerize.Snapshot -I '" +
                             protoDir() + "' '" + LUMORA_MESSAGES_PROTO + "' < '" +
                             (scratch_ / "stored.bin") + "' > '" + (scratch_ / "stored.txt") + "'";
  ASSERT_EQ(std::system(decode.c_str()), 0);
  std::ifstream text(scratch_ / "stored.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}),
            "sdk_name: \"app_measurement\"\nexperiments {\n  experiment_id: 12\n  flags {\n    "
            "name: \"b\"\n    string_value: \"x\"\n  }\n}\n");
}

TEST_F(ExperimentsCommandsTest, InputItCannotUseGivesAnErrorLine) {
  const auto out = replies({
      {{"op", "exp-db"}, {"action", "fetch-all"}},
      {{"op", "exp-db"}, {"action", "open"}},
      {{"op", "exp-db"}, {"action", "unknown"}},
      {{"op", "exp-db"}, {"action", "fetch-all"}, {"table", "other"}},
      {{"op", "exp-snapshot"}, {"bytes", "not base64!"}},
      {{"op", "exp-snapshot"}, {"snapshot", {{"experiments", json::array()}}}},
      {{"op", "exp-db"}, {"action", "close-and-delete"}},
  });
  ASSERT_EQ(out.size(), 7u);
  EXPECT_THAT(out[0].value("error", ""), HasSubstr("not open"));
  EXPECT_THAT(out[2].value("error", ""), HasSubstr("unknown action"));
  EXPECT_THAT(out[3].value("error", ""), HasSubstr("pending, activated or launched"));
  EXPECT_THAT(out[4].value("error", ""), HasSubstr("base64"));
  EXPECT_EQ(out[5]["result"], json({{"snapshot", nullptr}}));  // nameless: 840000
  EXPECT_FALSE(std::filesystem::exists(databasePath()));
}

}  // namespace
