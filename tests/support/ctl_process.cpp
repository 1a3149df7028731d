#include "support/ctl_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace station_test {

CtlProcess::CtlProcess(const std::vector<std::string>& args) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "stationctl-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  dir_ = made != nullptr ? made : tmpl;
  pid_ = Spawn(BuiltProgram("stationctl"), args, nullptr, dir_ + "/out", dir_ + "/err", false);
}

CtlProcess::~CtlProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string CtlProcess::Out() const { return kit::ReadWholeFile(dir_ + "/out"); }

bool CtlProcess::Signal(int signal) { return pid_ > 0 && ::kill(pid_, signal) == 0; }

CtlResult CtlProcess::Finish(std::chrono::milliseconds limit) {
  CtlResult result;
  if (pid_ <= 0) {
    result.err = "stationctl could not be started";
    return result;
  }
  int status = 0;
  pid_t done = 0;
  if (!WaitUntil([&] { return (done = ::waitpid(pid_, &status, WNOHANG)) != 0; }, limit)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  } else if (done == pid_ && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  pid_ = -1;
  result.out = kit::ReadWholeFile(dir_ + "/out");
  result.err = kit::ReadWholeFile(dir_ + "/err");
  return result;
}

CtlResult RunCtl(const std::vector<std::string>& args) {
  CtlProcess process(args);
  return process.Finish();
}

}  // namespace station_test
