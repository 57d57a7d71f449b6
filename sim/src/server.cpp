#include "zelsim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "log.h"

namespace zelsim {

namespace {

constexpr int kSplitGapMs = 5;

bool SendAll(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

std::string PeerName(const sockaddr_in& sa) {
  char buf[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
  return std::string(buf) + ":" + std::to_string(ntohs(sa.sin_port));
}

}  // namespace

struct Server::Connection {
  int fd = -1;
  std::string peer;
  int idle_timeout_ms = 0;  // 0: never
  std::thread thread;
  bool done = false;  // guarded by Server::mu_
};

Server::Server(UnitModel& model, std::string listen_address, uint16_t port, ServerLimits limits)
    : model_(model), address_(std::move(listen_address)), port_(port), limits_(limits) {}

Server::~Server() { Stop(); }

void Server::Log(const std::string& line) const {
  if (model_.Logging()) model_.Log(line);
}

bool Server::Start() {
  std::lock_guard<std::mutex> run(run_mu_);
  if (running_) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_);
  if (::inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1) return false;

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    ::close(fd);
    return false;
  }
  if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fd);
    return false;
  }
  listen_fd_ = fd;
  stopping_ = false;
  running_ = true;
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  Log("listening on port " + std::to_string(port_));
  return true;
}

void Server::Stop() {
  std::lock_guard<std::mutex> run(run_mu_);
  if (!running_) return;
  {
    std::lock_guard<std::mutex> lk(mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  const char byte = 'x';
  while (::write(wake_pipe_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  accept_thread_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;

  std::list<std::unique_ptr<Connection>> conns;
  {
    std::lock_guard<std::mutex> lk(mu_);
    for (auto& c : conns_) {
      if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
    }
    conns.swap(conns_);
  }
  for (auto& c : conns) {
    c->thread.join();
    if (c->fd >= 0) ::close(c->fd);
  }
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
  wake_pipe_[0] = wake_pipe_[1] = -1;
  running_ = false;
  Log("stopped");
  model_.Flush();
}

void Server::ReapFinished() {
  std::list<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lk(mu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      auto next = std::next(it);
      if ((*it)->done) finished.splice(finished.end(), conns_, it);
      it = next;
    }
  }
  for (auto& c : finished) {
    c->thread.join();
    if (c->fd >= 0) ::close(c->fd);
  }
}

void Server::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    const int r = ::poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;

    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or a connection reset before we took it: try again shortly.
      if (errno != EINTR && errno != ECONNABORTED) SleepUnlessStopping(10);
      continue;
    }
    ReapFinished();
    const std::string name = PeerName(peer);
    std::unique_lock<std::mutex> lk(mu_);
    ++accepted_;
    const ServerLimits limits = limits_;
    if (plan_.refuse_connections || conns_.size() >= limits.max_connections) {
      lk.unlock();
      ::close(fd);
      Log("refused connection from " + name);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (limits.send_timeout_ms > 0) {
      // A blocked send then fails with EAGAIN and the connection ends.
      timeval tv{};
      tv.tv_sec = limits.send_timeout_ms / 1000;
      tv.tv_usec = (limits.send_timeout_ms % 1000) * 1000;
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    auto conn = std::make_unique<Connection>();
    conn->fd = fd;
    conn->peer = name;
    conn->idle_timeout_ms = limits.idle_timeout_ms;
    Connection* raw = conn.get();
    try {
      raw->thread = std::thread([this, raw] { Serve(*raw); });
    } catch (const std::system_error&) {
      // Out of threads: turn the host away rather than end the whole simulator.
      lk.unlock();
      ::close(fd);
      Log("no thread for connection from " + name + ", closed");
      continue;
    }
    conns_.push_back(std::move(conn));
    lk.unlock();
    Log("connection from " + name);
  }
}

void Server::Serve(Connection& conn) {
  uint8_t frame[kFrameSize];
  size_t have = 0;
  std::vector<uint8_t> reply;
  reply.reserve(1024);
  bool closed_by_unit = false;
  bool timed_out = false;
  bool reset = false;
  // The idle time runs from the last complete request (or its reply), so a host
  // dribbling a frame byte by byte cannot hold a connection for ever.
  const auto idle = std::chrono::milliseconds(conn.idle_timeout_ms);
  auto idle_deadline = std::chrono::steady_clock::now() + idle;
  for (;;) {
    if (conn.idle_timeout_ms > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(idle_deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        Log("idle time-out: closing " + conn.peer);
        timed_out = true;
        break;
      }
      pollfd p{conn.fd, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) break;
      if (r == 0) continue;  // the deadline is checked at the top
    }
    const ssize_t n = ::recv(conn.fd, frame + have, kFrameSize - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    if (have < kFrameSize) continue;
    have = 0;
    idle_deadline = std::chrono::steady_clock::now() + idle;

    FaultPlan plan;
    uint64_t index;
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (log_capacity_ > 0) {
        Frame f;
        std::copy(std::begin(frame), std::end(frame), f.begin());
        if (log_.size() < log_capacity_) {
          log_.push_back(f);
        } else {
          log_[log_head_] = f;
          log_head_ = (log_head_ + 1) % log_capacity_;
        }
      }
      ++frames_received_;
      index = frames_since_plan_++;
      plan = plan_;
    }
    if (stopping_) break;
    const Fault fault = index >= plan.after_frames ? plan.kind : Fault::None;
    if (fault == Fault::Close) {
      Log("fault: closing " + conn.peer + " at frame " + std::to_string(index));
      closed_by_unit = true;
      break;
    }
    if (fault == Fault::Stall) continue;  // taken, never answered
    model_.Handle(frame, reply);
    if (!Deliver(conn, reply, plan, fault)) {
      // SO_SNDTIMEO expired: the host stopped reading.
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && !stopping_) {
        Log("send time-out: resetting " + conn.peer);
        timed_out = true;
        reset = true;
      }
      break;
    }
    idle_deadline = std::chrono::steady_clock::now() + idle;
  }
  if (timed_out) {
    // Counted before the host can see the end of its link.
    std::lock_guard<std::mutex> lk(mu_);
    ++timed_out_;
  }
  if (reset) {
    // A close would queue its FIN behind replies the host never reads: reset the link
    // and drop the descriptor now, under the lock Stop takes to shut connections down.
    std::lock_guard<std::mutex> lk(mu_);
    const linger abort{1, 0};
    ::setsockopt(conn.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(conn.fd);
    conn.fd = -1;
  } else {
    // Tell the peer at once; the descriptor itself is closed after the thread is joined.
    ::shutdown(conn.fd, SHUT_RDWR);
  }
  if (!closed_by_unit) Log("connection from " + conn.peer + " ended");
  model_.Flush();
  std::lock_guard<std::mutex> lk(mu_);
  conn.done = true;
}

bool Server::Deliver(Connection& conn, const std::vector<uint8_t>& reply, const FaultPlan& plan, Fault fault) {
  switch (fault) {
    case Fault::ShortReply:
      return SendAll(conn.fd, reply.data(), std::min(plan.short_bytes, reply.size()));
    case Fault::SplitReply: {
      const size_t parts = std::clamp<size_t>(plan.split_parts, 1, std::max<size_t>(reply.size(), 1));
      size_t sent = 0;
      for (size_t p = 0; p < parts; ++p) {
        const size_t end = reply.size() * (p + 1) / parts;
        if (p > 0 && !SleepUnlessStopping(kSplitGapMs)) return false;
        if (!SendAll(conn.fd, reply.data() + sent, end - sent)) return false;
        sent = end;
      }
      return true;
    }
    case Fault::Delay:
      if (!SleepUnlessStopping(plan.delay_ms)) return false;
      return SendAll(conn.fd, reply.data(), reply.size());
    default:
      return SendAll(conn.fd, reply.data(), reply.size());
  }
}

bool Server::SleepUnlessStopping(int ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return !stop_cv_.wait_for(lk, std::chrono::milliseconds(std::max(ms, 0)), [&] { return stopping_.load(); });
}

std::vector<Frame> Server::FrameLog() const {
  std::lock_guard<std::mutex> lk(mu_);
  return FrameLogLocked();
}

std::vector<Frame> Server::FrameLogLocked() const {
  std::vector<Frame> out;
  out.reserve(log_.size());
  out.insert(out.end(), log_.begin() + static_cast<ptrdiff_t>(log_head_), log_.end());
  out.insert(out.end(), log_.begin(), log_.begin() + static_cast<ptrdiff_t>(log_head_));
  return out;
}

void Server::ClearFrameLog() {
  std::lock_guard<std::mutex> lk(mu_);
  log_.clear();
  log_head_ = 0;
}

void Server::SetFrameLogCapacity(size_t frames) {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<Frame> keep = FrameLogLocked();
  if (keep.size() > frames) keep.erase(keep.begin(), keep.end() - static_cast<ptrdiff_t>(frames));
  log_ = std::move(keep);
  log_head_ = 0;
  log_capacity_ = frames;
}

size_t Server::FramesReceived() const {
  std::lock_guard<std::mutex> lk(mu_);
  return frames_received_;
}

void Server::SetFaults(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lk(mu_);
  plan_ = plan;
  frames_since_plan_ = 0;
}

FaultPlan Server::Faults() const {
  std::lock_guard<std::mutex> lk(mu_);
  return plan_;
}

int Server::ConnectionsAccepted() const {
  std::lock_guard<std::mutex> lk(mu_);
  return accepted_;
}

void Server::SetLimits(const ServerLimits& limits) {
  std::lock_guard<std::mutex> lk(mu_);
  limits_ = limits;
}

ServerLimits Server::Limits() const {
  std::lock_guard<std::mutex> lk(mu_);
  return limits_;
}

int Server::ConnectionsTimedOut() const {
  std::lock_guard<std::mutex> lk(mu_);
  return timed_out_;
}

int Server::ActiveConnections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return static_cast<int>(std::count_if(conns_.begin(), conns_.end(), [](const auto& c) { return !c->done; }));
}

}  // namespace zelsim
