// Garbage into start-up validation, as `vallorin --check-config -c FILE` reads a configuration
// document: the bounded JSON reader, the section checks, every key's type and range, the channel
// plan it names and the defaults written back. The check opens no socket and touches no database,
// so each input is one whole check of a fresh server. Run with -close_fd_mask=3: the check prints
// the document and its warnings.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "NetworkServer.h"

namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/config-fuzz-XXXXXX";
  Folder() = mkdtemp(folder) != nullptr ? folder : "/tmp";
  std::atexit([] {
    std::error_code ignored;
    if (Folder() != "/tmp") std::filesystem::remove_all(Folder(), ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Folder() + "/vallorin.conf";
  if (FILE* file = fopen(path.c_str(), "wb")) {
    fwrite(data, 1, size, file);
    fclose(file);
  }
  std::string words[] = {"vallorin", "--check-config", "-c", path};
  char* argv[] = {&words[0][0], &words[1][0], &words[2][0], &words[3][0], nullptr};
  auto server = std::make_unique<NetworkServer>();
  const int status = server->Run(4, argv);
  if (status != 0 && status != 1) abort();  // the check answers valid or not valid, nothing else
  return 0;
}
