// The console diagnostics: the two reporters the store operations call,
// defined here, where the console is.
#ifndef TKVCERT_APP_DIAGNOSTICS_H_
#define TKVCERT_APP_DIAGNOSTICS_H_

#include "store/reporters.h"

#endif  // TKVCERT_APP_DIAGNOSTICS_H_
