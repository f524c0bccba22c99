#include "net/socket_deadline.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

namespace qz {

SocketDeadline::~SocketDeadline() {
  disarm();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

bool SocketDeadline::arm(int fd, double seconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) return true;
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) return false;
    expired_ = false;
    // NaN and anything not above zero: no time at all. Far futures are
    // capped so the clock arithmetic cannot overflow.
    double allowed = seconds > 0 ? std::fmin(seconds, 1e9) : 0;
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(allowed));
    if (!watcher_.joinable()) {
      try {
        start_watcher();
      } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
      }
    }
    // A watcher asleep until an earlier deadline wakes then and sees this
    // one: exchanges of equal budgets do not wake it once each.
    if (deadline_ >= sleeping_until_) return true;
  }
  changed_.notify_all();
  return true;
}

bool SocketDeadline::expired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return expired_;
}

bool SocketDeadline::disarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  bool expired = expired_;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  expired_ = false;
  return expired;
}

// The watcher takes no signal: the process's signals stay with the threads
// that expect them (a thread that waits for them, or the host's main thread).
void SocketDeadline::start_watcher() {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    watcher_ = std::thread(&SocketDeadline::watch, this);
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Shutting down acts on the socket, not the descriptor: the duplicate ends
// every call blocked on the owner's descriptor too.
void SocketDeadline::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ending_) {
    bool watching = fd_ >= 0 && !expired_;
    if (watching && Clock::now() >= deadline_) {
      ::shutdown(fd_, SHUT_RDWR);
      expired_ = true;
      continue;
    }
    sleeping_until_ = watching ? deadline_ : Clock::time_point::max();
    if (watching)
      changed_.wait_until(lock, sleeping_until_);
    else
      changed_.wait(lock);
  }
}

}  // namespace qz
