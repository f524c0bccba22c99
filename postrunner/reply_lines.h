// The reply budget of an SMTP connection: smtplib reads a server's replies
// line by line from the connection's `file` and keeps a reply's lines in a
// list, so a server sending "250-..." continuation lines without end would
// fill memory until the mail's deadline. A ReplyLines stands in for that
// file and fails a reply of more than kBudget bytes, its continuation lines
// together, as a socket error, which smtplib reports as a lost connection. A
// real reply (a few extensions after EHLO) is below 2 KiB.
//
// Contract: it reads from the one file it was made with. Whoever gives the
// connection a new socket (and so a new file) installs a new ReplyLines on
// it: see SmtpSession, the one place that does.
#pragma once

#include "host/host.h"

namespace qz::postrunner {

class ReplyLines {
 public:
  static constexpr Py_ssize_t kBudget = 64 * 1024;

  // Registers the host type (`_ReplyLines`, with readline and close, the two
  // calls smtplib makes on its file) on the program's module; once, before
  // any connection is opened.
  static void define(py::module_& m);

  // `file`: the socket's own file object, makefile("rb").
  explicit ReplyLines(py::object file) : file_(std::move(file)) {}

  // file.readline(*args); the line that takes the reply in hand past its
  // budget raises socket.error instead.
  py::object readline(py::args args);
  void close();

 private:
  py::object file_;
  Py_ssize_t reply_bytes_ = 0;  // of the reply in hand
};

}  // namespace qz::postrunner
