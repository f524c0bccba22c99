// qz.modelgate: one-image classification with a DIGITS model job as a plain call.
#include "host/module.h"

QZ_MODULE(modelgate, m) { m.attr("version") = qz::host::text("0.010"); }
