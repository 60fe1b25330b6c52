// The commit the programs were built from, as `git describe --always
// --dirty --tags` names it at build time, or "unknown" outside a checkout.
// Every program's --version and every export report show it.
#pragma once

const char *qmx_version(void);
