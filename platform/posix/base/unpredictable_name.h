// Names for temporary files that no one else can guess and plant first.
#ifndef TKVCERT_PLATFORM_POSIX_UNPREDICTABLE_NAME_H_
#define TKVCERT_PLATFORM_POSIX_UNPREDICTABLE_NAME_H_

#include <string>

namespace tkv {

// 24 hex digits from the kernel's generator; "" when it fails.
std::string UnpredictableHex();

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_UNPREDICTABLE_NAME_H_
