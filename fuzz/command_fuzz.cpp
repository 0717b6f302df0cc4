// Garbage into the operator command language, as the command port hands a datagram over: the
// tokenizer, every dispatcher and handler, the JSON readers, include files and the database
// behind them. Only the parser's own two exceptions may leave parse(), and each input runs on a
// thread with the command thread's stack, so deep recursion shows as the crash it would be.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "CommandRig.h"
#include "StackThread.h"
#include "ThreadSlot.h"
#include "support/Logger.h"

namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

commandtest::CommandRig* TheRig() {
  static commandtest::CommandRig* rig = [] {
    char folder[] = "/tmp/command-fuzz-XXXXXX";
    Folder() = mkdtemp(folder) != nullptr ? folder : "/tmp";
    std::atexit([] {
      std::error_code ignored;
      if (Folder() != "/tmp") std::filesystem::remove_all(Folder(), ignored);
    });
    ZEV::Logger::setup(ZEV::Logger::NONE);
    ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
    return new commandtest::CommandRig(Folder());
  }();
  return rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2000) return 0;  // the command port's buffer
  commandtest::CommandRig* rig = TheRig();
  const std::string line(reinterpret_cast<const char*>(data), size);
  testsupport::RunOnStack(ThreadSlot::kServerStack, [&] { rig->Run(line); });
  // "debug" and "log" may have changed where lines go; the next input starts quiet again.
  ZEV::Logger::setup(ZEV::Logger::NONE);
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
  return 0;
}
