#ifndef QUARVEL_CORE_LAST_ERROR_HPP
#define QUARVEL_CORE_LAST_ERROR_HPP

#include <string>

namespace quarvel {

// The calling thread's last-error text; empty when there is none.
const std::string& last_error();

}  // namespace quarvel

#endif
