#include "rowfeed/kafka_sender.h"

#include "rowfeed/record_batch.h"

#include <chrono>
#include <random>
#include <string>

namespace qz::rowfeed {
namespace {

using qz::host::integer;
using qz::host::kwargs;
using qz::host::str_of;
using qz::host::text;
using qz::host::truth;

// The newest produce request we build: version 3 brought the record batch,
// 8 per-record errors that we do not read; the client and the broker settle
// on the highest both speak, at most this.
constexpr long kNewestProduce = 8;
constexpr long kFirstRecordBatchProduce = 3;
// MESSAGE_TOO_LARGE, RECORD_LIST_TOO_LARGE: the batch itself is over a limit.
constexpr long kMessageTooLarge = 10;
constexpr long kRecordListTooLarge = 18;
// What a send waits beyond the broker's own time-out for the in-sync copies
// before it stops waiting for the answer.
constexpr long kAnswerMarginMs = 5000;

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int64_t epoch_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

py::object ms_left(double deadline) {
  double left = (deadline - seconds_now()) * 1000.0;
  return integer(left > 0 ? static_cast<long>(left) : 0);
}

// Raises the client's error `kind` with `message`.
[[noreturn]] void raise_error(py::handle kind, const std::string& message) {
  qz::host::throw_error(kind, kind(text(message)));
}


}  // namespace

ClientWarnings::ClientWarnings() : last_(std::make_shared<Last>()) {
  py::module_ logging = py::module_::import("logging");
  logger_ = logging.attr("getLogger")(text("kafka"));
  handler_ = logging.attr("Handler")(logging.attr("WARNING"));
  long error_level = py::cast<long>(logging.attr("ERROR"));
  std::shared_ptr<Last> last = last_;
  // An instance attribute: Handler.handle calls self.emit(record).
  handler_.attr("emit") = py::cpp_function([last, error_level](py::handle record) {
    constexpr size_t kMost = 400;
    try {
      std::string message = py::cast<std::string>(str_of(record.attr("getMessage")()));
      if (message.size() > kMost) message = message.substr(0, kMost) + "...";
      bool error = py::cast<long>(record.attr("levelno")) >= error_level;
      (error ? last->error : last->warning) = message;
    } catch (py::error_already_set&) {
      // A message that cannot be formatted tells nothing; the previous stays.
    }
  });
  logger_.attr("addHandler")(handler_);
}

ClientWarnings::~ClientWarnings() {
  try {
    logger_.attr("removeHandler")(handler_);
  } catch (py::error_already_set&) {
  }
}

KafkaSender::KafkaSender(py::handle bootstrap, py::dict settings, Limits limits)
    : limits_(limits), next_partition_(std::random_device{}()) {
  py::module_ kafka = py::module_::import("kafka");
  produce_request_ = py::module_::import("kafka.protocol.produce").attr("ProduceRequest");
  topic_partition_ = py::module_::import("kafka.structs").attr("TopicPartition");
  errors_ = py::module_::import("kafka.errors");
  timeout_error_ = errors_.attr("KafkaTimeoutError");
  settings[text("bootstrap_servers")] = bootstrap;
  client_ = kafka.attr("KafkaClient")(**settings);
  cluster_ = client_.attr("cluster");
  sorted_ = py::module_::import("__builtin__").attr("sorted");
}

bool KafkaSender::follows(py::handle topic) const {
  return !known_topic_.is_none() && known_topic_.equal(topic);
}

void KafkaSender::connect(py::handle topic) {
  route(topic, seconds_now() + limits_.route_ms / 1000.0);
}

KafkaSender::Pending KafkaSender::start(py::handle topic,
                                        const std::vector<std::string_view>& values) {
  py::bytes records = text(gzip_record_batch(values, epoch_ms()));
  Route to = route(topic, seconds_now() + limits_.route_ms / 1000.0);
  const long answer_ms = limits_.acks_ms + kAnswerMarginMs;
  double deadline = seconds_now() + answer_ms / 1000.0;
  py::object future = produce(to, topic, records, answer_ms);
  // The client writes a request only when polled: a poll that waits for
  // nothing puts it on the socket now, so the broker works while we read.
  client_.attr("poll")(**kwargs({{"timeout_ms", integer(0)}}));
  return {future, py::reinterpret_borrow<py::object>(topic), to.leader, deadline};
}

void KafkaSender::finish(const Pending& pending) {
  py::object response = wait_for(pending.future, pending.deadline, "the produce answer");
  check(response, pending.topic, pending.leader);
}

// The next partition in turn and its leader, ready for a request.
KafkaSender::Route KafkaSender::route(py::handle topic, double deadline) {
  if (!follows(topic)) stale_ = true;
  for (;;) {
    if (stale_) refresh_metadata(topic, deadline);
    py::object partitions = cluster_.attr("partitions_for_topic")(topic);
    if (!partitions.is_none() && py::len(partitions) > 0) {
      py::list ordered = sorted_(partitions);
      py::object partition = ordered[next_partition_++ % py::len(ordered)];
      py::object leader = cluster_.attr("leader_for_partition")(topic_partition_(topic, partition));
      if (!leader.is_none() && py::cast<long>(leader) >= 0) {
        await_leader(leader, deadline);
        return {partition, leader};
      }
    }
    stale_ = true;
    if (seconds_now() >= deadline)
      raise_error(partitions.is_none() ? errors_.attr("UnknownTopicOrPartitionError")
                                       : errors_.attr("LeaderNotAvailableError"),
                  "no partition of topic " + qz::host::str_text(topic) + " with a leader after " +
                      std::to_string(limits_.route_ms) + " ms");
    qz::host::sleep(0.1);
  }
}

void KafkaSender::refresh_metadata(py::handle topic, double deadline) {
  py::object future = follows(topic) ? cluster_.attr("request_update")()
                                     : client_.attr("add_topic")(topic);
  known_topic_ = py::reinterpret_borrow<py::object>(topic);
  wait_for(future, deadline, "metadata");
  stale_ = false;
}

void KafkaSender::await_leader(py::handle leader, double deadline) {
  if (!truth(client_.attr("await_ready")(leader, **kwargs({{"timeout_ms", ms_left(deadline)}}))))
    raise_error(timeout_error_, "broker " + qz::host::str_text(leader) + " not ready within " +
                                    std::to_string(limits_.route_ms) + " ms");
}

// The request sent to the leader of `to`: its future.
py::object KafkaSender::produce(const Route& to, py::handle topic, py::bytes records,
                                long answer_ms) {
  long version = py::cast<long>(client_.attr("api_version")(
      produce_request_, **kwargs({{"max_version", integer(kNewestProduce)}})));
  if (version < kFirstRecordBatchProduce)
    raise_error(errors_.attr("UnsupportedVersionError"),
                "UNSUPPORTED_VERSION: broker " + qz::host::str_text(to.leader) +
                    " takes produce requests up to version " + std::to_string(version) +
                    "; record batches need version 3 (Kafka 0.11 or later)");
  py::list partitions;
  partitions.append(py::make_tuple(to.partition, records));
  py::list topics;
  topics.append(py::make_tuple(topic, partitions));
  // acks -1: answered once every in-sync copy holds the batch, so that a
  // leader lost before its followers copied it cannot take rows that the
  // saved position has already passed.
  py::object request = produce_request_[integer(version)](**kwargs({
      {"transactional_id", py::none()},
      {"required_acks", integer(-1)},
      {"timeout", integer(limits_.acks_ms)},
      {"topics", topics},
  }));
  return client_.attr("send")(to.leader, request,
                              **kwargs({{"request_timeout_ms", integer(answer_ms)}}));
}

// One partition answered; its error code decides.
void KafkaSender::check(py::handle response, py::handle topic, py::handle leader) {
  for (py::handle answered : response.attr("topics")) {
    for (py::handle partition : py::reinterpret_borrow<py::sequence>(answered)[integer(1)]) {
      py::sequence fields = py::reinterpret_borrow<py::sequence>(partition);
      long code = py::cast<long>(fields[integer(1)]);
      if (code == 0) continue;
      py::object kind = errors_.attr("for_code")(integer(code));
      py::object name = py::getattr(kind, "message", py::none());
      std::string message = (name.is_none() ? std::string("error") : qz::host::str_text(name)) + " (error " +
                            std::to_string(code) + ") from broker " + qz::host::str_text(leader) +
                            " for topic " + qz::host::str_text(topic) + " partition " + qz::host::str_text(fields[integer(0)]);
      if (py::len(fields) > 6 && !py::reinterpret_borrow<py::object>(fields[integer(6)]).is_none())
        message += ": " + qz::host::str_text(fields[integer(6)]);
      py::object error = kind(text(message));
      if (code == kMessageTooLarge || code == kRecordListTooLarge) throw BatchRefused{error};
      if (truth(kind.attr("retriable"))) {
        stale_ = true;
        qz::host::throw_error(kind, error);
      }
      throw BatchFailed{error};
    }
  }
}

// Polls the client until `future` is done or the deadline passed; its value,
// or its error raised. It polls once before it looks at the clock: an
// answer already on the socket counts even when the deadline has passed
// since (the client reads answers before it expires requests).
py::object KafkaSender::wait_for(py::handle future, double deadline, const char* what) {
  while (!truth(future.attr("is_done"))) {
    client_.attr("poll")(**kwargs({{"timeout_ms", ms_left(deadline)}, {"future", future}}));
    if (!truth(future.attr("is_done")) && seconds_now() >= deadline) {
      stale_ = true;
      raise_error(timeout_error_, std::string("no ") + what + " from Kafka in time");
    }
  }
  if (truth(future.attr("failed")())) {
    stale_ = true;
    py::object error = future.attr("exception");
    if (PyType_Check(error.ptr()) || PyClass_Check(error.ptr())) error = error();
    qz::host::throw_error(py::type::handle_of(error), error);
  }
  return future.attr("value");
}

void KafkaSender::close() { client_.attr("close")(); }

}  // namespace qz::rowfeed
