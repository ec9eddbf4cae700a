// devsim as a child process: fork/exec, the first stdout line, SIGTERM.
#include "devsim_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef DEVSIM_PATH
#error "DEVSIM_PATH must name the devsim executable"
#endif

namespace {

enum {
    START_TIMEOUT_MS = 5000,   // devsim prints its path within this
    STOP_TIMEOUT_MS = 5000,    // and exits within this after SIGTERM
};

long long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

void ReadStderr(DevsimProcess* p) {
    p->stderr_text.clear();
    FILE* f = fopen(p->stderr_file.c_str(), "rb");
    if (f) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) p->stderr_text.append(buf, n);
        fclose(f);
    }
    unlink(p->stderr_file.c_str());
}

void Reaped(DevsimProcess* p, int status) {
    p->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    p->pid = 0;
    ReadStderr(p);
}

// Polls waitpid until the child ends or timeout_ms pass; 1 when reaped.
int Reap(DevsimProcess* p, int timeout_ms) {
    long long end = NowMs() + timeout_ms;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(p->pid, &status, WNOHANG);
        if (r == p->pid) {
            Reaped(p, status);
            return 1;
        }
        if (r < 0 && errno != EINTR) {
            p->pid = 0;
            return 1;
        }
        if (NowMs() >= end) return 0;
        usleep(2000);
    }
}

}  // namespace

int StartDevsim(DevsimProcess* p, const std::vector<std::string>& args) {
    p->pid = 0;
    p->pty_path.clear();
    p->exit_code = -1;
    p->stderr_text.clear();
    char err_name[] = "/tmp/devsim_stderr_XXXXXX";
    int err_fd = mkstemp(err_name);
    if (err_fd < 0) return 0;
    p->stderr_file = err_name;
    int out[2];
    if (pipe(out) != 0) {
        close(err_fd);
        return 0;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(err_fd);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(DEVSIM_PATH));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(DEVSIM_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err_fd);
    if (pid < 0) {
        close(out[0]);
        return 0;
    }
    p->pid = pid;
    // The first line is the path; read it byte by byte so nothing past it is taken.
    std::string line;
    long long end = NowMs() + START_TIMEOUT_MS;
    int got_line = 0;
    while (!got_line) {
        int left = (int)(end - NowMs());
        if (left <= 0) break;
        pollfd pfd = {out[0], POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0) continue;
        char c;
        ssize_t n = read(out[0], &c, 1);
        if (n <= 0) break;  // devsim ended before its path
        if (c == '\n') got_line = 1;
        else line += c;
    }
    close(out[0]);
    if (!got_line || line.empty()) {
        if (!Reap(p, 200)) StopDevsim(p);
        return 0;
    }
    p->pty_path = line;
    return 1;
}

int StopDevsim(DevsimProcess* p) {
    if (p->pid <= 0) return p->exit_code;
    kill(p->pid, SIGTERM);
    if (!Reap(p, STOP_TIMEOUT_MS)) {
        kill(p->pid, SIGKILL);
        Reap(p, STOP_TIMEOUT_MS);
    }
    return p->exit_code;
}

int WaitDevsim(DevsimProcess* p, int timeout_ms) {
    if (p->pid <= 0) return 1;
    return Reap(p, timeout_ms);
}
