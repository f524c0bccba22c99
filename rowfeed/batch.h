#pragma once

#include "rowfeed/position.h"

#include <utility>
#include <vector>

namespace qz::rowfeed {

// The messages read and not yet taken by Kafka, in read order; one producer
// call carries them all. The batch goes when the newest message makes it
// reach KAFKA_MAX_MESSAGE_SIZE characters, when it holds more than
// KAFKA_BATCH messages, or when the last batch went more than
// KAFKA_SEND_INTERVAL seconds ago (settings read at each test, in that order).
// The limits come from `limits`, asked in that order and only as far as the
// test needs: max_chars(), max_messages(), send_interval(), each a double.
class Batch {
 public:
  void add(QueuedMessage message) {
    chars_ += message.size;
    messages_.push_back(std::move(message));
  }
  template <class Limits>
  bool full(double now, const Limits& limits) const {
    return static_cast<double>(chars_) >= limits.max_chars() ||
           static_cast<double>(messages_.size()) > limits.max_messages() ||
           now - last_sent_ > limits.send_interval();
  }
  // Kafka took every message; the batch's age counts from `at`.
  void sent(double at) { hand_over(at); }
  // The messages go to a send and the batch starts empty; its age counts
  // from `at`.
  std::vector<QueuedMessage> hand_over(double at) {
    std::vector<QueuedMessage> sending = std::move(messages_);
    clear();
    messages_.reserve(sending.size());  // the next batch is as large
    last_sent_ = at;
    return sending;
  }
  // Let go unsent: the next read cycle reads their rows again.
  void drop() { clear(); }
  // A new read cycle sends its first message at once.
  void restart_clock() { last_sent_ = 0; }
  bool empty() const { return messages_.empty(); }
  size_t size() const { return messages_.size(); }
  const std::vector<QueuedMessage>& messages() const { return messages_; }

 private:
  void clear() {
    messages_.clear();
    chars_ = 0;
  }
  std::vector<QueuedMessage> messages_;
  Py_ssize_t chars_ = 0;
  double last_sent_ = 0;
};

}  // namespace qz::rowfeed
