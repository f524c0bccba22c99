// The feed's batch, checkpoint and exit reason, driven from the host by
// sequences of events: their policy tested without a server in sight.
#include "host/host.h"
#include "host/module.h"
#include "rowfeed/batch.h"
#include "rowfeed/checkpoint.h"
#include "rowfeed/exit_reason.h"

#include <string>
#include <vector>

namespace {

using qz::host::text;
using qz::rowfeed::Batch;
using qz::rowfeed::Checkpoint;
using qz::rowfeed::ExitReason;
using qz::rowfeed::Position;

Position position(py::handle file, py::handle pos, long rows = 0) {
  return {py::reinterpret_borrow<py::object>(file), py::reinterpret_borrow<py::object>(pos), rows};
}

py::object shown(const Position& at) {
  if (!at.known()) return py::none();
  return py::make_tuple(at.file, at.pos, at.rows);
}

// events: ("resume", file, pos, rows), ("row",), ("end", file, pos, in_flight),
// ("ack",), ("log_end", file, pos), ("send",) a batch starts on its way,
// ("ack_send",) Kafka took the oldest batch on its way. Returns (safe, statement start) after each.
py::list checkpoint(py::list events) {
  Checkpoint checkpoint;
  std::vector<Position> sent;  // positions of the sends not yet answered
  py::list after;
  for (py::handle event : events) {
    std::string kind = py::cast<std::string>(event[py::int_(0)]);
    auto arg = [&](int i) { return event[py::int_(i)]; };
    if (kind == "resume")
      checkpoint.resume_from(position(arg(1), arg(2), py::cast<long>(arg(3))));
    else if (kind == "row")
      checkpoint.row_done();
    else if (kind == "end")
      checkpoint.statement_end(position(arg(1), arg(2)), py::cast<bool>(arg(3)));
    else if (kind == "ack")
      checkpoint.acknowledged();
    else if (kind == "send")
      sent.push_back(checkpoint.queued());
    else if (kind == "ack_send") {
      checkpoint.acknowledged(sent.front());
      sent.erase(sent.begin());
    }
    else if (kind == "log_end")
      checkpoint.acknowledged_to_log_end(position(arg(1), arg(2)));
    else
      throw py::value_error("no such event: " + kind);
    after.append(py::make_tuple(shown(checkpoint.safe()), shown(checkpoint.statement_start())));
  }
  return after;
}

// The limits a batch asks for, noting each question in `asked`.
struct Limits {
  double chars, messages, interval;
  py::list* asked;
  double max_chars() const { return note("chars", chars); }
  double max_messages() const { return note("messages", messages); }
  double send_interval() const { return note("interval", interval); }
  double note(const char* what, double value) const {
    asked->append(text(what));
    return value;
  }
};

// steps: ("add", size), ("full", now), ("sent", at), ("drop",), ("restart",);
// limits: (max chars, max messages, send interval). Returns, for each step,
// (full or none, the limits asked, messages held, chars held).
py::list batch(py::list steps, py::tuple limits) {
  Batch batch;
  py::list after;
  for (py::handle step : steps) {
    std::string kind = py::cast<std::string>(step[py::int_(0)]);
    py::list asked;
    Limits held{py::cast<double>(limits[0]), py::cast<double>(limits[1]),
                py::cast<double>(limits[2]), &asked};
    py::object full = py::none();
    if (kind == "add")
      batch.add({text("m"), py::cast<Py_ssize_t>(step[py::int_(1)]), py::none(), py::none(), {}});
    else if (kind == "full")
      full = py::bool_(batch.full(py::cast<double>(step[py::int_(1)]), held));
    else if (kind == "sent")
      batch.sent(py::cast<double>(step[py::int_(1)]));
    else if (kind == "drop")
      batch.drop();
    else if (kind == "restart")
      batch.restart_clock();
    else
      throw py::value_error("no such step: " + kind);
    after.append(py::make_tuple(full, asked, batch.size()));
  }
  return after;
}

// failures: kind names in order ("send_failed", ..., "in_error" for an end
// in error). Returns (code or none, status).
py::tuple exit_reason(py::list failures) {
  ExitReason reason;
  for (py::handle failure : failures) {
    std::string kind = py::cast<std::string>(failure);
    if (kind == "in_error") {
      reason.ended_in_error();
      continue;
    }
    static const std::pair<const char*, ExitReason::Kind> kinds[] = {
        {"bad_record", ExitReason::kBadRecord},       {"send_failed", ExitReason::kSendFailed},
        {"database", ExitReason::kDatabaseError},     {"other", ExitReason::kOtherError},
        {"refused", ExitReason::kBatchRefused},       {"layout", ExitReason::kLayoutUnknown},
        {"position_refused", ExitReason::kPositionRefused}};
    bool found = false;
    for (const auto& [name, code] : kinds)
      if (kind == name) reason.failure(code), found = true;
    if (!found) throw py::value_error("no such failure: " + kind);
  }
  const char* code = reason.code();
  return py::make_tuple(code ? py::object(text(code)) : py::object(py::none()), reason.status());
}

}  // namespace

QZ_MODULE(feedstate, m) {
  m.def("checkpoint", &checkpoint);
  m.def("batch", &batch);
  m.def("exit_reason", &exit_reason);
}
