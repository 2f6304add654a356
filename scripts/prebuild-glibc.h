// Force-included into every file of the prebuilt binaries' build
// (scripts/prebuild.sh), so that they load with glibc 2.34: glibc 2.38 and
// newer name strtol, sscanf and their kin after C23 (__isoc23_strtol, at
// version GLIBC_2.38) whenever _GNU_SOURCE is defined, which g++ always does;
// this keeps the C99 names that every glibc since 2.7 has. Older glibc
// headers know neither macro, and nothing changes there.
#include <features.h>
#undef __GLIBC_USE_C23_STRTOL
#define __GLIBC_USE_C23_STRTOL 0
#undef __GLIBC_USE_C2X_STRTOL
#define __GLIBC_USE_C2X_STRTOL 0
