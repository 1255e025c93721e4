// FIXME: stub until this piece is built.
#include "platform/clock.h"

namespace platform {
LocalTime local_time() { return {}; }
} // namespace platform
