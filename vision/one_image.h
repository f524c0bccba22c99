// The classification of one image with a DIGITS model job: the three most
// probable categories with their confidence in percent.
//
// visionbay and qz.modelgate each offer it as their own host operation
// image_classification_model_classify_one; the two differ only where the
// Variant says. Nothing is caught here: every error of DIGITS' loader,
// resizer, job or inference reaches the caller unchanged.
#pragma once

#include "host/host.h"

#include <vector>

namespace qz::vision {

struct Variant {
  // visionbay: an image that loads as nothing (tests false) gives none at once.
  bool check_image;
  // visionbay prefixes its "None dataset in train_task" line with the time.
  bool timed_log_line;
};

constexpr Variant kService{true, true};
constexpr Variant kLibrary{false, false};

// Judges the platform's settings that decide an image's fetch and decoding
// budget (qzconfig.check): the first unusable one raises its SettingError,
// naming the setting and its value. A service judges them at its start; a
// plain call, which has no start, judges them here before its first image.
void check_image_settings();
// Those settings' names.
std::vector<const char*> image_setting_names();

// Returns none, the inference's own false predictions value, or a list of at
// most three (category, percentage) pairs in the inference's order.
py::object classify_one(py::handle image_url, py::handle job, py::handle epoch,
                        py::handle layers, const Variant& variant);

// The host operation's arguments: (image_url, job, epoch=None, layers="none"),
// by position or keyword, with the host's own argument errors.
py::object classify_one_operation(const py::args& args, const py::kwargs& kwargs,
                                  const Variant& variant);

}  // namespace qz::vision
