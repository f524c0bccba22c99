// The platform's settings module `qz.qzconfig`, as our modules reach it.
//
// Every accessor reads the module attribute at the moment of the call and
// caches nothing, so a setting changed while a program runs is seen by the
// next use. (rowfeed alone copies its four database settings when it loads;
// that copy lives in rowfeed, not here.) A missing setting raises the host's
// AttributeError from the accessor.
#pragma once

#include "host/host.h"

#include <initializer_list>
#include <vector>

namespace qz::contracts {

class QzConfig {
 public:
  // Imports qz.qzconfig; a missing module raises the host's ImportError.
  static QzConfig bind() { return QzConfig(py::module_::import("qz.qzconfig")); }

#define QZ_SETTING(name) \
  py::object name() const { return module_.attr(#name); }
  QZ_SETTING(MYSQLHOST)
  QZ_SETTING(MYSQL_REPLUSER)
  QZ_SETTING(MYSQL_REPLPASSWD)
  QZ_SETTING(MYSQL_REPL_SERVER_ID)
  QZ_SETTING(MYSQLDB)
  QZ_SETTING(QZ_MQ_QUEUE_INTERVAL)
  QZ_SETTING(QZ_MQ_QSET_INTERVAL)
  QZ_SETTING(QZ_KF_HOST)
  QZ_SETTING(QZ_KF_TOPIC)
  QZ_SETTING(QZ_HBASE_IGNORE)
  QZ_SETTING(QZ_HBASE_TABLES_MAP)
  QZ_SETTING(KAFKA_BATCH)
  QZ_SETTING(KAFKA_MAX_MESSAGE_SIZE)
  QZ_SETTING(KAFKA_SEND_INTERVAL)
  QZ_SETTING(KAFKA_STAT_INTERVAL)
  QZ_SETTING(MAX_QMSG_COUNT)
  QZ_SETTING(MYSQL_READ_TIMEOUT)
  QZ_SETTING(QZ_MQ_PROTOCOL)
  QZ_SETTING(QZ_SMTP_HOST)
  QZ_SETTING(QZ_SMTP_PORT)
  QZ_SETTING(QZ_SMTP_TIMEOUT)
  QZ_SETTING(QZ_SMTP_UID)
  QZ_SETTING(QZ_SMTP_PWD)
  QZ_SETTING(QZ_SMTP_SENDER)
  QZ_SETTING(QZ_SMTP_REPLYTO)
  QZ_SETTING(SEND_MAIL_MODE)
  QZ_SETTING(QZ_MQ_EXCHANGE_TAG)
  QZ_SETTING(QZ_RPC_TIMEOUT)
#undef QZ_SETTING

  // A setting that a platform installation may not define yet: `fallback`
  // when the module has no such attribute.
  py::object setting_or(const char* name, py::handle fallback) const {
    return py::getattr(module_, name, fallback);
  }

  // The seconds one mail's whole SMTP exchange may take (QZ_SMTP_MAIL_TIMEOUT);
  // a value that is no number raises the host's conversion error.
  double smtp_mail_timeout() const {
    py::object seconds = host::steal(
        PyNumber_Float(setting_or("QZ_SMTP_MAIL_TIMEOUT", py::float_(120.0)).ptr()));
    return PyFloat_AS_DOUBLE(seconds.ptr());
  }

  // The budget of a request's JSON (QZ_JSON_MAX_NUMBER, QZ_JSON_MAX_DEPTH).
  Py_ssize_t json_max_number() const { return size_setting("QZ_JSON_MAX_NUMBER", 400); }
  Py_ssize_t json_max_depth() const { return size_setting("QZ_JSON_MAX_DEPTH", 64); }

  // Judges the named settings as they are now (qzconfig.check): the first
  // that the settings module does not accept (wrong kind, out of range, or
  // an unreadable settings file) raises its SettingError, a ValueError
  // naming the setting, its value (a secret's hidden) and what it accepts.
  // A platform without check() accepts everything.
  void check(std::initializer_list<const char*> names) const { check_all(names); }
  void check(const std::vector<const char*>& names) const { check_all(names); }
  // The class of check's error; none on a platform without one.
  py::object SettingError() const { return py::getattr(module_, "SettingError", py::none()); }

  const py::module_& module() const { return module_; }

 private:
  explicit QzConfig(py::module_ m) : module_(std::move(m)) {}
  template <class Names>
  void check_all(const Names& names) const {
    py::object checker = py::getattr(module_, "check", py::none());
    if (checker.is_none()) return;
    py::list listed;
    for (const char* name : names) listed.append(host::text(name));
    checker(listed);
  }
  // int(value) as the host takes it (64.0 and "64" are 64), a value past the
  // largest size taken as that size; one that is no number raises the
  // host's own error.
  Py_ssize_t size_setting(const char* name, long fallback) const {
    py::object as_int = host::steal(PyNumber_Int(setting_or(name, host::integer(fallback)).ptr()));
    Py_ssize_t size = PyNumber_AsSsize_t(as_int.ptr(), nullptr);
    if (size == -1 && PyErr_Occurred()) throw py::error_already_set();
    return size;
  }
  py::module_ module_;
};

}  // namespace qz::contracts
