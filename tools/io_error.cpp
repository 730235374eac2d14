#include "io_error.h"

#include <cstring>

namespace lbas2wav {

std::string IoError::Message() const { return std::string(op ? op : "I/O") + ": " + std::strerror(err); }

}  // namespace lbas2wav
