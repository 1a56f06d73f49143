#include "testing/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace wf::testing {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Reads what is available into `buffer`; false at end of file or on
// time-out without data.
bool fill(int fd, std::string& buffer, Clock::time_point deadline) {
  if (fd < 0) {
    return false;
  }
  pollfd p{fd, POLLIN, 0};
  int r = ::poll(&p, 1, remainingMs(deadline));
  if (r <= 0) {
    return false;
  }
  char chunk[65536];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) {
    return false;
  }
  buffer.append(chunk, static_cast<size_t>(n));
  return true;
}

ExitStatus decode(int raw) {
  ExitStatus s;
  if (WIFEXITED(raw)) {
    s.exited = true;
    s.code = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    s.signal = WTERMSIG(raw);
  }
  return s;
}

}  // namespace

std::string binDir() {
  return WF_BIN_DIR;
}
std::string binPath(const std::string& name) {
  return binDir() + "/" + name;
}

Child::Child(Child&& other) noexcept {
  *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0 && !status_) {
      kill();
    }
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
    pid_ = std::exchange(other.pid_, -1);
    in_ = std::exchange(other.in_, -1);
    out_ = std::exchange(other.out_, -1);
    err_ = std::exchange(other.err_, -1);
    outBuffer_ = std::move(other.outBuffer_);
    errBuffer_ = std::move(other.errBuffer_);
    status_ = std::move(other.status_);
  }
  return *this;
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    kill();
  }
  closeFd(in_);
  closeFd(out_);
  closeFd(err_);
}

Child Child::spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if ((options.pipeStdin && ::pipe2(inPipe, O_CLOEXEC) != 0) ||
      (options.pipeStdout && ::pipe2(outPipe, O_CLOEXEC) != 0) ||
      (options.pipeStderr && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  // Everything the child needs is prepared before fork: only async-signal
  // safe calls happen between fork and exec.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool drop = false;
    for (auto& u : options.unsetEnv)
      drop = drop || u == name;
    for (auto& kv : options.env)
      drop = drop || kv.first == name;
    if (!drop)
      envStrings.push_back(entry);
  }
  for (auto& kv : options.env)
    envStrings.push_back(kv.first + "=" + kv.second);
  std::vector<char*> envp;
  for (auto& s : envStrings)
    envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args)
    argp.push_back(a.data());
  argp.push_back(nullptr);
  std::string cwd = options.cwd;

  pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    // Close-on-exec: the program keeps only the copies on its standard
    // streams, so its descriptor count is its own.
    int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(options.pipeStdin ? inPipe[0] : devnull, 0);
    ::dup2(options.pipeStdout ? outPipe[1] : devnull, 1);
    ::dup2(options.pipeStderr ? errPipe[1] : devnull, 2);
    // Tests run with SIGPIPE ignored; programs must start with the default.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    ::execvpe(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  Child c;
  c.pid_ = pid;
  if (options.pipeStdin) {
    ::close(inPipe[0]);
    c.in_ = inPipe[1];
  }
  if (options.pipeStdout) {
    ::close(outPipe[1]);
    c.out_ = outPipe[0];
  }
  if (options.pipeStderr) {
    ::close(errPipe[1]);
    c.err_ = errPipe[0];
  }
  return c;
}

bool Child::writeStdin(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void Child::closeStdin() {
  closeFd(in_);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto nl = outBuffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = outBuffer_.substr(0, nl);
      outBuffer_.erase(0, nl + 1);
      return line;
    }
    if (!fill(out_, outBuffer_, deadline)) {
      return std::nullopt;
    }
  }
}

std::optional<std::string> Child::readBytes(size_t n, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (outBuffer_.size() < n) {
    if (!fill(out_, outBuffer_, deadline)) {
      return std::nullopt;
    }
  }
  std::string bytes = outBuffer_.substr(0, n);
  outBuffer_.erase(0, n);
  return bytes;
}

std::string Child::drainStderr() {
  while (fill(err_, errBuffer_, Clock::now())) {
  }
  return errBuffer_;
}

std::string Child::readStderrToEnd(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (fill(err_, errBuffer_, deadline)) {
  }
  return errBuffer_;
}

std::optional<ExitStatus> Child::wait(std::chrono::milliseconds timeout) {
  if (status_)
    return status_;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = decode(raw);
      return status_;
    }
    if (r < 0) {
      return std::nullopt;
    }
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Child::running() {
  return pid_ > 0 && !wait(std::chrono::milliseconds(0));
}

void Child::signal(int sig) {
  if (pid_ > 0 && !status_)
    ::kill(pid_, sig);
}

void Child::kill() {
  if (pid_ <= 0 || status_)
    return;
  ::kill(pid_, SIGKILL);
  int raw = 0;
  while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  status_ = decode(raw);
}

std::string runCommand(const std::vector<std::string>& argv, ExitStatus* status,
                       const SpawnOptions& options) {
  SpawnOptions o = options;
  o.pipeStdin = false;
  o.pipeStdout = true;
  Child c = Child::spawn(argv, o);
  std::string out;
  auto deadline = Clock::now() + std::chrono::seconds(120);
  while (fill(c.stdoutFd(), out, deadline)) {
  }
  auto s = c.wait(std::chrono::seconds(30));
  if (status && s)
    *status = *s;
  return out;
}

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

HeldPort::HeldPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 1) != 0) {
    throw std::runtime_error("cannot hold a loopback port");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

HeldPort::~HeldPort() {
  ::close(fd_);
}

}  // namespace wf::testing
