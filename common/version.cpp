// The program's version: the commit it was built from (see version.cmake).
#include "qmx_version.h"

#include "generated_version.h"

const char *qmx_version(void) { return QMX_VERSION; }
