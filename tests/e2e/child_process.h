#pragma once
// A program run by a test: its own environment, standard output and error to
// files, signals, and a wait with a deadline. A child still running when the
// object goes away is ended (SIGTERM, then SIGKILL) and reaped, so a failed
// test leaves nothing behind; and should the test itself be killed, the
// kernel ends the child too.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace squeakbox::e2e {

// The current environment with some variables set or replaced.
inline std::vector<std::string> environment_with(
    const std::map<std::string, std::string>& changes) {
    std::vector<std::string> result;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (changes.count(name) == 0) result.push_back(entry);
    }
    for (const auto& [name, value] : changes) result.push_back(name + "=" + value);
    return result;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class child_process {
  public:
    child_process(const std::vector<std::string>& argv, const std::string& output,
                  const std::string& errors, const std::vector<std::string>& environment = {}) {
        // Everything the child needs is made before the fork: after it, only
        // async-signal-safe calls.
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> env;
        for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        char* const* child_env = environment.empty() ? environ : env.data();
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0) ::_exit(127);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execvpe(args[0], args.data(), child_env);
            ::_exit(127);
        }
        pid_ = pid;
    }
    ~child_process() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!wait_for(std::chrono::seconds(3))) {
            ::kill(pid_, SIGKILL);
            wait_for(std::chrono::seconds(3));
        }
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    [[nodiscard]] bool started() const noexcept { return pid_ > 0 || status_.has_value(); }
    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    void signal(int number) const {
        if (pid_ > 0) ::kill(pid_, number);
    }

    // True once the child has ended (its status is then in status()).
    bool wait_for(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                status_ = status;
                pid_ = -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return status_.has_value();
    }
    // The exit code, or -signal for a child ended by a signal.
    [[nodiscard]] std::optional<int> exit_code() const {
        if (!status_) return std::nullopt;
        if (WIFEXITED(*status_)) return WEXITSTATUS(*status_);
        if (WIFSIGNALED(*status_)) return -WTERMSIG(*status_);
        return std::nullopt;
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a command to its end and returns its standard output; empty when it
// failed or could not start.
inline std::string capture_output(const std::vector<std::string>& argv,
                                  const std::string& scratch) {
    child_process child(argv, scratch + ".out", "/dev/null");
    if (!child.started() || !child.wait_for(std::chrono::seconds(30)) || child.exit_code() != 0)
        return {};
    return read_file(scratch + ".out");
}

}  // namespace squeakbox::e2e
