// The feed's record batch builder, callable from the host: for its layout
// test (read back by kafka-python's own reader) and for the send floor of
// bench/rowfeed, which must pay for the same batches the feed builds.
#include "host/host.h"
#include "host/module.h"
#include "rowfeed/record_batch.h"

#include <string_view>
#include <vector>

namespace {

py::bytes gzip_record_batch(py::list values, long timestamp_ms) {
  std::vector<std::string_view> views;
  for (py::handle value : values) {
    char* data;
    Py_ssize_t size;
    if (PyString_AsStringAndSize(value.ptr(), &data, &size) != 0) throw py::error_already_set();
    views.emplace_back(data, static_cast<size_t>(size));
  }
  return qz::host::text(qz::rowfeed::gzip_record_batch(views, timestamp_ms));
}

long crc32c(py::bytes data) {
  char* p;
  Py_ssize_t size;
  if (PyString_AsStringAndSize(data.ptr(), &p, &size) != 0) throw py::error_already_set();
  return static_cast<long>(qz::rowfeed::crc32c(p, static_cast<size_t>(size)));
}

}  // namespace

QZ_MODULE(recordbatch, m) {
  m.def("gzip_record_batch", &gzip_record_batch);
  m.def("crc32c", &crc32c);
}
