// A private PipeWire graph for tests: its own runtime dir, HOME, session bus, pipewire and
// WirePlumber, with null-audio-sink devices on demand. Never touches the user's session.
#pragma once

#include <sys/types.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace halvex::test {

struct CommandResult {
  int status = -1;  // exit status; 128 + signal when killed; -1 on time-out or spawn failure
  std::string out;
  std::string err;
};

class PrivateGraph {
 public:
  PrivateGraph() = default;
  ~PrivateGraph();
  PrivateGraph(const PrivateGraph&) = delete;
  PrivateGraph& operator=(const PrivateGraph&) = delete;

  // Creates the directories, starts the bus, pipewire and WirePlumber and waits until
  // WirePlumber has published its "default" metadata.
  bool Start(std::string& error);
  // Kills every process this graph started (children first, server last) and removes the dirs.
  void Stop();

  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& home() const { return home_; }
  std::string ConfigPath() const { return home_ + "/.config/halvex/config.json"; }
  std::string SocketPath() const { return runtime_dir_ + "/halvexd.sock"; }
  // The environment every command of this graph runs with.
  std::vector<std::string> Environment() const;

  // A null-audio-sink "Audio/Sink"; channels 1 gives one MONO port. Returns once its input
  // ports exist.
  bool AddSink(const std::string& name, const std::string& description, int channels,
               int priority, std::string& error);
  bool RemoveNode(const std::string& name);

  // A stereo 48 kHz float WAV of a `hz` sine at `gain_db`, written by sox into HOME under `name`;
  // its path, or "" when sox failed.
  std::string MakeTone(const std::string& name, double seconds, int hz = 440,
                       double gain_db = -12) const;
  // Runs to completion (killed after `timeout_ms`), capturing stdout and stderr.
  CommandResult Run(const std::vector<std::string>& argv, int timeout_ms = 15000) const;
  // Starts a background process of this graph; output goes to the given files ("" = /dev/null).
  pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_path = "",
              const std::string& err_path = "");
  // Exit status as in CommandResult, or -1 if it is still running after `timeout_ms`.
  int Wait(pid_t pid, int timeout_ms);
  bool IsRunning(pid_t pid);
  // SIGTERM, then SIGKILL after `grace_ms`; reaps it. Returns its status.
  int Kill(pid_t pid, int grace_ms = 3000);
  // An Xvfb display (1280x800x24) for the graph's later commands: sets DISPLAY in Environment().
  bool StartDisplay(std::string& error);
  // DISPLAY value of the display started above ("" before).
  const std::string& display() const { return display_; }
  // A PNG of the whole screen (no window manager: windows sit at 0,0).
  bool Screenshot(const std::string& png_path) const;

  // Kills the PipeWire server (and WirePlumber stays behind, disconnected).
  void KillServer();
  void RestartSessionManager();

  // The graph as pw-dump sees it (an array of objects); empty array on failure.
  nlohmann::json Dump() const;
  // Registry id of the first node with this "node.name", or -1.
  static int NodeId(const nlohmann::json& dump, const std::string& name);
  static const nlohmann::json* Object(const nlohmann::json& dump, int id);
  // Links as (output node, input node, output port name, input port name).
  struct Link {
    int id = -1;
    int output_node = -1;
    int input_node = -1;
    std::string output_port;
    std::string input_port;
  };
  static std::vector<Link> Links(const nlohmann::json& dump);
  // How many links leave `output_node`, when every one of them goes into `input_node`; else -1.
  static int LinkCountOnlyInto(const nlohmann::json& dump, int output_node, int input_node);
  // Value of a key in the metadata object `name` as pw-metadata shows it, "" when absent.
  std::string Metadata(const std::string& name, const std::string& key, int subject = 0) const;
  // Type of that entry ("" when absent or untyped).
  std::string MetadataType(const std::string& name, const std::string& key,
                           int subject = 0) const;

  static bool WaitUntil(const std::function<bool()>& condition, int timeout_ms,
                        int poll_ms = 50);

  static std::string DaemonPath();
  static std::string CliPath();

  // Starts halvexd (stderr to DaemonLog) and waits until it answers "status" and both of its
  // nodes are in the graph; -1 on failure.
  pid_t StartDaemon(const std::vector<std::string>& args = {});
  std::string DaemonLog() const;
  // `halvex ARGS...` in this graph.
  CommandResult Cli(const std::vector<std::string>& args) const;
  // Writes the daemon's config.json in this graph's HOME.
  bool WriteConfig(const std::string& json) const;
  // "running", "idle", "suspended" ... of the first node of that name ("" when absent).
  std::string NodeState(const std::string& name) const;
  // Links whose ends belong to the named nodes, as "out_node:port -> in_node:port" strings.
  std::vector<std::string> LinksBetween(const std::string& out_node,
                                        const std::string& in_node) const;

  // Extra "KEY=value" entries for every later command.
  void AddEnvironment(const std::string& entry) { extra_env_.push_back(entry); }

 private:
  bool StartBus(std::string& error);
  bool StartServer(std::string& error);
  bool StartSessionManager(std::string& error);
  std::string LogPath(const std::string& name) const { return base_dir_ + "/" + name + ".log"; }

  std::string base_dir_;
  std::string runtime_dir_;
  std::string home_;
  std::string bus_address_;
  std::string display_;
  pid_t bus_pid_ = -1;
  pid_t server_pid_ = -1;
  pid_t session_pid_ = -1;
  std::vector<pid_t> children_;
  std::vector<std::string> extra_env_;
};

}  // namespace halvex::test
