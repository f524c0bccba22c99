// The feed's producer: one batch of message texts, one produce request.
//
// Built on kafka-python's network client (connections, the version
// negotiation with each broker, metadata, TLS and SASL) and our own record
// batch: each batch is one gzip record batch (message format v2) for one
// partition, the partitions of the topic taken in turn, and counts as sent
// only once the leader answered that every in-sync copy holds it. A send
// is bounded in time as a whole; the feed never waits on a broker for ever.
#pragma once

#include "host/host.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qz::rowfeed {

// Kafka answered the batch with an error that no resend of it can mend
// (authorisation, a version, a corrupt or invalid batch). `error` is the
// Kafka client's error for it, its message naming the code, the topic, the
// partition and the broker. The batch was not stored.
struct BatchFailed {
  py::object error;
};

// Kafka refused the batch as too large (MESSAGE_TOO_LARGE,
// RECORD_LIST_TOO_LARGE): the same batch can never succeed. Not stored.
struct BatchRefused {
  py::object error;
};

// While it lives, keeps what the Kafka client logged last at warning level:
// the one place where the client says why a connection failed (a
// certificate it could not verify, a SASL login refused) when the error it
// raises says only that no broker was available. Its messages name brokers,
// users and files, never a password.
class ClientWarnings {
 public:
  ClientWarnings();
  ~ClientWarnings();
  ClientWarnings(const ClientWarnings&) = delete;
  ClientWarnings& operator=(const ClientWarnings&) = delete;
  // The last error it logged, else the last warning (at most a few hundred
  // bytes each), or "" if none: an error says why, the warnings that follow
  // it ("no node available") only that it went on trying.
  std::string last() const { return last_->error.empty() ? last_->warning : last_->error; }

 private:
  struct Last {
    std::string error, warning;
  };
  std::shared_ptr<Last> last_;
  py::object logger_, handler_;
};

class KafkaSender {
 public:
  // How long a send may take: `acks_ms` the broker's wait for the in-sync
  // copies (the request's own time-out), `route_ms` for metadata and the
  // leader's connection.
  struct Limits {
    long acks_ms = 10000;
    long route_ms = 10000;
  };

  // Connects to `bootstrap` ("host:port", or several separated by commas)
  // with the Kafka client's keyword `settings`, and learns which request
  // versions the brokers speak. Throws the client's error (no broker
  // answered, a TLS or SASL failure).
  KafkaSender(py::handle bootstrap, py::dict settings, Limits limits);

  // Loads the metadata of `topic` and connects to a leader of it, as the
  // first send would, within `route_ms`: a broker that refuses the
  // connection's TLS or SASL (a CA that did not sign it, a wrong password),
  // or that does not answer, throws the client's error here, before any row
  // is read, instead of at the first batch.
  void connect(py::handle topic);

  // A produce request on its way to the leader; finish() awaits its answer.
  struct Pending {
    py::object future, topic, leader;
    double deadline;  // of the answer, counted from the request's start
  };

  // Sends `values` (non-empty) as one batch to the next partition of `topic`
  // and returns without waiting for the answer, so that the caller's work
  // runs while the broker stores the batch. The request's bytes are on the
  // socket when it returns (or queued on it, for the next poll). Throws the
  // client's error when no leader is reachable within `route_ms`.
  Pending start(py::handle topic, const std::vector<std::string_view>& values);

  // Returns once Kafka holds the batch of `pending`; throws BatchRefused,
  // BatchFailed, or the client's error for everything a later send may get
  // past (no leader, a leader moved, too few copies in sync, a lost
  // connection, a time-out), after which the next send asks for fresh
  // metadata. An answer that arrived before its deadline counts, however
  // late it is asked for.
  void finish(const Pending& pending);

  void close();

 private:
  struct Route {
    py::object partition, leader;
  };
  bool follows(py::handle topic) const;  // the metadata follows this topic
  Route route(py::handle topic, double deadline);
  void refresh_metadata(py::handle topic, double deadline);
  void await_leader(py::handle leader, double deadline);
  py::object produce(const Route& to, py::handle topic, py::bytes records, long answer_ms);
  void check(py::handle response, py::handle topic, py::handle leader);
  py::object wait_for(py::handle future, double deadline, const char* what);

  py::object client_, cluster_;
  py::object produce_request_, topic_partition_, errors_, timeout_error_, sorted_;
  Limits limits_;
  py::object known_topic_ = py::none();  // the topic the metadata follows
  bool stale_ = true;                    // ask for metadata before the next route
  uint64_t next_partition_;
};

}  // namespace qz::rowfeed
