// The platform's utility module `qz.qztool`, as our modules reach it.
// Every operation is called by position with host values; its errors reach
// the caller unchanged as py::error_already_set.
#pragma once

#include "host/host.h"

namespace qz::contracts {

class QzTool {
 public:
  // Imports qz.qztool; a missing module raises the host's ImportError.
  static QzTool bind() { return QzTool(py::module_::import("qz.qztool")); }

  // The password to hand to the queue client's open.
  py::object check_mq_password(py::handle p) const { return call("check_mq_password", p); }
  // Truth value: one usable address.
  py::object is_email(py::handle x) const { return call("is_email", x); }
  // A plain dict of the decoded fields (byte strings).
  py::object qz_urldecode(py::handle s) const { return call("qz_urldecode", s); }
  // Forwards to the platform endpoint; raises on failure.
  py::object post_qz_message(py::handle url, py::handle body, py::handle flag) const {
    return call("post_qz_message", url, body, flag);
  }
  py::object qz_gunzip_data(py::handle data) const { return call("qz_gunzip_data", data); }
  py::object qz_gzip_data(py::handle data) const { return call("qz_gzip_data", data); }
  py::object get_base_path() const { return call("get_base_path"); }
  // The record last saved under key, or a false value.
  py::object load_tmp_json(py::handle dir, py::handle key) const {
    return call("load_tmp_json", dir, key);
  }
  // True while <base>/<dir>/<key><suffix> exists (the stop-file form).
  py::object load_tmp_json(py::handle dir, py::handle key, py::handle suffix) const {
    return call("load_tmp_json", dir, key, suffix);
  }
  py::object save_tmp_json(py::handle dir, py::handle data, py::handle key) const {
    return call("save_tmp_json", dir, data, key);
  }
  py::object hbase_key(py::handle table, py::handle id) const {
    return call("hbase_key", table, id);
  }
  // The platform endpoint that post_qz_message forwards to; read at each use.
  py::object QZ_BASE_URL() const { return module_.attr("QZ_BASE_URL"); }

 private:
  explicit QzTool(py::module_ m) : module_(std::move(m)) {}
  template <class... Args>
  py::object call(const char* op, Args&&... args) const {
    return module_.attr(op)(std::forward<Args>(args)...);
  }
  py::module_ module_;
};

}  // namespace qz::contracts
