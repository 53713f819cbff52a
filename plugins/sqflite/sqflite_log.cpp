#include "plugins/sqflite/sqflite_log.h"

#include <cstdio>
#include <mutex>

namespace sqflite {
namespace {

std::mutex gMutex;
ScopedLogCapture* gCapture = nullptr;
std::vector<std::string>* gLines = nullptr;

}  // namespace

void sqfliteLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gLines) {
    gLines->push_back(line);
    return;
  }
  std::fprintf(stderr, "sqflite: %s\n", line.c_str());
}

ScopedLogCapture::ScopedLogCapture() {
  std::lock_guard<std::mutex> lock(gMutex);
  previous_ = gCapture;
  gCapture = this;
  if (!gLines) gLines = new std::vector<std::string>();
}

ScopedLogCapture::~ScopedLogCapture() {
  std::lock_guard<std::mutex> lock(gMutex);
  gCapture = previous_;
  if (!gCapture) {
    delete gLines;
    gLines = nullptr;
  }
}

std::vector<std::string> ScopedLogCapture::lines() const {
  std::lock_guard<std::mutex> lock(gMutex);
  return gLines ? *gLines : std::vector<std::string>{};
}

std::size_t ScopedLogCapture::count(const std::string& text) const {
  std::size_t n = 0;
  for (const auto& line : lines()) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

}  // namespace sqflite
