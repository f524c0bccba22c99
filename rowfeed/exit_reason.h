#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// How the program ends, settled as the feed goes. A failure leaves its code
// at the end of standard error with status 1: MS107 a position record that
// is no position, MS115 a batch that Kafka answered with an error, MS120 a
// database error, MS125 any other error in a read cycle, MS130 a batch
// refused as too large, MS145 rows the log does not describe enough to be
// read, MS150 a saved position the server no longer serves. The last failure wins, also
// over a later orderly stop, so that a supervisor learns that cycles failed.
// Without one, an end in error (the cycle limit, an error outside the read
// cycles, messages left unsent) gives status 1, and the stop file status 0.
class ExitReason {
 public:
  enum Kind {
    kOrderly,
    kInError,
    kBadRecord,
    kSendFailed,
    kDatabaseError,
    kOtherError,
    kBatchRefused,
    kLayoutUnknown,
    kPositionRefused,
  };

  void failure(Kind code) { kind_ = code; }
  void ended_in_error() {
    if (kind_ == kOrderly) kind_ = kInError;
  }
  bool is(Kind kind) const { return kind_ == kind; }

  // Ends the program as the host's sys.exit would; returns after an orderly end.
  void exit() const;
  // The failure's code, last on standard error; none for an end without one.
  const char* code() const;
  // The exit status: 0 for an orderly end, else 1.
  int status() const { return kind_ == kOrderly ? 0 : 1; }

 private:
  Kind kind_ = kOrderly;
};

}  // namespace qz::rowfeed
