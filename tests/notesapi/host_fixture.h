// A test fixture on an embedded host of its own: its server folder, files in
// it, and questions put to a database file past the host.
#ifndef TESTS_NOTESAPI_HOST_FIXTURE_H_
#define TESTS_NOTESAPI_HOST_FIXTURE_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "notesapi/platform.h"
#include "tests/notesapi/test_server.h"

namespace notesapi::testing {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_ = server_.OpenHost();
    p = platform_.get();
  }
  std::u16string Path(const std::string& name) {
    std::string full = server_.directory() + "/" + name;
    return std::u16string(full.begin(), full.end());
  }
  void WriteFile(const std::string& name, const std::string& data) {
    std::ofstream(server_.directory() + "/" + name, std::ios::binary) << data;
  }
  std::string ReadFile(const std::string& name) {
    std::ifstream in(server_.directory() + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }
  // One number the database file answers, read past the host, or -1.
  int64_t AskFile(const std::string& database, const char* sql) {
    sqlite3* raw = nullptr;
    int64_t answer = -1;
    sqlite3_stmt* query = nullptr;
    if (sqlite3_open_v2(server_.data(database).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(raw, sql, -1, &query, nullptr) == SQLITE_OK && sqlite3_step(query) == SQLITE_ROW) {
      answer = sqlite3_column_int64(query, 0);
    }
    sqlite3_finalize(query);
    sqlite3_close(raw);
    return answer;
  }

  TestServer server_;
  std::unique_ptr<Platform> platform_;
  Platform* p = nullptr;
};

}  // namespace notesapi::testing

#endif  // TESTS_NOTESAPI_HOST_FIXTURE_H_
