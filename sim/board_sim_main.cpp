// board_sim: a stand-in for the station's embedded control board. It answers
// the daemon's actuator and LED commands, drives a physical model of the
// station from them, pushes sensor reports to the daemon, and lets a person or
// a script dock a robot, plug a charger, change any sensor and switch faults on
// (stdin console and a unix-domain control socket). See --help.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "sim/control_server.h"
#include "sim/sim_config.h"
#include "sim/station_sim.h"
#include "sim/visit_record.h"

namespace {

const char kUsage[] =
    "usage: board_sim [options]\n"
    "       board_sim --send SOCKET LINE...   run one console line on a running simulator\n"
    "\n"
    "Simulates the station's embedded control board on loopback. With STATION_CENTER_ROOT\n"
    "set (or --root), the link addresses come from the daemon's config.json: the simulator\n"
    "listens on embedded_ip:embedded_action_port for commands and connects to\n"
    "soc_ip:soc_data_server_port to push sensor reports.\n"
    "\n"
    "options:\n"
    "  --root DIR           station root (sets STATION_CENTER_ROOT)\n"
    "  --command-ip IP      address to listen on for commands\n"
    "  --command-port N     command port (0: any free port, printed at start)\n"
    "  --sensor-ip IP       address of the daemon's sensor server\n"
    "  --sensor-port N      port of the daemon's sensor server (0: do not connect)\n"
    "  --rate HZ            sensor reports per second (default 5)\n"
    "  --control PATH       serve the console language on a unix-domain socket at PATH;\n"
    "                       each line sent is answered by its output lines and then a\n"
    "                       line holding a single '.'\n"
    "  --no-console         do not read commands from stdin\n"
    "  --record FILE        write every command received, and the sensors and tank four\n"
    "                       times a second, to FILE as JSON lines (tools/plot-visit draws them)\n"
    "  --help               this text\n"
    "\n"
    "console (stdin, the control socket and --send); 'quit' or end of input on stdin\n"
    "ends the simulator, as do SIGINT and SIGTERM:\n";

bool ParsePort(const char* text, uint16_t* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) {
    return false;
  }
  *out = static_cast<uint16_t>(v);
  return true;
}

int Send(int argc, char** argv, int first) {
  if (first + 1 >= argc) {
    std::cerr << "board_sim: --send needs a socket path and a line\n";
    return 2;
  }
  std::string line;
  for (int i = first + 1; i < argc; ++i) {
    line += (i > first + 1 ? " " : "") + std::string(argv[i]);
  }
  std::string answer;
  if (!station_sim::ControlRequest(argv[first], line, &answer)) {
    std::cerr << "board_sim: no simulator answering on " << argv[first] << "\n";
    return 1;
  }
  std::cout << answer;
  return answer.rfind("error:", 0) == 0 ? 1 : 0;
}

// What the command line asks for.
struct Options {
  station_sim::SimOptions sim;
  std::string control_path;
  bool console = true;
  std::string root;
  std::string record_path;
  // Overrides, applied after config.json is read.
  const char* command_ip = nullptr;
  const char* sensor_ip = nullptr;
  const char* command_port = nullptr;
  const char* sensor_port = nullptr;
};

// -1 to go on; otherwise the exit status (--help, --send, a bad option).
int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      std::cout << kUsage << station_sim::StationSim::HelpText();
      return 0;
    } else if (a == "--send") {
      return Send(argc, argv, i + 1);
    } else if (a == "--no-console") {
      o->console = false;
    } else if (has_value && a == "--root") {
      o->root = argv[++i];
    } else if (has_value && a == "--command-ip") {
      o->command_ip = argv[++i];
    } else if (has_value && a == "--sensor-ip") {
      o->sensor_ip = argv[++i];
    } else if (has_value && a == "--command-port") {
      o->command_port = argv[++i];
    } else if (has_value && a == "--sensor-port") {
      o->sensor_port = argv[++i];
    } else if (has_value && a == "--record") {
      o->record_path = argv[++i];
    } else if (has_value && a == "--control") {
      o->control_path = argv[++i];
    } else if (has_value && a == "--rate") {
      o->sim.report_hz = std::atoi(argv[++i]);
      if (o->sim.report_hz < 1 || o->sim.report_hz > 100) {
        std::cerr << "board_sim: --rate must be 1 to 100\n";
        return 2;
      }
    } else {
      std::cerr << "board_sim: unknown or incomplete option " << a << " (see --help)\n";
      return 2;
    }
  }
  return -1;
}

// The link addresses: the daemon's config.json under the station root, then the
// options; false (reported) for a bad port.
bool ResolveAddresses(Options* o) {
  if (!o->root.empty()) {
    ::setenv("STATION_CENTER_ROOT", o->root.c_str(), 1);
  }
  const char* env_root = std::getenv("STATION_CENTER_ROOT");
  if (env_root != nullptr && env_root[0] != '\0') {
    std::string error;
    if (station_sim::LoadLinkConfig(&o->sim, &error)) {
      std::cout << "board_sim: link addresses from the daemon's config.json under " << env_root << "\n";
    } else {
      std::cout << "board_sim: " << error << "; using defaults and options\n";
    }
  }
  if (o->command_ip != nullptr) o->sim.command_ip = o->command_ip;
  if (o->sensor_ip != nullptr) o->sim.sensor_ip = o->sensor_ip;
  if ((o->command_port != nullptr && !ParsePort(o->command_port, &o->sim.command_port)) ||
      (o->sensor_port != nullptr && !ParsePort(o->sensor_port, &o->sim.sensor_port))) {
    std::cerr << "board_sim: ports are 0 to 65535\n";
    return false;
  }
  return true;
}

// Runs every whole line read from stdin; false once the simulator is to stop
// (end of input, 'quit' or 'exit').
bool ReadConsole(station_sim::StationSim& sim, std::string* pending) {
  char buf[1024];
  const ssize_t n = ::read(0, buf, sizeof(buf));
  if (n <= 0) {
    std::cout << "board_sim: end of input, stopping" << std::endl;
    return false;
  }
  pending->append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = pending->find('\n')) != std::string::npos) {
    const std::string line = pending->substr(0, nl);
    pending->erase(0, nl + 1);
    if (line == "quit" || line == "exit") {
      return false;
    }
    const std::string answer = sim.Execute(line);
    std::cout << answer << (answer.empty() || answer.back() == '\n' ? "" : "\n") << std::flush;
  }
  return true;
}

constexpr auto kSamplePeriod = std::chrono::milliseconds(250);

// Until a signal arrives on `sig_fd` or the console says stop; samples the
// station into `recorder` (when there is one) every kSamplePeriod meanwhile.
void RunConsole(station_sim::StationSim& sim, int sig_fd, bool console, station_sim::VisitRecorder* recorder) {
  std::string pending;
  auto next_sample = std::chrono::steady_clock::now();
  for (;;) {
    int timeout_ms = -1;
    if (recorder != nullptr) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= next_sample) {
        recorder->Sample(sim.Sensors(), sim.tank_volume());
        next_sample = now + kSamplePeriod;
      }
      timeout_ms =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next_sample - now).count() + 1);
    }
    pollfd fds[2] = {{sig_fd, POLLIN, 0}, {console ? 0 : -1, POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (::read(sig_fd, &info, sizeof(info)) > 0) {
        std::cout << "board_sim: " << strsignal(static_cast<int>(info.ssi_signo)) << ", stopping" << std::endl;
      }
      return;
    }
    if (fds[1].revents != 0 && !ReadConsole(sim, &pending)) {
      return;
    }
  }
}

// Opens the record asked for with --record and has the simulator tell it of
// every command; true when none is asked for.
bool OpenRecord(Options* o, station_sim::VisitRecorder* recorder) {
  if (o->record_path.empty()) {
    return true;
  }
  if (!recorder->Open(o->record_path)) {
    std::cerr << "board_sim: cannot write the record " << o->record_path << "\n";
    return false;
  }
  o->sim.on_command = [recorder](const station::SupplyMaterialReq& req, const station::SupplyMaterialRsp& rsp) {
    recorder->Command(req, rsp);
  };
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Quiet defaults for the shared logger: plain lines on stdout.
  ::setenv("SPDLOG_STDOUT", "true", 0);
  ::setenv("SPDLOG_SYSTEMD", "false", 0);
  ::setenv("SPDLOG_LEVEL", "info", 0);

  Options o;
  const int status = ParseOptions(argc, argv, &o);
  if (status >= 0) {
    return status;
  }
  if (!ResolveAddresses(&o)) {
    return 2;
  }
  const station_sim::SimOptions& opts = o.sim;

  // Signals are taken synchronously below, so every thread must have them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int sig_fd = signalfd(-1, &signals, SFD_CLOEXEC);

  // Before the simulator, which tells it of commands until it stops.
  station_sim::VisitRecorder recorder;
  if (!OpenRecord(&o, &recorder)) {
    return 1;
  }
  station_sim::StationSim sim(opts);
  if (!sim.Start()) {
    std::cerr << "board_sim: cannot listen for commands on " << opts.command_ip << ":" << opts.command_port << "\n";
    return 1;
  }
  std::cout << "board_sim: commands on " << opts.command_ip << ":" << sim.command_port() << ", sensor reports to "
            << (opts.sensor_port != 0 ? opts.sensor_ip + ":" + std::to_string(opts.sensor_port)
                                      : std::string("nowhere"))
            << " at " << opts.report_hz << "/s" << std::endl;

  station_sim::ControlServer control([&sim](const std::string& line) { return sim.Execute(line); });
  if (!o.control_path.empty()) {
    if (!control.Start(o.control_path)) {
      std::cerr << "board_sim: cannot open control socket " << o.control_path << "\n";
      return 1;
    }
    std::cout << "board_sim: control socket " << o.control_path << std::endl;
  }
  if (o.console) {
    std::cout << "board_sim: type 'help' for commands, 'quit' to stop" << std::endl;
  }

  RunConsole(sim, sig_fd, o.console, o.record_path.empty() ? nullptr : &recorder);
  control.Stop();
  sim.Stop();
  if (sig_fd >= 0) {
    ::close(sig_fd);
  }
  return 0;
}
