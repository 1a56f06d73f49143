#include "bridge/encoder/ffmpeg.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "bridge/core/text.h"

namespace wf::bridge {

namespace {

bool regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string own_directory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

FfmpegSearch current_ffmpeg_search() {
  FfmpegSearch search;
  if (const char* env = std::getenv("FFMPEG_PATH")) {
    search.env = env;
  }
  search.own_directory = own_directory();
  search.regular_file = regular_file;
  return search;
}

std::string resolve_ffmpeg(const FfmpegSearch& search) {
  if (search.env && !is_blank(*search.env)) {
    return *search.env;
  }
  if (!search.own_directory.empty() && search.regular_file(search.own_directory + "/ffmpeg")) {
    return search.own_directory + "/ffmpeg";
  }
  for (const char* candidate : {"/opt/homebrew/bin/ffmpeg", "/usr/local/bin/ffmpeg"}) {
    if (search.regular_file(candidate)) {
      return candidate;
    }
  }
  return "ffmpeg";
}

std::string resolve_ffmpeg() {
  return resolve_ffmpeg(current_ffmpeg_search());
}

bool probe_ffmpeg(const std::string& program, ChildLauncher& launcher, Clock& clock,
                  std::chrono::milliseconds limit) {
  auto child = launcher.launch_quiet(program, {"-version"});
  if (!child) {
    return false;
  }
  const auto deadline = clock.now() + limit;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (auto exit = (*child)->try_wait()) {
      return exit->code == 0;
    }
    if (clock.now() >= deadline) {
      // A hung probe must not hold the dispatch thread for ever.
      (*child)->kill();
      (*child)->wait();
      return false;
    }
    clock.sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool ffmpeg_ready() {
  static const bool ready = probe_ffmpeg(resolve_ffmpeg());
  return ready;
}

}  // namespace wf::bridge
