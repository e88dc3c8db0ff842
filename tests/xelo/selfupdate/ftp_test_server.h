// A real FTP server on 127.0.0.1 for the service-file tests: Debian's
// pyftpdlib run by /usr/bin/python3 on an ephemeral port, anonymous login,
// serving a folder the test fills. The server ends when the object dies,
// and also by itself when the test process goes away (it watches its
// standard input, a pipe the test holds open).
//
// Test controls, all files in the server's control folder:
//   - listing(dir, bytes): the NLST answer for the remote directory `dir`
//     (e.g. "/vendrel/Xelosft/sft") is replaced by `bytes`, sent as is;
//   - failRetrieve(path): RETR of the remote file `path` is answered 451;
//   - stallRetrieve(path): RETR of the remote file `path` is never answered;
//   - retrieved(): the remote paths sent so far, one per completed RETR.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace xelotest {

class FtpTestServer {
 public:
  // `root` is the folder served as "/"; it is created when missing.
  explicit FtpTestServer(const std::string& root) : rootDir(root) {
    writeFile(control / "server.py", kScript);
    makeDirectories(rootDir);
  }
  ~FtpTestServer() { stop(); }
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  void start() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::string python = "/usr/bin/python3";
    std::string script = control / "server.py";
    std::string controlDir = control.path();
    std::vector<char*> argv{python.data(), script.data(), rootDir.data(), controlDir.data(), nullptr};
    const std::string logPath = control / "server.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (rc != 0) {
      ::close(fds[1]);
      throw std::runtime_error("cannot start the FTP test server");
    }
    keepAlive = fds[1];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (exists(control / "port")) {
        boundPort = std::atoi(readFile(control / "port").c_str());
        if (boundPort > 0) return;
      }
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    throw std::runtime_error("the FTP test server did not start: " + readFile(logPath));
  }

  void stop() {
    if (keepAlive >= 0) {
      ::close(keepAlive);
      keepAlive = -1;
    }
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
      pid = -1;
    }
  }

  int port() const { return boundPort; }
  // The value of XELO_FTP_SERVER that reaches this server.
  std::string address() const { return "127.0.0.1:" + std::to_string(boundPort); }

  void listing(const std::string& dir, const std::string& bytes) {
    writeFile(control / "listing.tmp", dir + "\n" + bytes);
    std::rename((control / "listing.tmp").c_str(), (control / "listing").c_str());
  }
  void clearListing() { std::remove((control / "listing").c_str()); }
  void failRetrieve(const std::string& path) { writeFile(control / "failretr", path); }
  void stallRetrieve(const std::string& path) { writeFile(control / "stallretr", path); }
  void clearFailures() {
    std::remove((control / "failretr").c_str());
    std::remove((control / "stallretr").c_str());
  }

  std::vector<std::string> retrieved() const {
    std::vector<std::string> paths;
    if (!exists(control / "sent.log")) return paths;
    const std::string text = readFile(control / "sent.log");
    std::string::size_type start = 0;
    for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
      paths.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return paths;
  }

 private:
  static void makeDirectories(const std::string& dir) {
    std::string path;
    for (std::string::size_type i = 0; i <= dir.size(); ++i) {
      if (i == dir.size() || (dir[i] == '/' && i > 0)) ::mkdir(dir.substr(0, i).c_str(), 0755);
    }
  }

  static constexpr const char* kScript = R"PY(
import os, sys, threading
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, control = sys.argv[1], sys.argv[2]

def control_file(name):
    path = os.path.join(control, name)
    if not os.path.exists(path):
        return None
    with open(path, 'rb') as f:
        return f.read()

class Handler(FTPHandler):
    def ftp_NLST(self, path):
        override = control_file('listing')
        if override is not None:
            directory, _, data = override.partition(b'\n')
            if self.fs.fs2ftp(path).rstrip('/') == directory.decode().rstrip('/'):
                self.push_dtp_data(data, isproducer=False, cmd='NLST')
                return path
        return FTPHandler.ftp_NLST(self, path)

    def ftp_RETR(self, file):
        failing = control_file('failretr')
        if failing is not None and self.fs.fs2ftp(file) == failing.decode():
            self.respond('451 Requested action aborted: local error in processing.')
            return
        stalling = control_file('stallretr')
        if stalling is not None and self.fs.fs2ftp(file) == stalling.decode():
            return  # the command stays unanswered
        return FTPHandler.ftp_RETR(self, file)

    def on_file_sent(self, file):
        with open(os.path.join(control, 'sent.log'), 'a') as f:
            f.write(self.fs.fs2ftp(file) + '\n')

def watch_parent():
    # The test holds the other end of standard input; end with it.
    try:
        while sys.stdin.buffer.read(1024):
            pass
    finally:
        os._exit(0)

authorizer = DummyAuthorizer()
authorizer.add_anonymous(root)
Handler.authorizer = authorizer
Handler.masquerade_address = None
Handler.passive_ports = None
server = FTPServer(('127.0.0.1', 0), Handler)
threading.Thread(target=watch_parent, daemon=True).start()
port = server.socket.getsockname()[1]
with open(os.path.join(control, 'port.tmp'), 'w') as f:
    f.write(str(port))
os.rename(os.path.join(control, 'port.tmp'), os.path.join(control, 'port'))
server.serve_forever()
)PY";

  TempDir control{"xelo-ftp"};
  std::string rootDir;
  pid_t pid = -1;
  int keepAlive = -1;
  int boundPort = 0;
};

}  // namespace xelotest
