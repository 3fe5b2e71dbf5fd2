#include "tests/tools/run_tool.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <sstream>

ToolRun RunTool(const std::string& arguments) {
    char errPath[] = "/tmp/bayercam-tool-XXXXXX";
    int fd = mkstemp(errPath);
    if (fd >= 0)
        close(fd);
    std::string command = std::string(BAYERCAM_TOOL) + " " + arguments + " 2>" + errPath;
    ToolRun run;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
            run.out.append(buffer, n);
        int status = pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream err(errPath);
    std::stringstream text;
    text << err.rdbuf();
    run.err = text.str();
    std::remove(errPath);
    return run;
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

RunningTool::RunningTool(const std::string& arguments) {
    char errPath[] = "/tmp/bayercam-tool-XXXXXX";
    int fd = mkstemp(errPath);
    if (fd >= 0)
        close(fd);
    errPath_ = errPath;
    int pipe[2];
    if (::pipe(pipe) != 0)
        return;
    // exec: the shell becomes the tool, so the signals reach the tool itself.
    std::string command = "exec " + std::string(BAYERCAM_TOOL) + " " + arguments + " 2>" + errPath_;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipe[1], STDOUT_FILENO);
        close(pipe[0]);
        close(pipe[1]);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe[1]);
    stdout_ = pipe[0];
}

RunningTool::~RunningTool() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0)
        close(stdout_);
    std::remove(errPath_.c_str());
}

bool RunningTool::ReadLine(int milliseconds, std::string* line) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            *line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (stdout_ < 0 || left.count() <= 0)
            return false;
        pollfd p{stdout_, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(stdout_, buffer, sizeof(buffer));
        if (n <= 0)
            return false;
        buffered_.append(buffer, size_t(n));
    }
}

int RunningTool::Stop(int signal, int milliseconds) {
    if (pid_ <= 0)
        return -1;
    if (signal != 0)
        kill(pid_, signal);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (ended == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    out = buffered_;
    buffered_.clear();
    char buffer[4096];
    ssize_t n;
    while (stdout_ >= 0 && (n = read(stdout_, buffer, sizeof(buffer))) > 0)
        out.append(buffer, size_t(n));
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string RunningTool::Err() const {
    std::ifstream err(errPath_);
    std::stringstream text;
    text << err.rdbuf();
    return text.str();
}
