#include "rowfeed/exit_reason.h"

namespace qz::rowfeed {

void ExitReason::exit() const {
  if (const char* failure = code()) {
    PyErr_SetObject(PyExc_SystemExit, qz::host::text(failure).ptr());
    throw py::error_already_set();
  }
  if (kind_ == kInError) py::module_::import("sys").attr("exit")(qz::host::integer(1));
}

const char* ExitReason::code() const {
  switch (kind_) {
    case kSendFailed: return "MS115";
    case kDatabaseError: return "MS120";
    case kOtherError: return "MS125";
    case kBatchRefused: return "MS130";
    case kBadRecord: return "MS107";
    case kLayoutUnknown: return "MS145";
    case kPositionRefused: return "MS150";
    case kOrderly:
    case kInError: break;
  }
  return nullptr;
}

}  // namespace qz::rowfeed
