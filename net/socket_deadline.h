// A deadline for a whole exchange over one socket.
//
// A socket's time-out bounds each wait only: a peer that sends a byte now
// and then, or reads a byte now and then, starts every wait afresh and can
// hold an exchange for ever. A SocketDeadline shuts the socket down (both
// directions) once the exchange's time is up, from a watcher thread of its
// own, which ends any call blocked on it at once (end of file, or an error);
// the exchange's owner then learns from disarm() why its call failed.
//
// Contract: at most one socket is watched at a time. The watcher holds a
// duplicate of the descriptor until disarm(), so the owner (or its library)
// may close its own descriptor at any moment: the number cannot be reused
// for another socket while it is watched. The watcher never touches host
// objects and needs no interpreter lock. Not copyable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qz {

class SocketDeadline {
 public:
  SocketDeadline() = default;
  SocketDeadline(const SocketDeadline&) = delete;
  SocketDeadline& operator=(const SocketDeadline&) = delete;
  ~SocketDeadline();

  // Watches the socket of descriptor `fd` until disarm(); its exchange may
  // last `seconds` from now (a value that is not a positive number shuts it
  // down at once). A socket already watched keeps the deadline it has.
  // False, with errno set, when the descriptor could not be duplicated.
  bool arm(int fd, double seconds);
  // True once the deadline of the socket watched has passed.
  bool expired() const;
  // Stops watching. True when the deadline passed and the socket was shut
  // down; a later arm() starts a new exchange.
  bool disarm();

 private:
  void start_watcher();
  void watch();

  using Clock = std::chrono::steady_clock;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread watcher_;
  int fd_ = -1;  // the watcher's own duplicate
  bool expired_ = false;
  bool ending_ = false;
  Clock::time_point deadline_;
  Clock::time_point sleeping_until_ = Clock::time_point::max();  // the watcher's wake-up
};

}  // namespace qz
