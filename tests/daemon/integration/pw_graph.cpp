#include "tests/daemon/integration/pw_graph.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/files.h"

extern char** environ;

namespace halvex::test {
namespace {

int DecodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Alive and not a zombie; works for processes that are not our children (the forked bus).
bool ProcessAlive(pid_t pid) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Variables of the user's session that must not leak into the private graph.
constexpr const char* kDroppedVariables[] = {
    "XDG_RUNTIME_DIR", "HOME", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE",
    "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
    "XDG_STATE_HOME", "XDG_CACHE_HOME", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER",
    "HALVEX_TRACE_ROUTING"};

pid_t SpawnWith(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& out_path, const std::string& err_path) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: only async-signal-safe calls from here on.
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(out_path.empty() ? "/dev/null" : out_path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path.empty() ? "/dev/null" : err_path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // The test runner may block signals; the programs under test must start with a clean mask.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setpgid(0, 0);
  execvpe(args[0], args.data(), envp.data());
  _exit(127);
}

}  // namespace

PrivateGraph::~PrivateGraph() { Stop(); }

std::vector<std::string> PrivateGraph::Environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (std::find(std::begin(kDroppedVariables), std::end(kDroppedVariables), key) ==
        std::end(kDroppedVariables)) {
      env.push_back(entry);
    }
  }
  env.push_back("XDG_RUNTIME_DIR=" + runtime_dir_);
  env.push_back("HOME=" + home_);
  env.push_back("XDG_CONFIG_HOME=" + home_ + "/.config");
  env.push_back("XDG_STATE_HOME=" + home_ + "/.local/state");
  env.push_back("XDG_DATA_HOME=" + home_ + "/.local/share");
  if (!bus_address_.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_address_);
  env.insert(env.end(), extra_env_.begin(), extra_env_.end());
  return env;
}

bool PrivateGraph::Start(std::string& error) {
  char pattern[] = "/tmp/halvex-graph-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    error = "cannot create a temporary directory";
    return false;
  }
  base_dir_ = pattern;
  runtime_dir_ = base_dir_ + "/run";
  home_ = base_dir_ + "/home";
  std::filesystem::create_directories(runtime_dir_);
  std::filesystem::create_directories(home_ + "/.config");
  chmod(base_dir_.c_str(), 0700);
  chmod(runtime_dir_.c_str(), 0700);
  return StartBus(error) && StartServer(error) && StartSessionManager(error);
}

bool PrivateGraph::StartBus(std::string& error) {
  const CommandResult bus =
      Run({"dbus-daemon", "--session", "--fork", "--nosyslog", "--print-address=1",
           "--print-pid=1", "--address=unix:path=" + runtime_dir_ + "/bus"});
  std::istringstream lines(bus.out);
  std::string pid;
  std::getline(lines, bus_address_);
  std::getline(lines, pid);
  if (bus.status != 0 || bus_address_.empty() || pid.empty()) {
    error = "dbus-daemon did not start: " + bus.err;
    bus_address_.clear();
    return false;
  }
  bus_pid_ = std::atoi(pid.c_str());
  return true;
}

bool PrivateGraph::StartServer(std::string& error) {
  server_pid_ = Spawn({"pipewire"}, LogPath("pipewire"), LogPath("pipewire"));
  const bool up = WaitUntil([&] { return Run({"pw-cli", "info", "0"}, 5000).status == 0; },
                            10000, 20);
  if (!up) error = "pipewire did not answer: " + Slurp(LogPath("pipewire"));
  return up;
}

bool PrivateGraph::StartSessionManager(std::string& error) {
  session_pid_ = Spawn({"wireplumber"}, LogPath("wireplumber"), LogPath("wireplumber"));
  // Ready once it has published the "default" metadata that routing and defaults rely on.
  const bool up = WaitUntil(
      [&] {
        const CommandResult listing = Run({"pw-cli", "ls", "Metadata"}, 5000);
        return listing.out.find("metadata.name = \"default\"") != std::string::npos;
      },
      15000, 50);
  if (!up) error = "wireplumber did not start: " + Slurp(LogPath("wireplumber"));
  return up;
}

bool PrivateGraph::StartDisplay(std::string& error) {
  // -displayfd picks a free display number and writes it once the server accepts clients.
  const std::string log = LogPath("xvfb-display");
  const pid_t pid = Spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten",
                           "tcp", "-noreset"},
                          log, LogPath("xvfb"));
  std::string number;
  const bool up = pid > 0 && WaitUntil(
                                 [&] {
                                   number = Slurp(log);
                                   return !number.empty() && number.back() == '\n';
                                 },
                                 10000, 20);
  if (!up) {
    error = "Xvfb did not start: " + Slurp(LogPath("xvfb"));
    return false;
  }
  number.pop_back();
  display_ = ":" + number;
  AddEnvironment("DISPLAY=" + display_);
  return true;
}

bool PrivateGraph::Screenshot(const std::string& png_path) const {
  return !display_.empty() &&
         Run({"import", "-display", display_, "-window", "root", png_path}).status == 0;
}

void PrivateGraph::RestartSessionManager() {
  if (session_pid_ > 0) Kill(session_pid_);
  std::string ignored;
  StartSessionManager(ignored);
}

void PrivateGraph::KillServer() {
  if (server_pid_ > 0) {
    kill(server_pid_, SIGKILL);
    Wait(server_pid_, 5000);
    children_.erase(std::remove(children_.begin(), children_.end(), server_pid_),
                    children_.end());
    server_pid_ = -1;
  }
}

void PrivateGraph::Stop() {
  // Clients first, then the session manager, the server and the bus.
  std::vector<pid_t> others;
  for (pid_t pid : children_) {
    if (pid != server_pid_ && pid != session_pid_) others.push_back(pid);
  }
  for (pid_t pid : others) Kill(pid, 2000);
  if (session_pid_ > 0) Kill(session_pid_, 2000);
  if (server_pid_ > 0) Kill(server_pid_, 2000);
  children_.clear();
  session_pid_ = server_pid_ = -1;
  if (bus_pid_ > 0) {
    kill(bus_pid_, SIGTERM);
    WaitUntil([&] { return !ProcessAlive(bus_pid_); }, 2000, 10);
    if (ProcessAlive(bus_pid_)) kill(bus_pid_, SIGKILL);
    bus_pid_ = -1;
  }
  bus_address_.clear();
  display_.clear();
  if (!base_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(base_dir_, ignored);
    base_dir_.clear();
  }
}

CommandResult PrivateGraph::Run(const std::vector<std::string>& argv, int timeout_ms) const {
  CommandResult result;
  char out_name[] = "/tmp/halvex-cmd-out-XXXXXX";
  char err_name[] = "/tmp/halvex-cmd-err-XXXXXX";
  const int out_fd = mkstemp(out_name);
  const int err_fd = mkstemp(err_name);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  const pid_t pid = SpawnWith(argv, Environment(), out_name, err_name);
  if (pid > 0) {
    int raw = 0;
    const int64_t deadline = NowMs() + timeout_ms;
    pid_t done = 0;
    while ((done = waitpid(pid, &raw, WNOHANG)) == 0 && NowMs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (done == pid) {
      result.status = DecodeStatus(raw);
    } else {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &raw, 0);
    }
  }
  result.out = Slurp(out_name);
  result.err = Slurp(err_name);
  unlink(out_name);
  unlink(err_name);
  return result;
}

pid_t PrivateGraph::Spawn(const std::vector<std::string>& argv, const std::string& out_path,
                          const std::string& err_path) {
  const pid_t pid = SpawnWith(argv, Environment(), out_path, err_path);
  if (pid > 0) children_.push_back(pid);
  return pid;
}

int PrivateGraph::Wait(pid_t pid, int timeout_ms) {
  int raw = 0;
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
      return DecodeStatus(raw);
    }
    if (done < 0 || NowMs() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool PrivateGraph::IsRunning(pid_t pid) {
  int raw = 0;
  const pid_t done = waitpid(pid, &raw, WNOHANG);
  if (done == pid) {
    // Reaped here, so forget it; the status is lost, callers that need it use Wait.
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    return false;
  }
  return done == 0;
}

int PrivateGraph::Kill(pid_t pid, int grace_ms) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = Wait(pid, grace_ms);
  if (status == -1) {
    kill(pid, SIGKILL);
    status = Wait(pid, 5000);
  }
  return status;
}

nlohmann::json PrivateGraph::Dump() const {
  const CommandResult dump = Run({"pw-dump", "--no-colors"}, 10000);
  if (dump.status != 0) return nlohmann::json::array();
  nlohmann::json parsed = nlohmann::json::parse(dump.out, nullptr, false);
  return parsed.is_array() ? parsed : nlohmann::json::array();
}

int PrivateGraph::NodeId(const nlohmann::json& dump, const std::string& name) {
  int best = -1;
  for (const auto& object : dump) {
    if (object.value("type", "") != "PipeWire:Interface:Node") continue;
    const auto& props = object["info"]["props"];
    if (props.is_object() && props.value("node.name", "") == name) {
      const int id = object.value("id", -1);
      if (best < 0 || id < best) best = id;
    }
  }
  return best;
}

const nlohmann::json* PrivateGraph::Object(const nlohmann::json& dump, int id) {
  for (const auto& object : dump) {
    if (object.value("id", -2) == id) return &object;
  }
  return nullptr;
}

int PrivateGraph::LinkCountOnlyInto(const nlohmann::json& dump, int output_node, int input_node) {
  int count = 0;
  for (const Link& link : Links(dump)) {
    if (link.output_node != output_node) continue;
    if (link.input_node != input_node) return -1;
    ++count;
  }
  return count;
}

std::vector<PrivateGraph::Link> PrivateGraph::Links(const nlohmann::json& dump) {
  std::vector<Link> links;
  for (const auto& object : dump) {
    if (object.value("type", "") != "PipeWire:Interface:Link") continue;
    const auto& info = object["info"];
    Link link;
    link.id = object.value("id", -1);
    link.output_node = info.value("output-node-id", -1);
    link.input_node = info.value("input-node-id", -1);
    const int out_port = info.value("output-port-id", -1);
    const int in_port = info.value("input-port-id", -1);
    if (const nlohmann::json* port = Object(dump, out_port)) {
      link.output_port = (*port)["info"]["props"].value("port.name", "");
    }
    if (const nlohmann::json* port = Object(dump, in_port)) {
      link.input_port = (*port)["info"]["props"].value("port.name", "");
    }
    links.push_back(link);
  }
  return links;
}

namespace {

// Parses pw-metadata's "update: id:S key:'K' value:'V' type:'T'" line for subject and key.
bool FindMetadataEntry(const std::string& listing, const std::string& key, int subject,
                       std::string& value, std::string& type) {
  const std::string head = "update: id:" + std::to_string(subject) + " key:'" + key + "' value:'";
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(head, 0) != 0) continue;
    const size_t type_at = line.rfind("' type:'");
    if (type_at == std::string::npos || type_at < head.size()) continue;
    value = line.substr(head.size(), type_at - head.size());
    type = line.substr(type_at + 8);
    if (!type.empty() && type.back() == '\'') type.pop_back();
    return true;
  }
  return false;
}

}  // namespace

std::string PrivateGraph::Metadata(const std::string& name, const std::string& key,
                                   int subject) const {
  std::string value, type;
  FindMetadataEntry(Run({"pw-metadata", "-n", name}, 5000).out, key, subject, value, type);
  return value;
}

std::string PrivateGraph::MetadataType(const std::string& name, const std::string& key,
                                       int subject) const {
  std::string value, type;
  FindMetadataEntry(Run({"pw-metadata", "-n", name}, 5000).out, key, subject, value, type);
  return type;
}

bool PrivateGraph::AddSink(const std::string& name, const std::string& description,
                           int channels, int priority, std::string& error) {
  std::string positions = "MONO";
  if (channels == 2) positions = "FL FR";
  if (channels > 2) positions = "FL FR FC LFE RL RR SL SR";
  if (channels > 2) {
    std::istringstream all(positions);
    std::string word;
    positions.clear();
    for (int i = 0; i < channels && all >> word; ++i) positions += (i ? " " : "") + word;
  }
  std::string escaped;
  for (char c : description) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  const std::string props = "{ factory.name=support.null-audio-sink node.name=\"" + name +
                            "\" node.description=\"" + escaped +
                            "\" media.class=Audio/Sink object.linger=true priority.session=" +
                            std::to_string(priority) + " audio.position=[ " + positions +
                            " ] monitor.channel-volumes=true }";
  const CommandResult created = Run({"pw-cli", "create-node", "adapter", props});
  if (created.status != 0) {
    error = "pw-cli create-node failed: " + created.out + created.err;
    return false;
  }
  const size_t ports = static_cast<size_t>(channels);
  const bool ready = WaitUntil(
      [&] {
        const nlohmann::json dump = Dump();
        const int id = NodeId(dump, name);
        if (id < 0) return false;
        size_t inputs = 0;
        for (const auto& object : dump) {
          if (object.value("type", "") == "PipeWire:Interface:Port" &&
              object["info"].value("direction", "") == "input" &&
              object["info"]["props"].value("node.id", -1) == id) {
            ++inputs;
          }
        }
        return inputs >= ports;
      },
      10000);
  if (!ready) error = "sink " + name + " did not appear";
  return ready;
}

bool PrivateGraph::RemoveNode(const std::string& name) {
  const int id = NodeId(Dump(), name);
  if (id < 0) return false;
  if (Run({"pw-cli", "destroy", std::to_string(id)}).status != 0) return false;
  return WaitUntil([&] { return NodeId(Dump(), name) < 0; }, 5000);
}

bool PrivateGraph::WaitUntil(const std::function<bool()>& condition, int timeout_ms,
                             int poll_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
}

pid_t PrivateGraph::StartDaemon(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {DaemonPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = Spawn(argv, LogPath("halvexd-out"), LogPath("halvexd"));
  const bool up = WaitUntil(
      [&] {
        if (!IsRunning(pid)) return true;
        if (Cli({"status"}).out.rfind("OK ", 0) != 0) return false;
        const nlohmann::json dump = Dump();
        return NodeId(dump, "halvex") >= 0 && NodeId(dump, "halvex_dsp") >= 0;
      },
      15000);
  return up && IsRunning(pid) ? pid : -1;
}

std::string PrivateGraph::MakeTone(const std::string& name, double seconds, int hz,
                                   double gain_db) const {
  const std::string path = home_ + "/" + name;
  const CommandResult made =
      Run({"sox", "-n", "-r", "48000", "-c", "2", "-e", "floating-point", "-b", "32", path,
           "synth", std::to_string(seconds), "sine", std::to_string(hz), "gain",
           std::to_string(gain_db)});
  return made.status == 0 ? path : "";
}

bool PrivateGraph::WriteConfig(const std::string& json) const {
  std::filesystem::create_directories(home_ + "/.config/halvex");
  std::ofstream out(ConfigPath(), std::ios::binary | std::ios::trunc);
  out << json;
  return static_cast<bool>(out);
}

std::string PrivateGraph::NodeState(const std::string& name) const {
  const nlohmann::json dump = Dump();
  const nlohmann::json* node = Object(dump, NodeId(dump, name));
  return node != nullptr ? (*node)["info"].value("state", "") : "";
}

std::vector<std::string> PrivateGraph::LinksBetween(const std::string& out_node,
                                                    const std::string& in_node) const {
  const nlohmann::json dump = Dump();
  const int out_id = NodeId(dump, out_node);
  const int in_id = NodeId(dump, in_node);
  std::vector<std::string> found;
  for (const Link& link : Links(dump)) {
    if (link.output_node == out_id && link.input_node == in_id) {
      found.push_back(out_node + ":" + link.output_port + " -> " + in_node + ":" +
                      link.input_port);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string PrivateGraph::DaemonLog() const { return Slurp(LogPath("halvexd")); }

CommandResult PrivateGraph::Cli(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, 10000);
}

std::string PrivateGraph::DaemonPath() { return HALVEX_BINARY_DIR "/daemon/halvexd"; }
std::string PrivateGraph::CliPath() { return HALVEX_BINARY_DIR "/cli/halvex"; }

}  // namespace halvex::test
