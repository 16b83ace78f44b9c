#pragma once
// Turns a status of the flat interface into the exception the module raises.

namespace quarvel::python {

// Returns for status 0. Otherwise throws std::invalid_argument (ValueError) for status 1 and std::runtime_error
// (RuntimeError) for any other status, with the status text, followed by ": " and the calling thread's last-error
// text when that is not empty. Call it on the thread of the flat call, before that thread calls the interface again.
void check_status(int status);

}  // namespace quarvel::python
