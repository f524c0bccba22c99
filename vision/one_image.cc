#include "vision/one_image.h"

#include "contracts/digits.h"
#include "contracts/qzconfig.h"
#include "host/arguments.h"
#include "host/log.h"

namespace qz::vision {

using qz::host::text;
using qz::host::steal;
using qz::host::truth;

namespace {

using qz::host::at;

// 100.0 × confidence in double precision, rounded by the host's round to two
// decimals (half away from zero on the exact double: 0.01115 gives 1.11).
py::object percentage(py::handle confidence) {
  py::object scaled = steal(PyNumber_Multiply(py::float_(100.0).ptr(), confidence.ptr()));
  return py::module_::import("__builtin__").attr("round")(scaled, qz::host::integer(2));
}

// The platform's settings (when it has them) decide how long an image fetch
// may take, which locations an image may come from and what decoding one may
// cost; the loader reads its limits as module attributes at each call.
struct ImageSetting {
  const char* setting;
  const char* limit;  // the loader's module attribute
};
constexpr ImageSetting kImageSettings[] = {
    {"QZ_DNN_FETCH_TIMEOUT", "FETCH_TIMEOUT"},
    {"QZ_DNN_IMAGE_SOURCES", "ALLOWED_SOURCES"},
    {"QZ_DNN_MAX_IMAGE_CHUNKS", "MAX_CHUNKS"},
    {"QZ_DNN_MAX_IMAGE_METADATA", "MAX_METADATA_BYTES"},
    {"QZ_DNN_MAX_JPEG_SCANS", "MAX_JPEG_SCANS"},
    {"QZ_DNN_MAX_DECODE_MEMORY", "MAX_DECODE_MEMORY"},
};

void apply_image_settings(py::handle image_utils) {
  py::object config = py::module_::import("qz.qzconfig");
  for (const ImageSetting& p : kImageSettings)
    if (hasattr(config, p.setting)) image_utils.attr(p.limit) = config.attr(p.setting);
}

}  // namespace

std::vector<const char*> image_setting_names() {
  std::vector<const char*> names;
  for (const ImageSetting& p : kImageSettings) names.push_back(p.setting);
  return names;
}

void check_image_settings() { qz::contracts::QzConfig::bind().check(image_setting_names()); }

py::object classify_one(py::handle image_url, py::handle job, py::handle epoch,
                        py::handle layers, const Variant& variant) {
  py::object image_utils = qz::contracts::digits::image_utils();
  apply_image_settings(image_utils);
  py::object image = image_utils.attr("load_image")(image_url);
  if (variant.check_image && !truth(image)) return py::none();
  // The job's training task is asked afresh at each use, never kept.
  if (!truth(job.attr("train_task")().attr("dataset"))) {
    if (variant.timed_log_line)
      qz::host::log_at_now("None dataset in train_task");
    else
      qz::host::log("None dataset in train_task");
    return py::none();
  }
  py::object db_task = job.attr("train_task")().attr("dataset").attr("train_db_task")();
  py::object dims = db_task.attr("image_dims");
  image = image_utils.attr("resize_image")(
      image, at(dims, 0), at(dims, 1),
      **qz::host::kwargs({{"channels", at(dims, 2)}, {"resize_mode", db_task.attr("resize_mode")}}));
  py::object inferred = job.attr("train_task")().attr("infer_one")(
      image, **qz::host::kwargs({{"snapshot_epoch", epoch}, {"layers", layers}}));
  // Exactly two values, as an unpacking assignment demands.
  py::object unpacked = steal(PySequence_Tuple(inferred.ptr()));
  if (PyTuple_GET_SIZE(unpacked.ptr()) != 2) {
    PyErr_Format(PyExc_ValueError,
                 PyTuple_GET_SIZE(unpacked.ptr()) > 2 ? "too many values to unpack"
                                                      : "need more than %zd value%s to unpack",
                 PyTuple_GET_SIZE(unpacked.ptr()), PyTuple_GET_SIZE(unpacked.ptr()) == 1 ? "" : "s");
    throw py::error_already_set();
  }
  py::object predictions = at(unpacked, 0);
  if (!truth(predictions)) return predictions;
  py::object top = steal(PySequence_GetSlice(predictions.ptr(), 0, 3));
  py::list result;
  for (py::handle p : top) result.append(py::make_tuple(at(p, 0), percentage(at(p, 1))));
  return std::move(result);
}

py::object classify_one_operation(const py::args& args, const py::kwargs& kwargs,
                                  const Variant& variant) {
  auto a = qz::host::parse_arguments<4>(args, kwargs,
                                        "OO|OO:image_classification_model_classify_one",
                                        {"image_url", "job", "epoch", "layers"});
  return classify_one(a[0], a[1], a[2] ? a[2] : py::none(), a[3] ? a[3] : text("none"), variant);
}

}  // namespace qz::vision
