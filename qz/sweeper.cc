// qz.sweeper: asks the platform's data-access service to run or prepare its clean.
#include "host/module.h"

QZ_MODULE(sweeper, m) { m.attr("version") = qz::host::text("0.010"); }
