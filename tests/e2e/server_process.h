#pragma once
// Runs `quillbox serve` as a child process and talks to it over its stdin/stdout.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class ServerProcess {
public:
    // `env` entries are set and `cwd` entered in the child before it runs the server.
    ServerProcess(const std::string& exe, const std::vector<std::string>& args,
                  const std::filesystem::path& stderr_file,
                  const std::vector<std::pair<std::string, std::string>>& env = {},
                  const std::filesystem::path& cwd = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            int err = ::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) ::dup2(err, STDERR_FILENO);
            for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(125);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(exe.c_str()));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_child_ = in[1];
        from_child_ = out[0];
    }

    ~ServerProcess() {
        close_input();
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (from_child_ >= 0) ::close(from_child_);
    }

    void send_raw(const std::string& text) {
        std::string_view data = text;
        while (!data.empty()) {
            ssize_t n = ::write(to_child_, data.data(), data.size());
            if (n <= 0) throw std::runtime_error("write to server failed");
            data.remove_prefix(static_cast<size_t>(n));
        }
    }
    void send(const nlohmann::json& message) { send_raw(message.dump() + "\n"); }

    // One line of output, or nothing when `timeout` passed or the output ended.
    std::optional<std::string> read_line(double timeout = 20.0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (true) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{from_child_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[65536];
            ssize_t n = ::read(from_child_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Sends a request and returns its response (skipping nothing: the server answers in order).
    nlohmann::json request(const std::string& method, const nlohmann::json& params = nlohmann::json::object()) {
        int id = next_id_++;
        send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
        auto line = read_line();
        if (!line) throw std::runtime_error("no answer to " + method);
        return nlohmann::json::parse(*line);
    }

    void close_input() {
        if (to_child_ >= 0) {
            ::close(to_child_);
            to_child_ = -1;
        }
    }

    void signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }

    // Exit status, or nothing when the process is still running after `timeout`.
    std::optional<int> wait_exit(double timeout = 10.0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    bool exited_ = false;
    int next_id_ = 1;
    std::string buffer_;
};
