// A headless chromium driven over its DevTools pipe: a page opened, script
// evaluated in it and its promises awaited on the real clock. The tests wait
// for what the page shows instead of on the browser's virtual time, which
// runs ahead of a server that answers late on a loaded machine.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace quellvox::testing_tools {

class BrowserSession {
 public:
  // Starts chromium with its own profile folder and its standard error in
  // `stderrPath`. Started() says whether it runs.
  BrowserSession(const std::string& chromium, const std::string& profileDir, const std::string& stderrPath) {
    ::signal(SIGPIPE, SIG_IGN);  // a browser that died is an error of the call, not the end of the test
    int toBrowser[2];
    int fromBrowser[2];
    if (::pipe2(toBrowser, O_CLOEXEC) != 0) return;
    if (::pipe2(fromBrowser, O_CLOEXEC) != 0) {
      ::close(toBrowser[0]);
      ::close(toBrowser[1]);
      return;
    }
    // The browser reads commands on descriptor 3 and writes answers on 4.
    // Both ends are moved above 4 first, so that a dup2 onto 3 or 4 always
    // makes a new descriptor, one that survives the exec.
    const int commandEnd = Above4(toBrowser[0]);
    const int answerEnd = Above4(fromBrowser[1]);
    write_ = Above4(toBrowser[1]);
    read_ = Above4(fromBrowser[0]);
    std::vector<std::string> args{chromium,
                                  "--headless",
                                  "--no-sandbox",
                                  "--disable-gpu",
                                  "--disable-quic",
                                  "--no-first-run",
                                  "--disable-background-networking",
                                  "--disable-component-update",
                                  "--disable-sync",
                                  "--remote-debugging-pipe",
                                  "--user-data-dir=" + profileDir,
                                  "about:blank"};
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, commandEnd, 3);
    posix_spawn_file_actions_adddup2(&actions, answerEnd, 4);
    if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(commandEnd);
    ::close(answerEnd);
  }
  ~BrowserSession() {
    if (pid_ > 0) {
      std::string ignored;
      Call("Browser.close", nlohmann::json::object(), "", std::chrono::seconds(5), ignored);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      int status = 0;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        ::usleep(20000);
      }
    }
    if (write_ >= 0) ::close(write_);
    if (read_ >= 0) ::close(read_);
  }
  BrowserSession(const BrowserSession&) = delete;
  BrowserSession& operator=(const BrowserSession&) = delete;

  bool Started() const { return pid_ > 0 && read_ >= 0 && write_ >= 0; }

  // Opens `url` in a new page and attaches to it; false with the reason.
  bool Open(const std::string& url, std::chrono::milliseconds limit, std::string& error) {
    const std::optional<nlohmann::json> target = Call("Target.createTarget", {{"url", url}}, "", limit, error);
    if (!target) return false;
    const std::optional<nlohmann::json> attached =
        Call("Target.attachToTarget", {{"targetId", target->value("targetId", "")}, {"flatten", true}}, "", limit, error);
    if (!attached) return false;
    session_ = attached->value("sessionId", "");
    if (session_.empty()) error = "no session in " + attached->dump();
    return !session_.empty();
  }

  // Evaluates `expression` in the page, awaiting a promise it gives, and
  // returns its value; nothing with the reason when it threw or the limit passed.
  // A page still loading has no context yet, or loses the one it had: the
  // expression is evaluated again in the next one.
  std::optional<nlohmann::json> Evaluate(const std::string& expression, std::chrono::milliseconds limit,
                                         std::string& error) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::optional<nlohmann::json> result;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      result = Call("Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}},
                    session_, std::max(left, std::chrono::milliseconds(1)), error);
      if (result || error.find("context") == std::string::npos || std::chrono::steady_clock::now() >= end) break;
      ::usleep(100000);
    }
    if (!result) return std::nullopt;
    if (result->contains("exceptionDetails")) {
      error = (*result)["exceptionDetails"].dump();
      return std::nullopt;
    }
    return (*result)["result"].value("value", nlohmann::json());
  }

 private:
  static int Above4(int fd) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
  }

  // One command and its answer; the events the browser sends meanwhile are
  // passed over.
  std::optional<nlohmann::json> Call(const std::string& method, const nlohmann::json& params,
                                     const std::string& session, std::chrono::milliseconds limit, std::string& error) {
    if (!Started()) {
      error = "the browser did not start";
      return std::nullopt;
    }
    const int id = ++lastId_;
    nlohmann::json message{{"id", id}, {"method", method}, {"params", params}};
    if (!session.empty()) message["sessionId"] = session;
    std::string text = message.dump();
    text.push_back('\0');
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(write_, text.data() + done, text.size() - done);
      if (n <= 0) {
        error = "the browser's pipe is closed";
        return std::nullopt;
      }
      done += static_cast<size_t>(n);
    }
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const size_t zero = pending_.find('\0');
      if (zero != std::string::npos) {
        const nlohmann::json answer = nlohmann::json::parse(pending_.substr(0, zero), nullptr, false);
        pending_.erase(0, zero + 1);
        if (!answer.is_object() || answer.value("id", -1) != id) continue;
        if (answer.contains("error")) {
          error = method + ": " + answer["error"].dump();
          return std::nullopt;
        }
        return answer.value("result", nlohmann::json::object());
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        error = method + ": no answer within " + std::to_string(limit.count()) + " ms";
        return std::nullopt;
      }
      pollfd p{read_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(read_, buffer, sizeof buffer);
      if (n <= 0) {
        error = method + ": the browser ended";
        return std::nullopt;
      }
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int write_ = -1;
  int read_ = -1;
  int lastId_ = 0;
  std::string session_;
  std::string pending_;
};

}  // namespace quellvox::testing_tools
