// Programs of the build tree run as separate processes by the tests: spawned
// with a chosen environment and their output in files, waited for with a
// limit, signalled.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quellvox::testing_tools {

inline std::string ReadFileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class ChildProcess {
 public:
  // Starts `argv` (argv[0] a path) with the environment of the test plus
  // `env` (an empty value removes the variable), standard output and error
  // into the files given (empty: /dev/null).
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& stdoutPath, const std::string& stderrPath) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const size_t eq = entry.find('=');
      if (eq != std::string::npos) all[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
      if (v.empty()) {
        all.erase(k);
      } else {
        all[k] = v;
      }
    }
    std::vector<std::string> envText;
    for (const auto& [k, v] : all) envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = stdoutPath.empty() ? "/dev/null" : stdoutPath;
    const std::string err = stderrPath.empty() ? "/dev/null" : stderrPath;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  void Signal(int sig) const {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
  }
  // The exit code once the process ended within `limit` (-1 when a signal
  // ended it); nothing when it still runs.
  std::optional<int> Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!status_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (std::chrono::steady_clock::now() > end) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs a program to its end (at most `limit`) and returns its exit code, -1
// when it failed to start, died of a signal or had to be killed.
inline int RunToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::string& stdoutPath, const std::string& stderrPath,
                    std::chrono::milliseconds limit = std::chrono::minutes(3)) {
  ChildProcess child(argv, env, stdoutPath, stderrPath);
  const std::optional<int> code = child.Wait(limit);
  return code ? *code : -1;
}

}  // namespace quellvox::testing_tools
